// The simulator's command protocol on a real pty, with the plug-in loaded as the host loads it:
// replies byte for byte, the data timer each command text leaves behind, hostile input, restart.

#include "logcapture.h"
#include "simulatorhost.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QRandomGenerator>

class tst_KelvaneSimulatorCommands : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void commands_data();
    void commands();
    void hostileInputKeepsTheLoopRunning();
    void oversizedDataBlocksAreReported();
    void restartAndNewDevice();

private:
    QTemporaryDir dir;
    QPluginLoader loader;
    PtyMaster pty;
    IPayloadPlugin *plugin = nullptr;
};

void tst_KelvaneSimulatorCommands::initTestCase()
{
    QVERIFY(pty.isOpen());
    plugin = loadSimulator(loader, dir,
                           {{QStringLiteral("KELVANE_SIMULATOR/SERIAL_DEVICE"), pty.slavePath()}});
    QVERIFY2(plugin, qPrintable(loader.errorString()));

    const QJsonObject meta = loader.metaData();
    QCOMPARE(meta.value(QLatin1String("IID")).toString(),
             QStringLiteral("com.vorn.talvik.ipayloadplugin"));
    QCOMPARE(meta.value(QLatin1String("className")).toString(), QStringLiteral("KelvaneSimulator"));
    QVERIFY(meta.value(QLatin1String("MetaData")).toObject().isEmpty());
    QCOMPARE(plugin->name(), QStringLiteral("Kelvane simulator"));
    QCOMPARE(plugin->version(), QStringLiteral("2.10.0.1856"));
    QCOMPARE(static_cast<Logged *>(plugin)->id(), QStringLiteral("ECHO"));
    QCOMPARE(int(plugin->connectionType()), 0);
    QCOMPARE(int(plugin->payloadId()), 0);
    QCOMPARE(plugin->startDelay(), 0);
    QVERIFY(dataTimerPeriods(plugin).isEmpty());

    LogCapture log;
    plugin->requestStart();
    QCOMPARE(log.take(),
             QStringList({QStringLiteral("debug [ECHO] Dbg: Start request is called for Kelvane "
                                         "simulator plugin"),
                          QStringLiteral("info [ECHO] Run in console before app starting: 'socat "
                                         "-d -d pty,raw,echo=0 pty,raw,echo=0'")}));
    QCOMPARE(dataTimerPeriods(plugin), QList<int> {1000});
    QCOMPARE(pty.takeAll(), QByteArray());
}

void tst_KelvaneSimulatorCommands::commands_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QList<int>>("periods"); // data timer periods left running

    // Rows run in order on one simulator; "output 7" first keeps the pings silent.
    QTest::newRow("unknown mode") << QByteArray("output 7") << QByteArray("output 7\r\n>ok.\r\n")
                                  << QList<int>();
    QTest::newRow("go") << QByteArray("#go") << QByteArray("#go\r\n>ok.\r\n") << QList<int> {1000};
    QTest::newRow("interval and go")
        << QByteArray("interval 0.2 #go") << QByteArray("interval 0.2 #go\r\n>ok.\r\n")
        << QList<int> {200};
    QTest::newRow("interval alone")
        << QByteArray("#interval 2") << QByteArray("#interval 2\r\n>ok.\r\n") << QList<int>();
    QTest::newRow("go takes the new interval")
        << QByteArray("#go") << QByteArray("#go\r\n>ok.\r\n") << QList<int> {2000};
    QTest::newRow("leading point") << QByteArray("interval .25 go")
                                   << QByteArray("interval .25 go\r\n>ok.\r\n") << QList<int> {250};
    QTest::newRow("rounds to 0 ms")
        << QByteArray("interval 0.0004 go") << QByteArray("interval 0.0004 go\r\n>ok.\r\n")
        << QList<int> {0};
    QTest::newRow("one byte") << QByteArray("x") << QByteArray("\r\n>\r\n") << QList<int>();
    QTest::newRow("lone CR LF") << QByteArray("\r\n") << QByteArray("\r\n>\r\n") << QList<int>();
    QTest::newRow("white space collapsed") << QByteArray("  #range \t  5000\r\n")
                                           << QByteArray("#range 5000\r\n>ok.\r\n") << QList<int>();
    QTest::newRow("upper case keyword, interval still read")
        << QByteArray("#OUTPUT 3 interval 9") << QByteArray("#OUTPUT 3 interval 9\r\n>ok.\r\n")
        << QList<int>();
    QTest::newRow("go inside a word")
        << QByteArray("algorithm") << QByteArray("algorithm\r\n>ok.\r\n") << QList<int> {9000};
    QTest::newRow("first half of a command")
        << QByteArray("#ran") << QByteArray("#ran\r\n>ok.\r\n") << QList<int>();
    QTest::newRow("second half") << QByteArray("ge 5 go") << QByteArray("ge 5 go\r\n>ok.\r\n")
                                 << QList<int> {9000};
    QTest::newRow("two lines in one read")
        << QByteArray("#output 7\r\ninterval 0.3 go\r\n")
        << QByteArray("#output 7 interval 0.3 go\r\n>ok.\r\n") << QList<int> {300};
    // The patterns stop at a NUL; "go" is looked for in all bytes; the echo keeps them all.
    QTest::newRow("NUL") << QByteArray("a\0interval 0.5 go", 17)
                         << QByteArray("a\0interval 0.5 go\r\n>ok.\r\n", 25) << QList<int> {300};
    QTest::newRow("interval beyond an int of ms")
        << QByteArray("interval 99999999999 go")
        << QByteArray("interval 99999999999 go\r\n>ok.\r\n") << QList<int> {INT_MAX};
}

