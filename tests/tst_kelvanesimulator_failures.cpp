// The simulator without a usable device: the critical line when the device is missing or cannot
// be opened with nothing left open, a later start() that succeeds, and start/stop churn. (The
// defaults it writes are tst_reference's.)

#include "logcapture.h"
#include "simulatorhost.h"

#include <QDir>
#include <QSerialPort>

static int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd"))
        .entryList(QDir::NoDotAndDotDot | QDir::System)
        .size();
}

class tst_KelvaneSimulatorFailures : public QObject, SimulatorFixture
{
    Q_OBJECT

private slots:
    void initTestCase();
    void unusableDevice_data();
    void unusableDevice();
    void laterStartTriesAgain();
    void churn();
};

void tst_KelvaneSimulatorFailures::initTestCase()
{
    QVERIFY2(load({}), qPrintable(loader.errorString()));
}

void tst_KelvaneSimulatorFailures::unusableDevice_data()
{
    addRows("simulator-unusable-devices.txt", {"device", "line"});
}

void tst_KelvaneSimulatorFailures::unusableDevice()
{
    QFETCH(QByteArray, device);
    QFETCH(QByteArray, line);
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("directory")));
    const QString path = dir.path() + QLatin1Char('/') + QString::fromUtf8(device);
    hostApp()->updateSetting("KELVANE_SIMULATOR", "SERIAL_DEVICE", path);
    const int descriptors = openDescriptors();
    LogCapture log;
    plugin->requestStart();
    QCOMPARE(log.take(), startRequestLines() << QString::fromUtf8(line).arg(path));
    QCOMPARE(openDescriptors(), descriptors);
    QVERIFY(dataTimerPeriods().isEmpty() && plugin->findChildren<QObject *>().isEmpty());
}

void tst_KelvaneSimulatorFailures::laterStartTriesAgain()
{
    hostApp()->updateSetting("KELVANE_SIMULATOR", "SERIAL_DEVICE", pty.slavePath());
    plugin->start();
    QCOMPARE(dataTimerPeriods(), QList<int> {1000});
    // Without depth bounds the sweep goes 0.1, 0, 0.1, ...; the ping sends its second step.
    ping();
    const QByteArray sentences("$SMDBT,0.000,f,0.000,M,,*67\r\n$SMMTW,21.40,C*3A\r\n"
                               "$YXXDR,A,74.1,D,PTCH,A,-54.4,D,ROLL*77\r\n");
    QCOMPARE(pty.read(sentences.size()), sentences);
    plugin->stop();
    QVERIFY(dataTimerPeriods().isEmpty() && plugin->findChildren<QObject *>().isEmpty());
    plugin->stop();
}

void tst_KelvaneSimulatorFailures::churn()
{
    LogCapture quiet;
    // Once round, so that lazily made things (the lock directory, notifiers) exist before counting.
    plugin->start();
    plugin->stop();
    const int descriptors = openDescriptors();
    for (int i = 0; i < 100; ++i) {
        plugin->start();
        plugin->stop();
    }
    QCOMPARE(openDescriptors(), descriptors);

    // start() on a running simulator replaces its port and timer: never two of either.
    for (int i = 0; i < 5; ++i) {
        plugin->start();
        QCOMPARE(plugin->findChildren<QSerialPort *>().size(), 1);
        QCOMPARE(dataTimerPeriods().size(), 1);
    }
    plugin->stop();
    QCOMPARE(openDescriptors(), descriptors);
    QCOMPARE(quiet.take().size(), 1 + 100 + 5);
}

KELVANE_SIMULATOR_TEST_MAIN(tst_KelvaneSimulatorFailures)
#include "tst_kelvanesimulator_failures.moc"
