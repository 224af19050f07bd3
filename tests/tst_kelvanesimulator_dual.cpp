// The simulator in dual-frequency mode on a real pty: the once-per-process "Invalid command"
// reply, a high/low pair of echo frames against a golden file, and NMEA pings with their
// once-per-process 15 s silence after the hundredth.

#include "simulatorhost.h"

class tst_KelvaneSimulatorDual : public QObject, SimulatorFixture
{
    Q_OBJECT

private slots:
    void initTestCase();
    void firstCommandIsRefused();
    void framePairMatchesGolden();
    void nmeaPingsFallSilentOnce();
    void otherFrequencyModesAreSilent();

private:
    // One NMEA ping: frequency line, DBT, MTW, YXXDR.
    QList<QByteArray> readPing(int timeoutMs = 5000)
    {
        QList<QByteArray> lines;
        for (int i = 0; i < 4; ++i)
            lines << pty.readUntil("\r\n", timeoutMs);
        return lines;
    }
};

// Qt's single-shot timers: each an object of the event dispatcher with a timer of its own.
static QList<QPair<QObject *, QAbstractEventDispatcher::TimerInfo>> singleShotTimers()
{
    QList<QPair<QObject *, QAbstractEventDispatcher::TimerInfo>> timers;
    auto *dispatcher = QAbstractEventDispatcher::instance();
    for (QObject *object : dispatcher->children()) {
        for (const auto &timer : dispatcher->registeredTimers(object))
            timers << qMakePair(object, timer);
    }
    return timers;
}

void tst_KelvaneSimulatorDual::initTestCase()
{
    QVariantMap settings = sweep();
    settings.insert(QStringLiteral("KELVANE_SIMULATOR/FREQUENCY_MODE"), "dual");
    QVERIFY2(load(settings), qPrintable(loader.errorString()));
    plugin->requestStart();
}

void tst_KelvaneSimulatorDual::firstCommandIsRefused()
{
    // A text shorter than two bytes does not count as the first command.
    KELVANE_COMMAND(pty, "x", "\r\n>\r\n");
    // Refused, yet applied.
    KELVANE_COMMAND(pty, "#rangeh 3000 #rangel 10000 #output 2", "\r\nInvalid command >\r\n");
    KELVANE_COMMAND(pty, "#rangeh 3000", "#rangeh 3000\r\n>ok\r\n");
}

void tst_KelvaneSimulatorDual::framePairMatchesGolden()
{
    // High channel over 3 m (400 samples) at 2.25 m, then low channel over 10 m (1333 samples)
    // at 2.5 m; the first six values of the unseeded rand().
    KELVANE_COMMAND(pty, "interval 0.25 #go", "interval 0.25 #go\r\n>ok\r\n");
    const QByteArray expected = testData("simulator-dual-frames.txt");
    QVERIFY(!expected.isEmpty());
    QCOMPARE(pty.read(expected.size()), expected);
}

void tst_KelvaneSimulatorDual::nmeaPingsFallSilentOnce()
{
    KELVANE_COMMAND(pty, "output 3 interval 0 go", "output 3 interval 0 go\r\n>ok\r\n");
    // The channels keep alternating across output modes: high comes next. The sweep stands at
    // 2.5 and rand() at its seventh value. The low channel is half a metre below the high one.
    const QByteArray pair("#F 200000 Hz*55\r\n$SMDBT,9.843,f,3.000,M,,*62\r\n$SMMTW,20.66,C*3F\r\n"
                          "$YXXDR,A,-4.1,D,PTCH,A,23.2,D,ROLL*46\r\n#F 50000 Hz*62\r\n"
                          "$SMDBT,8.202,f,2.500,M,,*68\r\n$SMMTW,21.75,C*3C\r\n"
                          "$YXXDR,A,24.4,D,PTCH,A,39.1,D,ROLL*54\r\n");
    QCOMPARE(pty.read(pair.size()), pair);
    for (int ping = 3; ping <= 100; ++ping)
        QVERIFY(!readPing().contains(QByteArray()));

    // The 101st ping falls silent for 15 s, on a coarse single-shot timer; the pings go on.
    QVERIFY(waitFor([] { return !singleShotTimers().isEmpty(); }));
    const auto timers = singleShotTimers();
    QCOMPARE(timers.size(), 1);
    QCOMPARE(timers[0].second.interval, 15000);
    QCOMPARE(timers[0].second.timerType, Qt::CoarseTimer);
    KELVANE_COMMAND(pty, "interval 0.01 go", "interval 0.01 go\r\n>ok\r\n");
    QVERIFY(!waitFor([&] { return !pty.received.isEmpty(); }, 200));
    QCOMPARE(dataTimerPeriods(), QList<int> {10});

    // Its expiry, without waiting for it: output resumes with the channel that was due.
    QTimerEvent expiry(timers[0].second.timerId);
    QCoreApplication::sendEvent(timers[0].first, &expiry);
    QCOMPARE(readPing().at(0), QByteArray("#F 200000 Hz*55\r\n"));

    // Constant depth: the maximum on the high channel, half a metre less on the low one. Pings
    // made before the change may still be on their way; the reply to a command sent after it
    // marks where they end. Two pairs, so that no turn of the sweep passes for a constant depth.
    hostApp()->updateSetting("KELVANE_SIMULATOR", "CONST_MODE", true);
    QVERIFY(pty.write("go"));
    QVERIFY(!pty.readUntil("go\r\n>ok\r\n").isEmpty());
    const QMap<QByteArray, QByteArray> constantDepth {
        {"#F 200000 Hz*55\r\n", "$SMDBT,9.843,f,3.000,M,,*62\r\n"},
        {"#F 50000 Hz*62\r\n", "$SMDBT,8.202,f,2.500,M,,*68\r\n"}};
    for (int ping = 0; ping < 4; ++ping) {
        const QList<QByteArray> lines = readPing();
        QVERIFY2(constantDepth.contains(lines.at(0)), lines.at(0).constData());
        QCOMPARE(lines.at(1), constantDepth.value(lines.at(0)));
    }

    // Never again in this process: far more than a hundred further pings, no gap. Pings at
    // 10 ms may come before the reply.
    QVERIFY(pty.write("interval 0 go"));
    QVERIFY(!pty.readUntil("interval 0 go\r\n>ok\r\n").isEmpty());
    for (int ping = 0; ping < 150; ++ping)
        QVERIFY(!readPing(2000).contains(QByteArray()));
    QVERIFY(singleShotTimers().isEmpty());
    QVERIFY(pty.write("x"));
    QVERIFY(waitFor([&] { return pty.received.endsWith("\r\n>\r\n"); }));
}

void tst_KelvaneSimulatorDual::otherFrequencyModesAreSilent()
{
    pty.takeAll();
    hostApp()->updateSetting("KELVANE_SIMULATOR", "FREQUENCY_MODE", "TRIPLE");
    for (const QByteArray output : {"output 2 go", "output 3 go", "output 4 go"}) {
        KELVANE_COMMAND(pty, output, output + "\r\n>ok\r\n");
        // Pinging at every pass of the event loop, yet nothing comes.
        QVERIFY(!waitFor([&] { return !pty.received.isEmpty(); }, 100));
    }
}

KELVANE_SIMULATOR_TEST_MAIN(tst_KelvaneSimulatorDual)
#include "tst_kelvanesimulator_dual.moc"