void tst_KelvaneSimulatorCommands::commands()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, reply);
    QFETCH(QList<int>, periods);

    QVERIFY(pty.write(input));
    QCOMPARE(pty.read(reply.size()), reply);
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

    QVERIFY(pty.write("output 7 interval 0.01 go"));
    KELVANE_COMPARE_RECEIVED(pty, "output 7 interval 0.01 go\r\n>ok.\r\n");
    QCOMPARE(dataTimerPeriods(plugin), QList<int> {10});
    QVERIFY2(longestGapMs < 1000, qPrintable(QString::number(longestGapMs)));
}

void tst_KelvaneSimulatorCommands::oversizedDataBlocksAreReported()
{
    LogCapture log;
    QVERIFY(pty.write("#range 99999999"));
    KELVANE_COMPARE_RECEIVED(pty, "#range 99999999\r\n>ok.\r\n");
    QCOMPARE(
        log.take(),
        QStringList(QStringLiteral("warning [ECHO] WARN: Data blocks are cut to 1048576 samples")));
    QVERIFY(pty.write("#range 0 go"));
    KELVANE_COMPARE_RECEIVED(pty, "#range 0 go\r\n>ok.\r\n");
    QCOMPARE(log.take(), QStringList());
}

void tst_KelvaneSimulatorCommands::restartAndNewDevice()
{
    // A second start() replaces the port and the data timer instead of adding to them.
    LogCapture log;
    plugin->start();
    plugin->start();
    const QString socat = QStringLiteral(
        "info [ECHO] Run in console before app starting: 'socat -d -d pty,raw,echo=0 "
        "pty,raw,echo=0'");
    QCOMPARE(log.take(), QStringList({socat, socat}));
    QCOMPARE(dataTimerPeriods(plugin), QList<int> {10});

    // A new device is taken at the next start() only.
    PtyMaster other;
    auto *app = static_cast<App *>(QCoreApplication::instance());
    app->updateSetting("KELVANE_SIMULATOR", "SERIAL_DEVICE", other.slavePath());
    QVERIFY(pty.write("#output 7"));
    KELVANE_COMPARE_RECEIVED(pty, "#output 7\r\n>ok.\r\n");
    plugin->start();
    QVERIFY(other.write("#go"));
    KELVANE_COMPARE_RECEIVED(other, "#go\r\n>ok.\r\n");
    QCOMPARE(pty.takeAll(), QByteArray());

    // Destroyed, then created anew by the entry point: a fresh object that opens nothing until
    // the start request, and the first-reply flag of the process stays as it was.
    delete plugin;
    plugin = qobject_cast<IPayloadPlugin *>(loader.instance());
    QVERIFY(plugin);
    QVERIFY(dataTimerPeriods(plugin).isEmpty());
    plugin->requestStart();
    QVERIFY(other.write("output 7 go"));
    KELVANE_COMPARE_RECEIVED(other, "output 7 go\r\n>ok.\r\n");
    QCOMPARE(dataTimerPeriods(plugin), QList<int> {1000});
    log.take();
}

KELVANE_SIMULATOR_TEST_MAIN(tst_KelvaneSimulatorCommands)
#include "tst_kelvanesimulator_commands.moc"
