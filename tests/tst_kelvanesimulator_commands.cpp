// The simulator's command protocol on a real pty, with the plug-in loaded as the host loads it:
// replies byte for byte, the data timer each command text leaves behind, hostile input, restart.

#include "logcapture.h"
#include "simulatorhost.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QRandomGenerator>

class tst_KelvaneSimulatorCommands : public QObject, SimulatorFixture
{
    Q_OBJECT

private slots:
    void initTestCase();
    void commands_data();
    void commands();
    void hostileInputKeepsTheLoopRunning();
    void restartAndNewDevice();
};

void tst_KelvaneSimulatorCommands::initTestCase()
{
    QVERIFY2(load({{QStringLiteral("KELVANE_SIMULATOR/SERIAL_DEVICE"), pty.slavePath()}}),
             qPrintable(loader.errorString()));
    // The whole record, which Qt 5.7 must read the same: built for Qt 5.7.1 (329473).
    QCOMPARE(QJsonDocument(loader.metaData()).toJson(QJsonDocument::Compact),
             QByteArray(R"({"IID":"com.vorn.talvik.ipayloadplugin","MetaData":{},)"
                        R"("className":"KelvaneSimulator","debug":false,"version":329473})"));
    // Qt 5.7 reads enumerator records one field shorter than moc writes them since Qt 5.12: the
    // plug-in's classes have none (App's own are checked in tst_app).
    for (const QMetaObject *meta = plugin->metaObject(); meta != &QObject::staticMetaObject;
         meta = meta->superClass())
        QCOMPARE(meta->enumeratorCount(), meta->enumeratorOffset());
    QCOMPARE((QStringList {plugin->name(), plugin->version(), static_cast<Logged *>(plugin)->id()}),
             (QStringList {"Kelvane simulator", "2.10.0.1856", "ECHO"}));
    QCOMPARE(int(plugin->connectionType()), 0);
    QCOMPARE(int(plugin->payloadId()), 0);
    QCOMPARE(plugin->startDelay(), 0);
    QVERIFY(dataTimerPeriods(plugin).isEmpty());

    LogCapture log;
    plugin->requestStart();
    QCOMPARE(log.take(), startRequestLines());
    QCOMPARE(dataTimerPeriods(plugin), QList<int> {1000});
    QCOMPARE(pty.takeAll(), QByteArray());
}

void tst_KelvaneSimulatorCommands::commands_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QList<int>>("periods"); // data timer periods left running
    const auto row = [](const char *tag, const QByteArray &input, const QByteArray &reply,
                        const QList<int> &periods) {
        QTest::newRow(tag) << input << reply << periods;
    };
    // Echoed as it came, then ">ok.".
    const auto ok = [&](const char *tag, const QByteArray &input, const QList<int> &periods) {
        row(tag, input, input + "\r\n>ok.\r\n", periods);
    };

    // Rows run in order on one simulator; "output 7" first keeps the pings silent.
    ok("unknown mode", "output 7", {});
    ok("go", "#go", {1000});
    ok("interval and go", "interval 0.2 #go", {200});
    ok("interval alone", "#interval 2", {});
    ok("go takes the new interval", "#go", {2000});
    ok("leading point", "interval .25 go", {250});
    ok("rounds to 0 ms", "interval 0.0004 go", {0});
    ok("half a millisecond rounds up", "interval 0.0025 go", {3});
    row("one byte", "x", "\r\n>\r\n", {});
    row("lone CR LF", "\r\n", "\r\n>\r\n", {});
    row("white space collapsed", "  #range \t  5000\r\n", "#range 5000\r\n>ok.\r\n", {});
    ok("upper case keyword, interval still read", "#OUTPUT 3 interval 9", {});
    ok("go inside a word", "algorithm", {9000});
    ok("first half of a command", "#ran", {});
    ok("second half", "ge 5 go", {9000});
    row("two lines in one read", "#output 7\r\ninterval 0.3 go\r\n",
        "#output 7 interval 0.3 go\r\n>ok.\r\n", {300});
    // The patterns stop at a NUL; "go" is looked for in all bytes; the echo keeps them all.
    row("NUL", QByteArray("a\0interval 0.5 go", 17),
        QByteArray("a\0interval 0.5 go\r\n>ok.\r\n", 25), {300});
    ok("interval beyond an int of ms", "interval 99999999999 go", {INT_MAX});
}

