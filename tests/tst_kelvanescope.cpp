// kelvane-scope run as a user runs it: against the simulator, loaded by kelvane-host on a socat
// pty pair, in each of its modes; and on captured streams.

#include "buildprogram.h"
#include "echogram.h"

#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {

// Generous: under emulation the programs start and run many times slower.
const int Deadline = 60000;

// kelvane-host with the simulator plug-in on a pty pair of its own; the scope reads the client
// end that the host prints.
class Host
{
public:
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
        QObject::connect(&process, &QProcess::readyReadStandardOutput,
                         [this] { out += process.readAllStandardOutput(); });
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        startBuildProgram(process, QStringLiteral(KELVANE_HOST),
                          {QStringLiteral("--settings"), ini, QStringLiteral("--plugin"),
                           QStringLiteral(KELVANE_PLUGIN), QStringLiteral("--link-dir"),
                           dir + QStringLiteral("/pty"), QStringLiteral("--no-console")});
        const QByteArray key = "Client device: ";
        if (!QTest::qWaitFor(
                [&] { return out.contains(key) && out.indexOf('\n', out.indexOf(key)) > 0; },
                Deadline))
            return false;
        const int from = out.indexOf(key) + key.size();
        client = QString::fromLocal8Bit(out.mid(from, out.indexOf('\n', from) - from));
        return true;
    }
    ~Host()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(Deadline))
                process.kill();
        }
    }

    QString client;

private:
    QProcess process;
    QByteArray out;
};

struct Run
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

