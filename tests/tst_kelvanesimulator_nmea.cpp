// The simulator's NMEA pings on a real pty: the first ping one second after the start, the
// sentences of each ping byte for byte, live setting changes between pings, and the sweep moving
// in output modes that write nothing.

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
    QVERIFY2(load(sweep()), qPrintable(loader.errorString()));
    QElapsedTimer sinceStart;
    sinceStart.start();
    plugin->requestStart();
    QVERIFY(waitFor([&] { return !pty.received.isEmpty(); }, 3000));
    QVERIFY2(sinceStart.elapsed() >= 900, qPrintable(QString::number(sinceStart.elapsed())));
}

void tst_KelvaneSimulatorNmea::pings_data()
{
    addRows("simulator-nmea-pings.txt", {"setting", "command", "sentences"});
}

void tst_KelvaneSimulatorNmea::pings()
{
    QFETCH(QByteArray, setting);
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, sentences);
    // Settings change between pings, at once; a command stops the pinging and "go" starts it.
    if (!setting.isEmpty()) {
        const QList<QByteArray> key = setting.left(setting.indexOf('=')).split('/');
        hostApp()->updateSetting(key[0].constData(), key[1].constData(),
                                 QString::fromLatin1(setting.mid(setting.indexOf('=') + 1)));
    }
    if (!command.isEmpty())
        KELVANE_COMMAND(pty, command, command + "\r\n>ok.\r\n");
    if (QByteArray(QTest::currentDataTag()).contains("German")) {
        std::setlocale(LC_ALL, "de_DE.UTF-8");
        QLocale::setDefault(QLocale(QLocale::German));
    }
    // The timer's first ping has come; the others are made at once.
    if (pty.received.isEmpty())
        ping();
    QCOMPARE(pty.read(sentences.size()), sentences);
}

void tst_KelvaneSimulatorNmea::silentPingsMoveTheSweep()
{
    // A ping in output mode 1 and one in mode 5: nothing written, the sweep moves a step each.
    for (const QByteArray command : {"output 1 go", "output 5 go"}) {
        KELVANE_COMMAND(pty, command, command + "\r\n>ok.\r\n");
        ping();
    }
    // From 2.0 going up: 2.25 and 2.5 silent, then 2.75 and 3.0 for this ping.
    KELVANE_COMMAND(pty, "output 3 go", "output 3 go\r\n>ok.\r\n");
    ping();
    QCOMPARE(pty.readUntil("\r\n"), QByteArray("$SMDBT,9.843,f,3.000,M,,*62\r\n"));
}

KELVANE_SIMULATOR_TEST_MAIN(tst_KelvaneSimulatorNmea)
#include "tst_kelvanesimulator_nmea.moc"
