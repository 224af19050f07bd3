// kelvane-scope run as a user runs it: against the simulator, loaded by kelvane-host on a socat
// pty pair, in each of its modes; and on captured streams.

#include "buildprogram.h"
#include "echogram.h"

#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>

namespace {

// Generous: under emulation the programs start and run many times slower.
const int Deadline = 60000;

// kelvane-host with the simulator plug-in on a pty pair of its own; the scope reads the client
// end that the host prints.
// kelvane-host with the simulator plug-in on a pty pair of its own; the scope reads the client
// end.
struct Host
{
    bool start(const QString &dir, const QString &frequencyMode, bool sine)
    {
        const QString ini = dir + QStringLiteral("/host.ini");
        QFile file(ini);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.write("[ECHOSOUNDER]\nMIN_DEPTH_M=2\nMAX_DEPTH_M=8\n"
                   "[KELVANE_SIMULATOR]\nDELTA_M=0.25\nFREQUENCY_MODE=" +
                   frequencyMode.toLatin1() + "\nSIN_MODE=" + (sine ? "true" : "false") + "\n");
        file.close();
        client = dir + QStringLiteral("/pty/client");
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        startBuildProgram(process, QStringLiteral(KELVANE_HOST),
                          {QStringLiteral("--settings"), ini, QStringLiteral("--plugin"),
                           QStringLiteral(KELVANE_PLUGIN), QStringLiteral("--link-dir"),
                           dir + QStringLiteral("/pty"), QStringLiteral("--no-console")});
        const QByteArray line = "Client device: " + QFile::encodeName(client) + '\n';
        QByteArray out;
        return QTest::qWaitFor(
            [&] { return (out += process.readAllStandardOutput()).contains(line); }, Deadline);
    }
    ~Host()
    {
        process.terminate();
        if (!process.waitForFinished(Deadline))
            process.kill();
    }

    QString client;
    QProcess process;
};

struct Run
{
    int status; // -1: crashed or timed out
    QByteArray out;
    QByteArray err;
};

Run scope(const QStringList &arguments)
{
    QProcess process;
    startBuildProgram(process, QStringLiteral(KELVANE_SCOPE), arguments);
    const bool ended = process.waitForFinished(Deadline);
    if (!ended)
        process.kill();
    return {ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

// The CSV rows as numbers, NaN for an empty field.
enum Field { Time, Channel, Depth, Temperature, Pitch, Roll, Samples, Echo };
QVector<QVector<double>> readCsv(const QString &path)
{
    QFile file(path);
    QVector<QVector<double>> rows;
    if (!file.open(QIODevice::ReadOnly))
        return rows;
    for (const QByteArray &line : file.readAll().split('\n').mid(1)) {
        QVector<double> row;
        for (const QByteArray &field : line.split(','))
            row << (field.isEmpty() ? std::nan("") : field.toDouble());
        if (row.size() == 8)
            rows << row;
    }
    return rows;
}

QByteArray lastLine(const QByteArray &text)
{
    return text.trimmed().split('\n').last();
}

// Where the echogram draws a depth in one panel, and the pixels around it: the trace on the
// depth's row, the echo beside it, no echo near the surface.
void checkColumn(const QImage &image, const QRect &plot, double extent, int column, int width,
                 double depth)
{
    const int x = plot.left() + column * width + width / 2;
    const int y = plot.top() + int(depth / extent * Echogram::PlotHeight);
    QCOMPARE(QColor(image.pixel(x, y)).rgb(), QColor::fromRgb(Echogram::TraceColour).rgb());
    // The echo is 11 samples tall; where a row spans more than that, it may show only below.
    QVERIFY(image.pixel(x, y - 1) == Echogram::colour(1023) ||
            image.pixel(x, y + 1) == Echogram::colour(1023));
    QCOMPARE(image.pixel(x, plot.top() + 2), Echogram::colour(0));
}

} // namespace

class tst_KelvaneScope : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void simulator_data();
    void simulator();
    void capturedStream();
    void errors_data();
    void errors();

private:
    QScopedPointer<QTemporaryDir> dir;
    QString path(const char *name) const { return dir->filePath(QLatin1String(name)); }
};

void tst_KelvaneScope::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
}

