// The simulator without a usable device: the defaults it writes, the critical lines, nothing
// left open, and a later start() that succeeds once the device is there.

#include "logcapture.h"
#include "simulatorhost.h"

#include <QDir>

// Open file descriptors of this process.
static int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size();
}

class tst_KelvaneSimulatorFailures : public QObject, SimulatorFixture
{
    Q_OBJECT

private slots:
    void initTestCase();
    void unusableDevice_data();
    void unusableDevice();
    void laterStartTriesAgain();
};

void tst_KelvaneSimulatorFailures::initTestCase()
{
    QVERIFY2(load({}), qPrintable(loader.errorString()));

    // Every setting read is written back with its default; the depth bounds have none.
    hostApp()->syncSettings();
    QSettings file(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    QStringList stored;
    for (const QString group : {"KELVANE_SIMULATOR", "ECHOSOUNDER"}) {
        file.beginGroup(group);
        for (const QString &key : file.childKeys())
            stored << group + '/' + key + '=' + file.value(key).toString();
        file.endGroup();
    }
    QCOMPARE(stored,
             (QStringList {"KELVANE_SIMULATOR/CONST_MODE=false", "KELVANE_SIMULATOR/DELTA_M=0.1",
                           "KELVANE_SIMULATOR/FREQUENCY_MODE=SINGLE",
                           "KELVANE_SIMULATOR/SERIAL_DEVICE=/dev/pts/1",
                           "KELVANE_SIMULATOR/SIN_MODE=false",
                           "ECHOSOUNDER/MAX_DEPTH_M=", "ECHOSOUNDER/MIN_DEPTH_M="}));
    for (const char *key : {"ECHOSOUNDER/MIN_DEPTH_M", "ECHOSOUNDER/MAX_DEPTH_M"})
        QVERIFY(!file.value(QLatin1String(key)).isValid());
}

void tst_KelvaneSimulatorFailures::unusableDevice_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("critical");

    const QString missing = dir.filePath(QStringLiteral("no-such-pts"));
    QTest::newRow("missing") << missing
                             << QStringLiteral(
                                    "critical [ECHO] CRIT: Unable to find virtual serial "
                                    "port: \"%1\"")
                                    .arg(missing);
    QTest::newRow("directory") << dir.path()
                               << QStringLiteral("critical [ECHO] CRIT: Unable to open serial "
                                                 "port: \"%1\" -> \"Is a directory\"")
                                      .arg(dir.path());
    const QString plain = dir.filePath(QStringLiteral("settings.ini"));
    QTest::newRow("regular file")
        << plain
        << QStringLiteral("critical [ECHO] CRIT: Unable to open serial port: \"%1\" -> "
                          "\"Inappropriate ioctl for device\"")
               .arg(plain);
}

void tst_KelvaneSimulatorFailures::unusableDevice()
{
    QFETCH(QString, path);
    QFETCH(QString, critical);

    hostApp()->updateSetting("KELVANE_SIMULATOR", "SERIAL_DEVICE", path);
    const int descriptors = openDescriptors();
    LogCapture log;
    plugin->requestStart();
    QCOMPARE(log.take(), startRequestLines() << critical);
    QCOMPARE(openDescriptors(), descriptors);
    QVERIFY(dataTimerPeriods(plugin).isEmpty());
    QVERIFY(plugin->findChildren<QObject *>().isEmpty());
}

void tst_KelvaneSimulatorFailures::laterStartTriesAgain()
{
    hostApp()->updateSetting("KELVANE_SIMULATOR", "SERIAL_DEVICE", pty.slavePath());
    plugin->start();
    QCOMPARE(dataTimerPeriods(plugin), QList<int> {1000});
    // Without depth bounds the sweep goes 0.1, 0, 0.1, ...; the ping sends its second step.
    KELVANE_COMPARE_RECEIVED(pty,
                             "$SMDBT,0.000,f,0.000,M,,*67\r\n$SMMTW,21.40,C*3A\r\n"
                             "$YXXDR,A,74.1,D,PTCH,A,-54.4,D,ROLL*77\r\n");

    plugin->stop();
    QVERIFY(dataTimerPeriods(plugin).isEmpty());
    QVERIFY(plugin->findChildren<QObject *>().isEmpty());
    plugin->stop();
}

KELVANE_SIMULATOR_TEST_MAIN(tst_KelvaneSimulatorFailures)
#include "tst_kelvanesimulator_failures.moc"
