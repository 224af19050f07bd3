// The simulator's command protocol on a real pty, with the plug-in taken as the host takes it:
// its identity, the replies byte for byte with the data timer each command text leaves behind,
// and a new device or a new instance taken at the next start. Copies of the plug-in with a
// broken metadata record are refused, and one Qt alone is mapped: run on the packaged plug-in
// in a build against Qt 5.7.1, this suite is the flight computer's host in that Qt.

#include "logcapture.h"
#include "simulatorhost.h"

#include <QJsonDocument>
#include <QtEndian>

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
    void refusals_data();
    void refusals();
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

// A number word of the metadata's binary JSON: the value in the word itself, under a Latin-1 key.
static QByteArray numberWord(quint32 value)
{
    const quint32 word = qToLittleEndian((2u | 8u | 16u) | value << 5);
    return QByteArray(reinterpret_cast<const char *>(&word), 4);
}

void tst_KelvaneSimulatorCommands::refusals_data()
{
    // Copies of the plug-in with their metadata record patched. Qt refuses a plug-in built for a
    // newer minor version than its own: 5.15 where this Qt is older, else the next minor.
    QTest::addColumn<QByteArray>("original");
    QTest::addColumn<QByteArray>("patched");
    QTest::addColumn<QString>("refusal");
    const quint32 newer = qMax(0x050F00, (QT_VERSION & 0xFFFF00) + 0x100);
    QTest::newRow("built for a newer Qt") << numberWord(0x050701) << numberWord(newer)
                                          << "The plugin '%1' uses incompatible Qt library. (5." +
            QString::number(newer >> 8 & 0xFF) + ".0) [release]";
    QTest::newRow("no \"MetaData\"")
        << QByteArray("\x08\x00MetaData", 10) << QByteArray("\x08\x00Metadata", 10)
        << "no \"MetaData\" object in the metadata of %1";
}

void tst_KelvaneSimulatorCommands::refusals()
{
    QFETCH(QByteArray, original);
    QFETCH(QByteArray, patched);
    QFETCH(QString, refusal);
    // The record in its section comes first; debug information may hold a copy.
    QByteArray library = readFile(loader.fileName());
    const int record = library.indexOf("QTMETADATA  qbjs");
    const int at = library.indexOf(original, record);
    QVERIFY(record >= 0 && at > record && at < record + 200);
    QFile copy(dir.path() + QStringLiteral("/%1.so").arg(qHash(patched)));
    QVERIFY(copy.open(QIODevice::WriteOnly) &&
            copy.write(library.replace(at, patched.size(), patched)) > 0);
    copy.close();

    QPluginLoader other(copy.fileName());
    QString why;
    QVERIFY(!acceptPlugin(other, why) && !other.isLoaded());
    QCOMPARE(why, refusal.arg(other.fileName()));
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
