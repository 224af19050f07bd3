// The simulator's echo frames on a real pty: the first single-frequency pings of a process
// against a golden file, then the header counters, the block sizes, the sine trace and the echo
// at both ends of the block, and the dual-frequency header counting apart.

#include "simulatorhost.h"

// The samples of the next data block in frames.
static QList<int> samplesOf(const QByteArray &frames)
{
    const int start = frames.indexOf("##DataStart\r\n") + 13;
    QList<int> samples;
    for (const QByteArray &line :
         frames.mid(start, frames.indexOf("##DataEnd") - start).split('\n'))
        if (!line.isEmpty())
            samples << line.trimmed().toInt();
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
    void echoAtBothEnds();
    void dualHeadersCountApart();

private:
    QByteArray nextPing() { return pty.readUntil("##DataEnd\r\n\r\n"); }
};

void tst_KelvaneSimulatorFrames::initTestCase()
{
    QVERIFY2(load(sweep()), qPrintable(loader.errorString()));
    plugin->requestStart();
}

void tst_KelvaneSimulatorFrames::firstPingsMatchGolden()
{
    // Two pings at depths 2.25 and 2.5 over 10 m (1333 samples), with the first six values of
    // the unseeded rand() as temperature, pitch and roll.
    KELVANE_COMMAND(pty, "#range 10000 output 2", "#range 10000 output 2\r\n>ok.\r\n");
    KELVANE_COMMAND(pty, "interval 0.25 #go", "interval 0.25 #go\r\n>ok.\r\n");
    const QByteArray expected = testData("simulator-single-frames.txt");
    QVERIFY(!expected.isEmpty());
    QCOMPARE(pty.read(expected.size()), expected);
}

void tst_KelvaneSimulatorFrames::headersCountWithTheIntervalInForce()
{
    // No range: the frames are written all the same, around an empty data block.
    KELVANE_COMMAND(pty, "#range 0 interval 0.1 #go", "#range 0 interval 0.1 #go\r\n>ok.\r\n");
    const QByteArray third = nextPing();
    QVERIFY(third.startsWith("#DeviceID 261 Type USB / RS-232, 422, 485\r\n#TimeWork 0.500\r\n"
                             "#Ping 2\r\n#Altitude,m   2.7500\r\n"));
    QVERIFY(third.contains("\r\n#NSamples 0\r\n"));
    QVERIFY(third.contains("\r\n#Interval,sec  0.10\r\n"));
    QVERIFY(third.endsWith("#DEBUG_NSamples 0\r\n\r\n##DataStart\r\n##DataEnd\r\n\r\n"));
    QVERIFY(nextPing().contains("\r\n#TimeWork 0.600\r\n#Ping 3\r\n#Altitude,m   3.0000\r\n"));
}

void tst_KelvaneSimulatorFrames::sineTrace()
{
    // A ping without samples moves the wave all the same. Output mode 4 writes the frames of 2.
    hostApp()->updateSetting("KELVANE_SIMULATOR", "SIN_MODE", true);
    KELVANE_COMMAND(pty, "#samplfreq 50000 output 4 #go",
                    "#samplfreq 50000 output 4 #go\r\n>ok.\r\n");
    QVERIFY(nextPing().contains("\r\n#NSamples 0\r\n"));
    // 1 m at 50 kHz: 66.7, rounded to 67 samples.
    KELVANE_COMMAND(pty, "#range 1000 #go", "#range 1000 #go\r\n>ok.\r\n");
    const QByteArray first = nextPing();
    QVERIFY(first.contains("\r\n#NSamples 67\r\n") && first.contains("\r\n#DEBUG_NSamples 67\r\n"));
    const QList<int> samples = samplesOf(first);
    QCOMPARE(samples.size(), 67);
    QCOMPARE(samples.mid(0, 4), QList<int>({536, 561, 586, 611}));
    QCOMPARE(samples.at(31), 1022);
    QCOMPARE(samples.at(63), 511);
    // 1.5 m is 1 m, a sampling frequency of 0 is 100 kHz: 133 samples. The wave moves on.
    KELVANE_COMMAND(pty, "#range 1500 #samplfreq 0 #go",
                    "#range 1500 #samplfreq 0 #go\r\n>ok.\r\n");
    const QList<int> next = samplesOf(nextPing());
    QCOMPARE(next.size(), 133);
    QCOMPARE(next.mid(0, 3), QList<int>({561, 586, 611}));
}

void tst_KelvaneSimulatorFrames::echoAtBothEnds()
{
    // A constant depth of 0 puts the echo on the first sample, a depth of the range on the last.
    hostApp()->updateSetting("KELVANE_SIMULATOR", "SIN_MODE", false);
    hostApp()->updateSetting("KELVANE_SIMULATOR", "CONST_MODE", true);
    hostApp()->updateSetting("ECHOSOUNDER", "MAX_DEPTH_M", 0);
    KELVANE_COMMAND(pty, "#go", "#go\r\n>ok.\r\n");
    QCOMPARE(samplesOf(nextPing()).mid(0, 7), QList<int>({1023, 1023, 1023, 1023, 1023, 1023, 0}));
    hostApp()->updateSetting("ECHOSOUNDER", "MAX_DEPTH_M", 1);
    KELVANE_COMMAND(pty, "#go", "#go\r\n>ok.\r\n");
    QCOMPARE(samplesOf(nextPing()).mid(127), QList<int>({0, 1023, 1023, 1023, 1023, 1023}));
}

void tst_KelvaneSimulatorFrames::dualHeadersCountApart()
{
    // The first dual header of the process, after the single ones.
    hostApp()->updateSetting("KELVANE_SIMULATOR", "FREQUENCY_MODE", "DUAL");
    KELVANE_COMMAND(pty, "#go", "#go\r\n>ok\r\n");
    QVERIFY(nextPing().startsWith("#F 200000 Hz*55\r\n#DeviceID M57USB001 Type USB\r\n"
                                  "#TimeWork 0.000\r\n#Ping 0\r\n"));
}

KELVANE_SIMULATOR_TEST_MAIN(tst_KelvaneSimulatorFrames)
#include "tst_kelvanesimulator_frames.moc"