Run scope(const QStringList &arguments)
{
    QProcess process;
    startBuildProgram(process, QStringLiteral(KELVANE_SCOPE), arguments);
    Run run;
    if (!process.waitForFinished(Deadline)) {
        process.kill();
        process.waitForFinished();
        run.err = "timed out";
        return run;
    }
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

struct Row
{
    double time = 0, depth = 0, temperature = 0, pitch = 0, roll = 0, echo = 0;
    int channel = -1, samples = -1;
};

// The CSV rows; empty fields read as NaN (or -1 for the integers).
QVector<Row> readCsv(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = file.readAll().split('\n');
    QVector<Row> rows;
    auto number = [](const QByteArray &f) { return f.isEmpty() ? std::nan("") : f.toDouble(); };
    for (int i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> f = lines.at(i).split(',');
        if (f.size() != 8)
            continue;
        Row r;
        r.time = number(f[0]);
        r.channel = f[1].isEmpty() ? -1 : f[1].toInt();
        r.depth = number(f[2]);
        r.temperature = number(f[3]);
        r.pitch = number(f[4]);
        r.roll = number(f[5]);
        r.samples = f[6].isEmpty() ? -1 : f[6].toInt();
        r.echo = number(f[7]);
        rows << r;
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
    void nmeaMode();
    void singleFrames();
    void dualFrames();
    void sineMode();
    void quitsOnSignal();
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

void tst_KelvaneScope::nmeaMode()
{
    Host host;
    QVERIFY(host.start(dir->path(), QStringLiteral("SINGLE"), false));
    const Run run = scope({host.client, QStringLiteral("--send"),
                           QStringLiteral("interval 0.1 #go"), QStringLiteral("--pings"),
                           QStringLiteral("6"), QStringLiteral("--csv"), path("nmea.csv")});
    QVERIFY2(run.status == 0, run.out + run.err);
    QVERIFY(run.out.contains("reply interval 0.1 #go >ok.\n"));
    QCOMPARE(lastLine(run.out), QByteArray("6 pings, 0 anomalies"));
    const QVector<Row> rows = readCsv(path("nmea.csv"));
    QCOMPARE(rows.size(), 6);
    for (int i = 0; i < rows.size(); ++i) {
        const Row &r = rows.at(i);
        QCOMPARE(r.channel, -1);
        QCOMPARE(r.samples, -1);
        QVERIFY(std::isnan(r.echo));
        QVERIFY(r.depth >= 2.0 && r.depth <= 8.0);
        QVERIFY(r.temperature >= 19.0 && r.temperature <= 22.0);
        QVERIFY(std::fabs(r.pitch) <= 90.0 && std::fabs(r.roll) <= 90.0);
        // Two steps of 0.25 m per NMEA ping: 0.5 m apart, or level where the sweep turns.
        if (i > 0) {
            const double step = std::fabs(r.depth - rows.at(i - 1).depth);
            QVERIFY2(std::fabs(step - 0.5) < 1e-3 || step < 1e-3,
                     qPrintable(QString::number(step)));
        }
    }
}

void tst_KelvaneScope::singleFrames()
{
    Host host;
    QVERIFY(host.start(dir->path(), QStringLiteral("SINGLE"), false));
    const Run run = scope({host.client, QStringLiteral("--send"),
                           QStringLiteral("interval 0.1 #range 10000 #output 2 #go"),
                           QStringLiteral("--pings"), QStringLiteral("6"), QStringLiteral("--csv"),
                           path("single.csv"), QStringLiteral("--png"), path("single.png")});
    QVERIFY2(run.status == 0, run.out + run.err);
    QCOMPARE(lastLine(run.out), QByteArray("6 pings, 0 anomalies"));
    const QVector<Row> rows = readCsv(path("single.csv"));
    QCOMPARE(rows.size(), 6);
    for (int i = 0; i < rows.size(); ++i) {
        QCOMPARE(rows.at(i).channel, 450000);
        QCOMPARE(rows.at(i).samples, 1333); // 20 m there and back at 100 kHz
        // The echo sits on the reported depth, to within one sample of 7.5 mm.
        QVERIFY(std::fabs(rows.at(i).echo - rows.at(i).depth) <= 0.0076);
        if (i > 0)
            QCOMPARE(std::fabs(rows.at(i).depth - rows.at(i - 1).depth), 0.25);
    }

    QImage image(path("single.png"));
    QVERIFY(!image.isNull());
    const int width = qBound(1, 480 / 6, 48);
    QCOMPARE(
        image.size(),
        QSize(Echogram::LeftMargin + 6 * width + Echogram::RightMargin, Echogram::PanelHeight));
    const QRect plot(Echogram::LeftMargin, Echogram::TopMargin, 6 * width, Echogram::PlotHeight);
    for (int c = 0; c < rows.size(); ++c)
        checkColumn(image, plot, 1333 * 0.0075, c, width, rows.at(c).depth);
}

void tst_KelvaneScope::dualFrames()
{
    Host host;
    QVERIFY(host.start(dir->path(), QStringLiteral("DUAL"), false));
    const Run run = scope({host.client, QStringLiteral("--send"),
                           QStringLiteral("interval 0.1 #rangeh 10000 #rangel 20000 #output 2 #go"),
                           QStringLiteral("--pings"), QStringLiteral("6"), QStringLiteral("--csv"),
                           path("dual.csv"), QStringLiteral("--png"), path("dual.png")});
    QVERIFY2(run.status == 0, run.out + run.err);
    // The dual-frequency device's first command is answered so; its settings still apply.
    QVERIFY(run.out.contains("reply Invalid command >\n"));
    const QVector<Row> rows = readCsv(path("dual.csv"));
    QCOMPARE(rows.size(), 6);
    QVector<double> depths[2];
    for (int i = 0; i < rows.size(); ++i) {
        const Row &r = rows.at(i);
        const bool high = r.channel == 200000;
        QVERIFY2(high || r.channel == 50000, qPrintable(QString::number(r.channel)));
        if (i > 0)
            QVERIFY(r.channel != rows.at(i - 1).channel);
        QCOMPARE(r.samples, high ? 1333 : 2667);
        QVERIFY(std::fabs(r.echo - r.depth) <= 0.0076);
        depths[high ? 0 : 1] << r.depth;
    }

    QImage image(path("dual.png"));
    const int width = qBound(1, 480 / 3, 48);
    QCOMPARE(
        image.size(),
        QSize(Echogram::LeftMargin + 3 * width + Echogram::RightMargin, 2 * Echogram::PanelHeight));
    for (int panel = 0; panel < 2; ++panel) {
        const QRect plot(Echogram::LeftMargin, panel * Echogram::PanelHeight + Echogram::TopMargin,
                         3 * width, Echogram::PlotHeight);
        const double extent = (panel == 0 ? 1333 : 2667) * 0.0075;
        for (int c = 0; c < 3; ++c)
            checkColumn(image, plot, extent, c, width, depths[panel].at(c));
    }
}

void tst_KelvaneScope::sineMode()
{
    Host host;
    QVERIFY(host.start(dir->path(), QStringLiteral("SINGLE"), true));
    const Run run =
        scope({host.client, QStringLiteral("--send"),
               QStringLiteral("interval 0.1 #range 3000 #output 2 #go"), QStringLiteral("--pings"),
               QStringLiteral("8"), QStringLiteral("--csv"), path("sine.csv")});
    QVERIFY2(run.status == 0, run.out + run.err);
    const QVector<Row> rows = readCsv(path("sine.csv"));
    QCOMPARE(rows.size(), 8);
    // The sine's crest is one sample higher on every ping, 128 samples to a period.
    for (int i = 0; i < rows.size(); ++i) {
        QCOMPARE(rows.at(i).samples, 400);
        if (i == 0)
            continue;
        const int before = int(std::lround(rows.at(i - 1).echo / 0.0075));
        const int now = int(std::lround(rows.at(i).echo / 0.0075));
        QCOMPARE((before - now + 128) % 128, 1);
    }
}

void tst_KelvaneScope::quitsOnSignal()
{
    Host host;
    QVERIFY(host.start(dir->path(), QStringLiteral("SINGLE"), false));
    QProcess process;
    QByteArray out;
    connect(&process, &QProcess::readyReadStandardOutput,
            [&] { out += process.readAllStandardOutput(); });
    startBuildProgram(process, QStringLiteral(KELVANE_SCOPE),
                      {host.client, QStringLiteral("--send"),
                       QStringLiteral("interval 0.1 #range 5000 #output 2 #go"),
                       QStringLiteral("--png"), path("quit.png")});
    QVERIFY(QTest::qWaitFor([&] { return out.count(" samples=667 ") >= 3; }, Deadline));
    process.terminate();
    QVERIFY(process.waitForFinished(Deadline));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    out += process.readAllStandardOutput();
    const QList<QByteArray> summary = lastLine(out).split(' ');
    const int pings = summary.value(0).toInt();
    QVERIFY(pings >= 3);
    const QImage image(path("quit.png"));
    QCOMPARE(image.width(),
             Echogram::LeftMargin + pings * qBound(1, 480 / pings, 48) + Echogram::RightMargin);
}

// A capture with one damaged sentence: decoded all the same, the damage reported on its line,
// exit status 1; the clean capture gives 0.
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
    QFile damaged(path("damaged.txt"));
    QVERIFY(damaged.open(QIODevice::WriteOnly));
    damaged.write(bytes);
    damaged.close();
    run = scope({QStringLiteral("--from"), damaged.fileName(), QStringLiteral("--csv"),
                 path("damaged.csv")});
    QCOMPARE(run.status, 1);
    QCOMPARE(run.err,
             QByteArray("line 26: bad checksum: checksum 14, expected 41: "
                        "$YXXDR,A,-12.3,D,PTCH,A,3.2,D,ROLL*14\n"));
    QCOMPARE(lastLine(run.out), QByteArray("3 pings, 1 anomalies"));
    QCOMPARE(readCsv(path("damaged.csv")).size(), 3);
}

void tst_KelvaneScope::errors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("error");

    const QString capture = QStringLiteral(KELVANE_TEST_DATA_DIR "/scope-nmea-single.txt");
    QTest::newRow("nothing to read")
        << QStringList() << 2 << QByteArray("kelvane-scope: give either a device or --from FILE");
    QTest::newRow("device and file")
        << QStringList {QStringLiteral("/dev/null"), QStringLiteral("--from"), capture} << 2
        << QByteArray("kelvane-scope: give either a device or --from FILE");
    QTest::newRow("unknown option") << QStringList {QStringLiteral("--bogus")} << 2
                                    << QByteArray("kelvane-scope: Unknown option 'bogus'.");
    QTest::newRow("zero pings") << QStringList {QStringLiteral("--from"), capture,
                                                QStringLiteral("--pings"), QStringLiteral("0")}
                                << 2
                                << QByteArray("kelvane-scope: --pings needs a positive number");
    QTest::newRow("send to a file") << QStringList {QStringLiteral("--from"), capture,
                                                    QStringLiteral("--send"), QStringLiteral("#go")}
                                    << 2 << QByteArray("kelvane-scope: --send needs a device");
    QTest::newRow("missing device")
        << QStringList {QStringLiteral("/dev/kelvane-none")} << 3
        << QByteArray("kelvane-scope: cannot open /dev/kelvane-none: No such file or directory");
    QTest::newRow("missing capture")
        << QStringList {QStringLiteral("--from"), QStringLiteral("/nonexistent/capture")} << 3
        << QByteArray("kelvane-scope: cannot read /nonexistent/capture: No such file or "
                      "directory");
    QTest::newRow("unwritable csv")
        << QStringList {QStringLiteral("--from"), capture, QStringLiteral("--csv"),
                        QStringLiteral("/nonexistent/rows.csv")}
        << 3
        << QByteArray("kelvane-scope: cannot write /nonexistent/rows.csv: No such file or "
                      "directory");
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