void tst_KelvaneSimulatorCommands::commands()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, reply);
    QFETCH(QList<int>, periods);
    KELVANE_COMMAND(pty, input, reply);
    // Qt reports periods this long in whole seconds, overflowing the int it hands back.
    if (periods == QList<int> {INT_MAX})
        QCOMPARE(dataTimerPeriods(plugin).size(), 1);
    else
        QCOMPARE(dataTimerPeriods(plugin), periods);
}

void tst_KelvaneSimulatorCommands::hostileInputKeepsTheLoopRunning()
{
    // Megabytes of binary (NUL, CR LF and bytes above 127 included) while a timer of the test
    // watches how long the event loop is held up.
    QRandomGenerator random(4242);
    QByteArray garbage(2 << 20, Qt::Uninitialized);
    random.fillRange(reinterpret_cast<quint32 *>(garbage.data()), garbage.size() / 4);

    QElapsedTimer sinceTick;
    qint64 longestGapMs = 0;
    QTimer watch;
    connect(&watch, &QTimer::timeout,
            [&] { longestGapMs = qMax(longestGapMs, sinceTick.restart()); });
    sinceTick.start();
    watch.start(10);

    for (int at = 0; at < garbage.size(); at += 4096)
        QVERIFY(pty.write(garbage.mid(at, 4096)));
    // The tail of the garbage may share a read with this text; the reply still ends alike.
    const QByteArray last(" output 7 go");
    QVERIFY(pty.write(last));
    QVERIFY(pty.waitUntil([&] { return pty.received.endsWith(last + "\r\n>ok.\r\n"); }, 30000));
    QVERIFY(pty.received.size() > garbage.size() / 2);
    pty.takeAll();
    watch.stop();

    KELVANE_COMMAND(pty, "output 7 interval 0.01 go", "output 7 interval 0.01 go\r\n>ok.\r\n");
    QCOMPARE(dataTimerPeriods(plugin), QList<int> {10});
    QVERIFY2(longestGapMs < 1000, qPrintable(QString::number(longestGapMs)));
}

void tst_KelvaneSimulatorCommands::restartAndNewDevice()
{
    // A second start() replaces the port and the data timer instead of adding to them.
    LogCapture log;
    plugin->start();
    plugin->start();
    const QString socat = startRequestLines().at(1);
    QCOMPARE(log.take(), QStringList({socat, socat}));
    QCOMPARE(dataTimerPeriods(plugin), QList<int> {10});

    // A new device is taken at the next start() only.
    PtyMaster other;
    hostApp()->updateSetting("KELVANE_SIMULATOR", "SERIAL_DEVICE", other.slavePath());
    KELVANE_COMMAND(pty, "#output 7", "#output 7\r\n>ok.\r\n");
    plugin->start();
    KELVANE_COMMAND(other, "#go", "#go\r\n>ok.\r\n");
    QCOMPARE(pty.takeAll(), QByteArray());

    // Destroyed, then created anew by the entry point: a fresh object that opens nothing until
    // the start request, and the first-reply flag of the process stays as it was.
    delete plugin;
    plugin = qobject_cast<IPayloadPlugin *>(loader.instance());
    QVERIFY(plugin);
    QVERIFY(dataTimerPeriods(plugin).isEmpty());
    plugin->requestStart();
    KELVANE_COMMAND(other, "output 7 go", "output 7 go\r\n>ok.\r\n");
    QCOMPARE(dataTimerPeriods(plugin), QList<int> {1000});
    log.take();
}

KELVANE_SIMULATOR_TEST_MAIN(tst_KelvaneSimulatorCommands)
#include "tst_kelvanesimulator_commands.moc"
