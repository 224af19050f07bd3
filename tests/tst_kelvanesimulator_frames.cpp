// The simulator's single-frequency echo frames on a real pty: the first pings of a process
// against a golden file, then the header counters, an empty trace and the sine trace.

#include "simulatorhost.h"

// The samples of the next data block.
static QList<int> samplesOf(const QByteArray &frames)
{
    const int start = frames.indexOf("##DataStart\r\n") + 13;
    const int end = frames.indexOf("##DataEnd\r\n");
    QList<int> samples;
    const QList<QByteArray> lines = frames.mid(start, end - start).split('\n');
    for (const QByteArray &line : lines) {
        if (!line.isEmpty())
            samples << line.trimmed().toInt();
    }
    return samples;
}

class tst_KelvaneSimulatorFrames : public QObject, SimulatorFixture
{
    Q_OBJECT

private slots:
    void initTestCase();
    void firstPingsMatchGolden();
    void headersCountWithTheIntervalInForce();
    void sineTrace();
    void echoClipsAtBothEnds();
    void dualHeadersCountApart();
};

void tst_KelvaneSimulatorFrames::initTestCase()
{
    QVERIFY2(load(sweepOn(pty)), qPrintable(loader.errorString()));
    plugin->requestStart();
}

void tst_KelvaneSimulatorFrames::firstPingsMatchGolden()
{
    // Two pings at depths 2.25 and 2.5 over 10 m (1333 samples), with the first six values of
    // the unseeded rand() as temperature, pitch and roll.
    KELVANE_COMMAND(pty, "#range 10000 output 2", "#range 10000 output 2\r\n>ok.\r\n");
    KELVANE_COMMAND(pty, "interval 1 #go", "interval 1 #go\r\n>ok.\r\n");
    const QByteArray expected = golden("simulator-single-frames.txt");
    QVERIFY(!expected.isEmpty());
    QCOMPARE(pty.read(expected.size(), 5000), expected);
}

void tst_KelvaneSimulatorFrames::headersCountWithTheIntervalInForce()
{
    // No range: the frames are written all the same, around an empty data block.
    KELVANE_COMMAND(pty, "#range 0 interval 0.5 #go", "#range 0 interval 0.5 #go\r\n>ok.\r\n");
    const QByteArray end("#DEBUG_NSamples 0\r\n\r\n##DataStart\r\n##DataEnd\r\n\r\n");
    const QByteArray third = pty.readUntil(end);
    QVERIFY(third.startsWith("#DeviceID 261 Type USB / RS-232, 422, 485\r\n#TimeWork 2.000\r\n"
                             "#Ping 2\r\n#Altitude,m   2.7500\r\n"));
    QVERIFY(third.contains("\r\n#NSamples 0\r\n"));
    QVERIFY(third.contains("\r\n#Interval,sec  0.50\r\n"));
    const QByteArray fourth = pty.readUntil(end);
    QVERIFY(fourth.contains("\r\n#TimeWork 2.500\r\n#Ping 3\r\n#Altitude,m   3.0000\r\n"));
}

void tst_KelvaneSimulatorFrames::sineTrace()
{
    // A ping without samples moves the wave all the same. Output mode 4 writes the frames of 2.
    hostApp()->updateSetting("KELVANE_SIMULATOR", "SIN_MODE", true);
    KELVANE_COMMAND(pty, "#range 0 #samplfreq 50000 output 4 #go",
                    "#range 0 #samplfreq 50000 output 4 #go\r\n>ok.\r\n");
    QVERIFY(pty.readUntil("##DataEnd\r\n\r\n").contains("\r\n#NSamples 0\r\n"));
    // 1.5 m is 1 m; sampling frequency 0 is 100 kHz: 133 samples.
    KELVANE_COMMAND(pty, "#range 1500 #samplfreq 0 #go",
                    "#range 1500 #samplfreq 0 #go\r\n>ok.\r\n");
    const QByteArray first = pty.readUntil("##DataEnd\r\n\r\n");
    QVERIFY(first.contains("\r\n#NSamples 133\r\n"));
    QVERIFY(first.contains("\r\n#DEBUG_NSamples 133\r\n"));
    const QList<int> samples = samplesOf(first);
    QCOMPARE(samples.size(), 133);
    QCOMPARE(samples.mid(0, 4), QList<int>({536, 561, 586, 611}));
    QCOMPARE(samples.at(31), 1022);
    QCOMPARE(samples.at(63), 511);
    // The wave moves one sample per ping.
    const QList<int> next = samplesOf(pty.readUntil("##DataEnd\r\n\r\n"));
    QCOMPARE(next.mid(0, 3), QList<int>({561, 586, 611}));
    QCOMPARE(next.at(30), 1022);
}

void tst_KelvaneSimulatorFrames::echoClipsAtBothEnds()
{
    // A constant depth of 0 puts the echo at the first sample, a depth of the range at the last.
    hostApp()->updateSetting("KELVANE_SIMULATOR", "SIN_MODE", false);
    hostApp()->updateSetting("KELVANE_SIMULATOR", "CONST_MODE", true);
    hostApp()->updateSetting("ECHOSOUNDER", "MAX_DEPTH_M", 0);
    KELVANE_COMMAND(pty, "#go", "#go\r\n>ok.\r\n");
    QCOMPARE(samplesOf(pty.readUntil("##DataEnd\r\n\r\n")).mid(0, 7),
             QList<int>({1023, 1023, 1023, 1023, 1023, 1023, 0}));
    hostApp()->updateSetting("ECHOSOUNDER", "MAX_DEPTH_M", 1);
    KELVANE_COMMAND(pty, "#go", "#go\r\n>ok.\r\n");
    QCOMPARE(samplesOf(pty.readUntil("##DataEnd\r\n\r\n")).mid(127),
             QList<int>({0, 1023, 1023, 1023, 1023, 1023}));
}

void tst_KelvaneSimulatorFrames::dualHeadersCountApart()
{
    // The first dual header of the process, after four single ones.
    hostApp()->updateSetting("KELVANE_SIMULATOR", "FREQUENCY_MODE", "DUAL");
    KELVANE_COMMAND(pty, "#go", "#go\r\n>ok\r\n");
    QVERIFY(pty.readUntil("##DataEnd\r\n\r\n")
                .startsWith("#F 200000 Hz*55\r\n#DeviceID M57USB001 Type USB\r\n"
                            "#TimeWork 0.000\r\n#Ping 0\r\n"));
}

KELVANE_SIMULATOR_TEST_MAIN(tst_KelvaneSimulatorFrames)
#include "tst_kelvanesimulator_frames.moc"