void tst_KelvaneScope::simulator_data()
{
    QTest::addColumn<QString>("frequencyMode");
    QTest::addColumn<bool>("sine");
    QTest::addColumn<QString>("send");
    QTest::addColumn<int>("pings"); // 0: until SIGTERM
    QTest::addColumn<QByteArray>("reply"); // a line of the scope's output
    QTest::addColumn<QList<int>>("channels"); // top panel first; none for NMEA
    QTest::addColumn<QList<int>>("samples"); // of each channel
    QTest::addColumn<QList<double>>("steps"); // depth steps from one ping to the next
    QTest::addColumn<bool>("png");

    // Two steps of 0.25 m per NMEA ping: 0.5 m apart, or level where the sweep turns.
    QTest::newRow("NMEA") << "SINGLE" << false << "interval 0.1 #go" << 6
                          << QByteArray("reply interval 0.1 #go >ok.\n") << QList<int>()
                          << QList<int>() << QList<double> {0.5, 0.0} << false;
    // 20 m there and back at 100 kHz: 1333 samples.
    QTest::newRow("single frames")
        << "SINGLE" << false << "interval 0.1 #range 10000 #output 2 #go" << 6 << QByteArray()
        << QList<int> {450000} << QList<int> {1333} << QList<double> {0.25} << true;
    // The dual-frequency device's first command is answered so; its settings still apply.
    QTest::newRow("dual frames") << "DUAL" << false
                                 << "interval 0.1 #rangeh 10000 #rangel 20000 #output 2 #go" << 6
                                 << QByteArray("reply Invalid command >\n")
                                 << QList<int> {200000, 50000} << QList<int> {1333, 2667}
                                 << QList<double>() << true;
    QTest::newRow("single frames, SIGTERM")
        << "SINGLE" << false << "interval 0.1 #range 5000 #output 2 #go" << 0 << QByteArray()
        << QList<int> {450000} << QList<int> {667} << QList<double> {0.25} << true;
    QTest::newRow("sine") << "SINGLE" << true << "interval 0.1 #range 3000 #output 2 #go" << 8
                          << QByteArray() << QList<int> {450000} << QList<int> {400}
                          << QList<double>() << false;
}

// kelvane-scope on the simulator's pty: the pings it prints, its CSV and its echogram.
void tst_KelvaneScope::simulator()
{
    QFETCH(QString, frequencyMode);
    QFETCH(bool, sine);
    QFETCH(QString, send);
    QFETCH(int, pings);
    QFETCH(QByteArray, reply);
    QFETCH(QList<int>, channels);
    QFETCH(QList<int>, samples);
    QFETCH(QList<double>, steps);
    QFETCH(bool, png);

    Host host;
    QVERIFY(host.start(dir->path(), frequencyMode, sine));
    QStringList arguments = {host.client, QStringLiteral("--send"), send, QStringLiteral("--csv"),
                             path("run.csv")};
    if (pings > 0)
        arguments << QStringLiteral("--pings") << QString::number(pings);
    if (png)
        arguments << QStringLiteral("--png") << path("run.png");
    QProcess process;
    QByteArray out;
    connect(&process, &QProcess::readyReadStandardOutput,
            [&] { out += process.readAllStandardOutput(); });
    startBuildProgram(process, QStringLiteral(KELVANE_SCOPE), arguments);
    // Without --pings it runs until a signal ends it, and keeps what it has by then.
    if (pings == 0) {
        QVERIFY(QTest::qWaitFor([&] { return out.count(" samples=") >= 3; }, Deadline));
        process.terminate();
    }
    QVERIFY(process.waitForFinished(Deadline));
    out += process.readAllStandardOutput();
    QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0,
             out + process.readAllStandardError());
    QVERIFY2(out.contains(reply), out.constData());
    const int shown = lastLine(out).split(' ').value(0).toInt();
    QVERIFY(pings == 0 ? shown >= 3 : shown == pings);
    pings = shown;
    QCOMPARE(lastLine(out), QByteArray::number(pings) + " pings, 0 anomalies");

    const QVector<QVector<double>> rows = readCsv(path("run.csv"));
    QCOMPARE(rows.size(), pings);
    QVector<double> depths[2]; // of each panel
    for (int i = 0; i < rows.size(); ++i) {
        const QVector<double> &r = rows.at(i);
        const int panel = channels.indexOf(int(r[Channel]));
        if (channels.isEmpty()) {
            QVERIFY(std::isnan(r[Channel]) && std::isnan(r[Samples]) && std::isnan(r[Echo]));
            QVERIFY(r[Temperature] >= 19.0 && r[Temperature] <= 22.0);
            QVERIFY(std::fabs(r[Pitch]) <= 90.0 && std::fabs(r[Roll]) <= 90.0);
        } else {
            QVERIFY2(panel >= 0, qPrintable(QString::number(r[Channel])));
            QCOMPARE(r[Samples], double(samples.at(panel)));
            // The echo sits on the reported depth, to within one sample of 7.5 mm.
            if (!sine)
                QVERIFY(std::fabs(r[Echo] - r[Depth]) <= 0.0076);
        }
        QVERIFY(r[Depth] >= 2.0 && r[Depth] <= 8.0);
        depths[qMax(panel, 0)] << r[Depth];
        if (i == 0)
            continue;
        const QVector<double> &before = rows.at(i - 1);
        // Dual: the channels take turns.
        if (channels.size() == 2)
            QVERIFY(r[Channel] != before[Channel]);
        const double step = std::fabs(r[Depth] - before[Depth]);
        QVERIFY2(steps.isEmpty() ||
                     std::any_of(steps.begin(), steps.end(),
                                 [step](double s) { return std::fabs(step - s) < 1e-3; }),
                 qPrintable(QString::number(step)));
        // The sine's crest is one sample higher on every ping, 128 samples to a period.
        if (sine) {
            const int crestBefore = int(std::lround(before[Echo] / 0.0075));
            const int crest = int(std::lround(r[Echo] / 0.0075));
            QCOMPARE((crestBefore - crest + 128) % 128, 1);
        }
    }
    if (!png)
        return;

    const QImage image(path("run.png"));
    const int columns = pings / channels.size();
    const int width = qBound(1, 480 / columns, 48);
    QCOMPARE(image.size(),
             QSize(Echogram::LeftMargin + columns * width + Echogram::RightMargin,
                   channels.size() * Echogram::PanelHeight));
    for (int panel = 0; panel < channels.size(); ++panel) {
        const QRect plot(Echogram::LeftMargin, panel * Echogram::PanelHeight + Echogram::TopMargin,
                         columns * width, Echogram::PlotHeight);
        for (int c = 0; c < columns; ++c)
            checkColumn(image, plot, samples.at(panel) * 0.0075, c, width, depths[panel].at(c));
    }
}

