// The simulator's NMEA pings on a real pty: the first ping one second after the start, the
// sentences of each ping byte for byte (depth sweep from 2 to 3 m in steps of 0.25 m and the
// unseeded rand() sequence), and live setting changes between pings.

#include "simulatorhost.h"

#include <QElapsedTimer>

#include <clocale>

class tst_KelvaneSimulatorNmea : public QObject, SimulatorFixture
{
    Q_OBJECT

private slots:
    void initTestCase();
    void pings_data();
    void pings();
    void silentPingsMoveTheSweep();
};

void tst_KelvaneSimulatorNmea::initTestCase()
{
    QVERIFY2(load(sweepOn(pty)), qPrintable(loader.errorString()));

    QElapsedTimer sinceStart;
    sinceStart.start();
    plugin->requestStart();
    QVERIFY(pty.waitUntil([&] { return !pty.received.isEmpty(); }, 3000));
    QVERIFY2(sinceStart.elapsed() >= 900, qPrintable(QString::number(sinceStart.elapsed())));
}

void tst_KelvaneSimulatorNmea::pings_data()
{
    QTest::addColumn<QByteArray>("group"); // with name and value applied before the ping
    QTest::addColumn<QByteArray>("name"); // empty: nothing applied
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("sentences");
    const auto row = [](const char *tag, const char *group, const char *name, const char *value,
                        const char *sentences) {
        QTest::newRow(tag) << QByteArray(group) << QByteArray(name) << QString::fromLatin1(value)
                           << QByteArray(sentences);
    };

    // Each ping steps the sweep twice (2.25 then 2.5 is sent, ...) and draws six values: three
    // for the frames, then temperature, pitch and roll for the sentences.
    row("first ping", "", "", "",
        "$SMDBT,8.202,f,2.500,M,,*68\r\n$SMMTW,21.40,C*3A\r\n"
        "$YXXDR,A,74.1,D,PTCH,A,-54.4,D,ROLL*77\r\n");
    row("second ping", "", "", "",
        "$SMDBT,9.843,f,3.000,M,,*62\r\n$SMMTW,20.66,C*3F\r\n"
        "$YXXDR,A,-4.1,D,PTCH,A,23.2,D,ROLL*46\r\n");
    row("constant depth", "KELVANE_SIMULATOR", "CONST_MODE", "true",
        "$SMDBT,9.843,f,3.000,M,,*62\r\n$SMMTW,21.75,C*3C\r\n"
        "$YXXDR,A,24.4,D,PTCH,A,39.1,D,ROLL*54\r\n");
    row("new maximum, German locale", "ECHOSOUNDER", "MAX_DEPTH_M", "7.5",
        "$SMDBT,24.606,f,7.500,M,,*53\r\n$SMMTW,19.73,C*31\r\n"
        "$YXXDR,A,-65.3,D,PTCH,A,54.8,D,ROLL*79\r\n");
    // The sweep resumes where it stood: at 3.0 and going down, whatever the new maximum.
    row("sweep resumes", "KELVANE_SIMULATOR", "CONST_MODE", "false",
        "$SMDBT,8.202,f,2.500,M,,*68\r\n$SMMTW,19.33,C*35\r\n"
        "$YXXDR,A,89.8,D,PTCH,A,-50.7,D,ROLL*7B\r\n");
    // The step was taken at the first ping of the process and stays.
    row("new step ignored", "KELVANE_SIMULATOR", "DELTA_M", "1",
        "$SMDBT,6.562,f,2.000,M,,*62\r\n$SMMTW,19.89,C*34\r\n"
        "$YXXDR,A,24.8,D,PTCH,A,4.4,D,ROLL*63\r\n");
}

void tst_KelvaneSimulatorNmea::pings()
{
    QFETCH(QByteArray, group);
    QFETCH(QByteArray, name);
    QFETCH(QString, value);
    QFETCH(QByteArray, sentences);
    // Settings change between pings, at once; a command would stop the pinging.
    if (!name.isEmpty())
        hostApp()->updateSetting(group.constData(), name.constData(), value);
    if (QByteArray(QTest::currentDataTag()).contains("German")) {
        std::setlocale(LC_ALL, "de_DE.UTF-8");
        QLocale::setDefault(QLocale(QLocale::German));
    }
    QCOMPARE(pty.read(sentences.size(), 3000), sentences);
    if (QTest::currentDataTag() == QByteArray("first ping")) {
        // Faster pings from here on; the reply comes before the next ping.
        KELVANE_COMMAND(pty, "interval 0.2 go", "interval 0.2 go\r\n>ok.\r\n");
    }
}

// Lets a given number of the plug-in's data timer events through and swallows the rest.
class PingGate : public QObject
{
public:
    explicit PingGate(IPayloadPlugin *plugin) : plugin(plugin) { plugin->installEventFilter(this); }
    ~PingGate() override { plugin->removeEventFilter(this); }
    int open = 0; // pings still let through
    int swallowed = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::Timer ||
            static_cast<QTimerEvent *>(event)->timerId() == plugin->telemetryTimer())
            return false;
        if (open > 0)
            return --open, false;
        return ++swallowed, true;
    }

private:
    IPayloadPlugin *plugin;
};

void tst_KelvaneSimulatorNmea::silentPingsMoveTheSweep()
{
    // One ping in output mode 1 and one in mode 5: nothing written, the sweep moves a step each.
    {
        PingGate gate(plugin);
        for (const QByteArray command : {"output 1 interval 0 go", "output 5 go"}) {
            KELVANE_COMMAND(pty, command, command + "\r\n>ok.\r\n");
            gate.open = 1;
            gate.swallowed = 0;
            QVERIFY(pty.waitUntil([&] { return gate.swallowed > 0; }));
        }
        KELVANE_COMMAND(pty, "output 3 interval 0.2", "output 3 interval 0.2\r\n>ok.\r\n");
    }
    // From 2.0 going up: 2.25 and 2.5 silent, then 2.75 and 3.0 for this ping.
    KELVANE_COMMAND(pty, "#go", "#go\r\n>ok.\r\n");
    QCOMPARE(pty.readUntil("\r\n"), QByteArray("$SMDBT,9.843,f,3.000,M,,*62\r\n"));
}

KELVANE_SIMULATOR_TEST_MAIN(tst_KelvaneSimulatorNmea)
#include "tst_kelvanesimulator_nmea.moc"
