// The simulator's command protocol on a real pty, with the plug-in taken as the host takes it:
// its identity, the replies byte for byte with the data timer each command text leaves behind,
// and a new device or a new instance taken at the next start, and one Qt alone mapped: run on
// the packaged plug-in in a build against Qt 5.7.1, this suite is the flight computer's host in
// that Qt.

#include "logcapture.h"
#include "simulatorhost.h"

#include <QJsonDocument>

class tst_KelvaneSimulatorCommands : public QObject, SimulatorFixture
{
    Q_OBJECT

signals:
    // Where the host takes the plug-in's data; the simulator sends none.
    void dataReceived(MessageId, PayloadId, const QByteArray &data, const QVariant &param);

private slots:
    void initTestCase();
    void commands_data();
    void commands();
    void restartAndNewDevice();
    void onlyOneQtMapped();
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
    QCOMPARE((QStringList {plugin->name(), plugin->version(), static_cast<Logged *>(plugin)->id(),
                           QString::asprintf("%d %d %d", int(plugin->connectionType()),
                                             int(plugin->payloadId()), plugin->startDelay())}),
             (QStringList {"Kelvane simulator", "2.10.0.1856", "ECHO", "0 0 0"}));
    QVERIFY(bool(connect(plugin, SIGNAL(dataReceived(MessageId, PayloadId, QByteArray, QVariant)),
                         this, SIGNAL(dataReceived(MessageId, PayloadId, QByteArray, QVariant)))));
    // The telemetry timer alone runs, with the settings' period, until the start request.
    const auto timers = QAbstractEventDispatcher::instance()->registeredTimers(plugin);
    QVERIFY(dataTimers().isEmpty() && timers.size() == 1 && timers[0].interval == 3600000);

    LogCapture log;
    plugin->requestStart();
    QCOMPARE(log.take(), startRequestLines());
    QCOMPARE(dataTimerPeriods(), QList<int> {1000});
    QCOMPARE(pty.takeAll(), QByteArray());
}

void tst_KelvaneSimulatorCommands::commands_data()
{
    addRows("simulator-commands.txt", {"input", "reply", "periods"});
}

void tst_KelvaneSimulatorCommands::commands()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, periods);
    KELVANE_COMMAND(pty, input, reply);
    // Qt reports periods this long in whole seconds, overflowing the int it hands back.
    if (periods == "max")
        QCOMPARE(dataTimerPeriods().size(), 1);
    else
        QCOMPARE(dataTimerPeriods(), periods == "-" ? QList<int>() : QList<int> {periods.toInt()});
}

void tst_KelvaneSimulatorCommands::restartAndNewDevice()
{
    // A new device is taken at the next start() only.
    Pty other;
    LogCapture log;
    hostApp()->updateSetting("KELVANE_SIMULATOR", "SERIAL_DEVICE", other.slavePath());
    KELVANE_COMMAND(pty, "#output 7", "#output 7\r\n>ok.\r\n");
    plugin->start();
    KELVANE_COMMAND(other, "#go", "#go\r\n>ok.\r\n");
    QCOMPARE(pty.takeAll(), QByteArray());

    // Destroyed, then created anew by the entry point: a fresh object with the first interval,
    // that opens nothing until the start request.
    delete plugin;
    plugin = qobject_cast<IPayloadPlugin *>(loader.instance());
    QVERIFY(plugin);
    QVERIFY(dataTimerPeriods().isEmpty());
    plugin->requestStart();
    KELVANE_COMMAND(other, "output 7 go", "output 7 go\r\n>ok.\r\n");
    QCOMPARE(dataTimerPeriods(), QList<int> {1000});
}

void tst_KelvaneSimulatorCommands::onlyOneQtMapped()
{
    // Every Qt library in this process is of the Qt the suite was built with, the plug-in's
    // QtSerialPort too, and the plug-in is mapped from the file it was taken from.
    const QByteArray maps = readFile(QStringLiteral("/proc/self/maps"));
    QList<QByteArray> otherQt;
    for (const QByteArray &line : maps.split('\n')) {
        if (line.contains("/libQt") && !line.endsWith(".so." QT_VERSION_STR))
            otherQt << line;
    }
    QVERIFY2(otherQt.isEmpty(), otherQt.join('\n').constData());
    QVERIFY(maps.contains("/libQt5SerialPort.so." QT_VERSION_STR "\n"));
    QVERIFY(maps.contains(' ' + QFile::encodeName(loader.fileName()) + '\n'));
}

KELVANE_SIMULATOR_TEST_MAIN(tst_KelvaneSimulatorCommands)
#include "tst_kelvanesimulator_commands.moc"