// A capture with damage injected: decoded all the same, each damage reported on its line, exit
// status 1; the clean capture gives 0.
void tst_KelvaneScope::capturedStream()
{
    const QString clean = QStringLiteral(KELVANE_TEST_DATA_DIR "/scope-single-frames.txt");
    Run run = scope({QStringLiteral("--from"), clean});
    QCOMPARE(run.status, 0);
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.out.split('\n').value(1),
             QByteArray("t=0.000 ch=450kHz depth=5.0000 temp=20.50 pitch=-12.340 roll=3.210 "
                        "samples=1333 echo=5.0025"));

    QFile file(clean);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray bytes = file.readAll();
    bytes.replace("$YXXDR,A,-12.3,D,PTCH,A,3.2,D,ROLL*41", "$YXXDR,A,-12.3,D,PTCH,A,3.2,D,ROLL*14");
    bytes.replace("#Temperature,?C 19.87", "#Temperature,?C 19,87");
    QFile damaged(path("damaged.txt"));
    QVERIFY(damaged.open(QIODevice::WriteOnly) && damaged.write(bytes) == bytes.size());
    damaged.close();
    run = scope({QStringLiteral("--from"), damaged.fileName(), QStringLiteral("--csv"),
                 path("damaged.csv")});
    QCOMPARE(run.status, 1);
    QCOMPARE(run.err,
             QByteArray("line 26: bad checksum: checksum 14, expected 41: "
                        "$YXXDR,A,-12.3,D,PTCH,A,3.2,D,ROLL*14\n"
                        "line 1378: malformed: single-frequency header: bad value for "
                        "#Temperature,?C: #Temperature,?C 19,87\n"));
    QCOMPARE(lastLine(run.out), QByteArray("3 pings, 2 anomalies"));
    const QVector<QVector<double>> rows = readCsv(path("damaged.csv"));
    QCOMPARE(rows.size(), 3);
    QVERIFY(std::isnan(rows.at(1)[Temperature]) && rows.at(2)[Temperature] == 21.06);
}

void tst_KelvaneScope::errors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("error");

    const QString capture = QStringLiteral(KELVANE_TEST_DATA_DIR "/scope-nmea-single.txt");
    const char *const rows[][4] = {
        {"nothing to read", "", "2", "give either a device or --from FILE"},
        {"device and file", "/dev/null --from CAPTURE", "2", "give either a device or --from FILE"},
        {"unknown option", "--bogus", "2", "Unknown option 'bogus'."},
        {"zero pings", "--from CAPTURE --pings 0", "2", "--pings needs a positive number"},
        {"send to a file", "--from CAPTURE --send #go", "2", "--send needs a device"},
        {"missing device", "/dev/kelvane-none", "3",
         "cannot open /dev/kelvane-none: No such file or directory"},
        {"missing capture", "--from /nonexistent/capture", "3",
         "cannot read /nonexistent/capture: No such file or directory"},
        {"unwritable csv", "--from CAPTURE --csv /nonexistent/rows.csv", "3",
         "cannot write /nonexistent/rows.csv: No such file or directory"}};
    for (const auto &row : rows) {
        QTest::newRow(row[0]) << QString::fromLatin1(row[1])
                                     .replace(QLatin1String("CAPTURE"), capture)
                                     .split(QLatin1Char(' '), Qt::SkipEmptyParts)
                              << QByteArray(row[2]).toInt()
                              << QByteArray("kelvane-scope: ") + row[3];
    }
}

void tst_KelvaneScope::errors()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QByteArray, error);

    const Run run = scope(arguments);
    QCOMPARE(run.status, status);
    QCOMPARE(run.err.split('\n').value(0), error);
}

QTEST_GUILESS_MAIN(tst_KelvaneScope)
#include "tst_kelvanescope.moc"
