// kelvane-scope run as a user runs it: on the cases of tests/data/scope-runs.txt, and against the
// simulator, loaded by kelvane-host on a pty pair of its own, in each of its modes.

#include "buildprogram.h"
#include "datarows.h"
#include "echogram.h"

#include <QImage>
#include <QTemporaryDir>

#include <cmath>

// Generous: under emulation the programs start and run many times slower.
static const int Deadline = 60000;

class tst_KelvaneScope : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void runs_data();
    void runs();
    void simulator_data();
    void simulator();

private:
    QScopedPointer<QTemporaryDir> dir;
    QString path(const char *name) const { return dir->filePath(QLatin1String(name)); }
};

void tst_KelvaneScope::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
}

void tst_KelvaneScope::runs_data()
{
    addRows("scope-runs.txt", {"arguments", "status", "out", "err", "csv"});
}

// The program's whole output, its exit status and the CSV it leaves (none after a failed start).
void tst_KelvaneScope::runs()
{
    QFETCH(QByteArray, arguments);
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(QByteArray, csv);

    QStringList args;
    for (const QByteArray &word : arguments.split(' ')) {
        if (word.isEmpty())
            continue;
        QString arg = QString::fromLatin1(word);
        if (word.startsWith("text:")) {
            QFile in(path("in.txt"));
            QVERIFY(in.open(QIODevice::WriteOnly) && in.write(word.mid(5)) > 0);
            arg = in.fileName();
        }
        args << arg.replace(QLatin1String("@"), QStringLiteral(KELVANE_TEST_DATA_DIR "/"))
                    .replace(QLatin1String("%"), dir->path() + QLatin1Char('/'));
    }
    BuildProgram scope(Deadline);
    scope.start(QStringLiteral(KELVANE_SCOPE), args);
    const bool exited = scope.exited(status.toInt());
    QCOMPARE(scope.err, err);
    QCOMPARE(scope.out, out);
    QVERIFY(exited);
    QCOMPARE(readFile(path("run.csv")), csv);
    QCOMPARE(QFileInfo::exists(path("run.csv")), !csv.isEmpty());
}

void tst_KelvaneScope::simulator_data()
{
    QTest::addColumn<QByteArray>("frequencyMode");
    QTest::addColumn<bool>("sine");
    QTest::addColumn<QString>("send");
    QTest::addColumn<int>("pings"); // 0: until SIGTERM
    QTest::addColumn<QList<int>>("panels"); // channel, samples of each panel from the top

    const QString frames = QStringLiteral("interval 0.1 #range %1 #output 2 #go");
    // No channel in NMEA; 20 m there and back at 100 kHz: 1333 samples.
    QTest::newRow("NMEA") << QByteArray("SINGLE") << false << "interval 0.1 #go" << 6
                          << QList<int>();
    QTest::newRow("single frames")
        << QByteArray("SINGLE") << false << frames.arg(10000) << 6 << QList<int> {450000, 1333};
    QTest::newRow("single frames, SIGTERM")
        << QByteArray("SINGLE") << false << frames.arg(5000) << 0 << QList<int> {450000, 667};
    QTest::newRow("sine") << QByteArray("SINGLE") << true << frames.arg(3000) << 4
                          << QList<int> {450000, 400};
    QTest::newRow("dual frames") << QByteArray("DUAL") << false
                                 << "interval 0.1 #rangeh 10000 #rangel 20000 #output 2 #go" << 6
                                 << QList<int> {200000, 1333, 50000, 2667};
}

// kelvane-scope on the client end of the host's pair, unpaced (whole pings at once), named
// relative to its working folder: the reply to its command, every ping decoded, its CSV rows and
// its echogram.
void tst_KelvaneScope::simulator()
{
    QFETCH(QByteArray, frequencyMode);
    QFETCH(bool, sine);
    QFETCH(QString, send);
    QFETCH(int, pings);
    QFETCH(QList<int>, panels);

    QFile ini(path("host.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly) &&
            ini.write("[ECHOSOUNDER]\nMIN_DEPTH_M=2\nMAX_DEPTH_M=8\n[KELVANE_SIMULATOR]\n"
                      "FREQUENCY_MODE=" +
                      frequencyMode + "\nSIN_MODE=" + (sine ? "true" : "false") + "\n") > 0);
    ini.close();
    BuildProgram host(Deadline);
    host.start(QStringLiteral(KELVANE_HOST),
               {"--settings", ini.fileName(), "--plugin", KELVANE_PLUGIN, "--link-dir", path("pty"),
                "--no-console", "--baud", "0"});
    QVERIFY2(host.wait(host.out, "Client"), host.err);

    BuildProgram scope(Deadline);
    scope.process.setWorkingDirectory(dir->path());
    QStringList arguments = {"pty/client", "--send", send, "--csv", "run.csv", "--png", "run.png"};
    if (pings > 0)
        arguments << "--pings" << QString::number(pings);
    scope.start(QStringLiteral(KELVANE_SCOPE), arguments);
    // Without --pings it runs until a signal ends it, and keeps what it has by then.
    if (pings == 0) {
        QVERIFY(scope.wait(scope.out, " samples=", 3));
        scope.process.terminate();
    }
    QVERIFY2(scope.exited(0), scope.out + scope.err);
    host.process.terminate();
    QVERIFY(host.exited(0));
    const QByteArray &out = scope.out;
    // The dual-frequency device's first command is answered so; its settings still apply.
    const QByteArray reply =
        frequencyMode == "DUAL" ? "Invalid command >" : send.toLatin1() + " >ok.";
    QVERIFY2(('\n' + out).contains("\nreply " + reply + '\n'), out.constData());
    const QList<QByteArray> lines = out.trimmed().split('\n');
    pings = pings > 0 ? pings : lines.last().split(' ').at(0).toInt();
    QVERIFY(pings >= 3);
    QCOMPARE(lines.last(), QByteArray::number(pings) + " pings, 0 anomalies");

    // time,channel,depth,temperature,pitch,roll,samples,echo depth
    const QList<QByteArray> rows = readFile(path("run.csv")).trimmed().split('\n').mid(1);
    QCOMPARE(rows.size(), pings);
    for (int i = 0; i < pings; ++i) {
        const QList<QByteArray> r = rows.at(i).split(',');
        const double depth = r.value(2).toDouble();
        const int panel = panels.indexOf(r.value(1).toInt());
        // Depth within bounds; a channel of the mode, taking turns in dual mode, with its sample
        // count; the echo on the reported depth, to within one sample of 7.5 mm.
        QVERIFY2(r.size() == 8 && depth >= 2.0 && depth <= 8.0 &&
                     (panels.isEmpty() ? r.at(1) + r.at(6) + r.at(7) == "" : panel % 2 == 0) &&
                     (panels.size() < 4 || i == 0 || rows.at(i - 1).split(',').at(1) != r.at(1)) &&
                     (panels.isEmpty() || r.at(6).toInt() == panels.at(panel + 1)) &&
                     (panels.isEmpty() || sine || std::fabs(r.at(7).toDouble() - depth) <= 0.0076),
                 rows.at(i));
    }
    const int count = qMax(1, int(panels.size()) / 2);
    const int columns = pings / count;
    QCOMPARE(
        QImage(path("run.png")).size(),
        QSize(Echogram::LeftMargin + columns * qBound(1, 480 / columns, 48) + Echogram::RightMargin,
              count * Echogram::PanelHeight));
}

QTEST_GUILESS_MAIN(tst_KelvaneScope)
#include "tst_kelvanescope.moc"
