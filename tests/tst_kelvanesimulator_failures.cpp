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

class tst_KelvaneSimulatorFailures : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void unusableDevice_data();
    void unusableDevice();
    void laterStartTriesAgain();

private:
    QTemporaryDir dir;
    QPluginLoader loader;
    IPayloadPlugin *plugin = nullptr;
};

void tst_KelvaneSimulatorFailures::initTestCase()
{
    plugin = loadSimulator(loader, dir, {});
    QVERIFY2(plugin, qPrintable(loader.errorString()));

    // Every setting read is written back with its default; the depth bounds have none.
    auto *app = static_cast<App *>(QCoreApplication::instance());
    app->syncSettings();
    QSettings file(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    QCOMPARE(file.value(QStringLiteral("KELVANE_SIMULATOR/SERIAL_DEVICE")).toString(),
             QStringLiteral("/dev/pts/1"));
    QCOMPARE(file.value(QStringLiteral("KELVANE_SIMULATOR/CONST_MODE")).toString(),
             QStringLiteral("false"));
    QCOMPARE(file.value(QStringLiteral("KELVANE_SIMULATOR/SIN_MODE")).toString(),
             QStringLiteral("false"));
    QCOMPARE(file.value(QStringLiteral("KELVANE_SIMULATOR/DELTA_M")).toString(),
             QStringLiteral("0.1"));
    QCOMPARE(file.value(QStringLiteral("KELVANE_SIMULATOR/FREQUENCY_MODE")).toString(),
             QStringLiteral("SINGLE"));
    for (const char *key : {"ECHOSOUNDER/MIN_DEPTH_M", "ECHOSOUNDER/MAX_DEPTH_M"}) {
        QVERIFY(file.contains(QLatin1String(key)));
        QVERIFY(!file.value(QLatin1String(key)).isValid());
    }
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

    auto *app = static_cast<App *>(QCoreApplication::instance());
    app->updateSetting("KELVANE_SIMULATOR", "SERIAL_DEVICE", path);
    const int descriptors = openDescriptors();
    LogCapture log;
    plugin->requestStart();
    QCOMPARE(log.take(),
             QStringList({QStringLiteral("debug [ECHO] Dbg: Start request is called for Kelvane "
                                         "simulator plugin"),
                          QStringLiteral("info [ECHO] Run in console before app starting: 'socat "
                                         "-d -d pty,raw,echo=0 pty,raw,echo=0'"),
                          critical}));
    QCOMPARE(openDescriptors(), descriptors);
    QVERIFY(dataTimerPeriods(plugin).isEmpty());
    QVERIFY(plugin->findChildren<QObject *>().isEmpty());
}

void tst_KelvaneSimulatorFailures::laterStartTriesAgain()
{
    PtyMaster pty;
    auto *app = static_cast<App *>(QCoreApplication::instance());
    app->updateSetting("KELVANE_SIMULATOR", "SERIAL_DEVICE", pty.slavePath());
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
