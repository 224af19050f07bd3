#include "app.h"
#include "ipayloadplugin.h"
#include "logcapture.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QMetaMethod>
#include <QPluginLoader>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

// The test plug-in (tests/plugin) is loaded as the host loads a payload: by file, accepted by its
// interface id. It links its own copy of core/, this test another one.

namespace {

App *app()
{
    return static_cast<App *>(QCoreApplication::instance());
}

// The ground messages sent while it lives, e.g. "[TEST] started".
class GroundSpy : public QSignalSpy
{
public:
    GroundSpy() : QSignalSpy(app(), &App::textToGround) { }
    QStringList texts() const
    {
        QStringList out;
        for (const QVariantList &args : *this)
            out << args.value(0).value<TextToGround>().text;
        return out;
    }
};

// The timers the object runs, as "id:interval".
QStringList timersOf(QObject *object)
{
    QStringList out;
    const auto timers = QAbstractEventDispatcher::instance()->registeredTimers(object);
    for (const auto &timer : timers)
        out << QStringLiteral("%1:%2").arg(timer.timerId).arg(timer.interval);
    return out;
}

} // namespace

class TstIPayloadPlugin : public QObject
{
    Q_OBJECT

public slots:
    void onData(MessageId, PayloadId, const QByteArray &data) { received << data; }
    void onDataParam(MessageId, PayloadId, const QByteArray &data, const QVariant &param)
    {
        received << data + (param.isValid() ? "+param" : "");
    }

private slots:
    void loadByInterfaceId();
    void interfaceMetaObject();
    void start_data();
    void start();
    void destroyedWhileStartPending_data();
    void destroyedWhileStartPending();
    void telemetryTimer();
    void settingUpdatesReachPlugin();

private:
    // Deletes the current instance; the entry point then builds a new one.
    IPayloadPlugin *freshPlugin()
    {
        delete loader.instance();
        return qobject_cast<IPayloadPlugin *>(loader.instance());
    }

    QPluginLoader loader {QStringLiteral(KELVANE_TEST_PLUGIN)};
    QList<QByteArray> received;
};

void TstIPayloadPlugin::loadByInterfaceId()
{
    const QJsonObject meta = loader.metaData();
    QCOMPARE(meta.value(QLatin1String("IID")).toString(),
             QStringLiteral("com.vorn.talvik.ipayloadplugin"));
    QCOMPARE(meta.value(QLatin1String("className")).toString(), QStringLiteral("TestPayload"));
    QVERIFY(meta.value(QLatin1String("MetaData")).toObject().isEmpty());
    QVERIFY2(loader.load(), qPrintable(loader.errorString()));

    QObject *root = loader.instance();
    QVERIFY(root);
    QCOMPARE(loader.instance(), root);
    // By interface id: the plug-in's IPayloadPlugin is another copy than this test's.
    auto *plugin = qobject_cast<IPayloadPlugin *>(root);
    QCOMPARE(static_cast<QObject *>(plugin), root);
    QVERIFY(root->metaObject()->superClass() != &IPayloadPlugin::staticMetaObject);
    QCOMPARE(plugin->id(), QStringLiteral("TEST"));

    const int serial = root->property("serial").toInt();
    delete root;
    QObject *next = loader.instance();
    QVERIFY(next);
    QCOMPARE(next->property("serial").toInt(), serial + 1);
}

void TstIPayloadPlugin::interfaceMetaObject()
{
    QObject *root = loader.instance();
    const QMetaObject *meta = root->metaObject()->superClass();
    QCOMPARE(meta->className(), "IPayloadPlugin");
    QCOMPARE(meta->superClass()->className(), "IBase");
    QStringList methods;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        methods << QStringLiteral("%1 %2 %3")
                       .arg(method.methodType())
                       .arg(method.access())
                       .arg(QString::fromLatin1(method.methodSignature()));
    }
    QCOMPARE(methods,
             (QStringList {"1 2 dataReceived(MessageId,PayloadId,QByteArray,QVariant)",
                           "1 2 dataReceived(MessageId,PayloadId,QByteArray)", "2 2 start()",
                           "2 0 startTelemetryTimer()"}));

    // The short form is the same signal: receivers of either get every emission.
    received.clear();
    QVERIFY(connect(root, SIGNAL(dataReceived(MessageId, PayloadId, QByteArray)), this,
                    SLOT(onData(MessageId, PayloadId, QByteArray))));
    QVERIFY(connect(root, SIGNAL(dataReceived(MessageId, PayloadId, QByteArray, QVariant)), this,
                    SLOT(onDataParam(MessageId, PayloadId, QByteArray, QVariant))));
    auto *plugin = qobject_cast<IPayloadPlugin *>(root);
    emit plugin->dataReceived(NoMessage, NoPayload, "a");
    emit plugin->dataReceived(NoMessage, NoPayload, "b", 1);
    std::sort(received.begin(), received.end());
    QCOMPARE(received, (QList<QByteArray> {"a", "a", "b", "b+param"}));
    root->disconnect(this);
}

void TstIPayloadPlugin::start_data()
{
    QTest::addColumn<int>("signalled"); // emitted as APP_PAYLOAD_START_DELAY_S; -1: not emitted
    QTest::addColumn<QVariant>("set"); // passed to setStartDelay afterwards; invalid: not called
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("expectedMs"); // 0: started within requestStart()
    QTest::newRow("0 s") << -1 << QVariant(0) << "Test payload" << 0;
    QTest::newRow("-1 s") << -1 << QVariant(-1) << "Test payload" << 0;
    QTest::newRow("no name") << -1 << QVariant(0) << "" << 0;
    QTest::newRow("settings: 3 s") << -1 << QVariant() << "Test payload" << 3000;
    QTest::newRow("signal: 2 s") << 2 << QVariant() << "Test payload" << 2000;
    QTest::newRow("signal, then setStartDelay(1)") << 2 << QVariant(1) << "Test payload" << 1000;
}

void TstIPayloadPlugin::start()
{
    QFETCH(int, signalled);
    QFETCH(QVariant, set);
    QFETCH(QString, name);
    QFETCH(int, expectedMs);
    IPayloadPlugin *plugin = freshPlugin();
    static_cast<QObject *>(plugin)->setProperty("displayName", name);
    if (signalled >= 0)
        emit app()->APP_PAYLOAD_START_DELAY_S(signalled);
    if (set.isValid())
        plugin->setStartDelay(set.toInt());

    GroundSpy ground;
    LogCapture log;
    QElapsedTimer elapsed;
    elapsed.start();
    plugin->requestStart();
    QCOMPARE(
        log.take(),
        QStringList {
            QStringLiteral("debug [TEST] Dbg: Start request is called for %1 plugin").arg(name)});
    if (expectedMs > 0) {
        QVERIFY(ground.isEmpty());
        QVERIFY(ground.wait(expectedMs + 2000));
        // Delays of 2 s and more run on a coarse timer, which may fire up to 5 % early.
        const qint64 ms = elapsed.elapsed();
        QVERIFY2(ms >= expectedMs * 95 / 100 && ms <= expectedMs + 500,
                 qPrintable(QStringLiteral("started after %1 ms").arg(ms)));
    }
    QCOMPARE(ground.texts(), QStringList {"[TEST] started"});
}

void TstIPayloadPlugin::destroyedWhileStartPending_data()
{
    QTest::addColumn<int>("delay");
    QTest::newRow("1 s") << 1;
    QTest::newRow("beyond the timer's range") << std::numeric_limits<int>::max();
}

void TstIPayloadPlugin::destroyedWhileStartPending()
{
    QFETCH(int, delay);
    IPayloadPlugin *plugin = freshPlugin();
    plugin->setStartDelay(delay);
    GroundSpy ground;
    LogCapture log;
    plugin->requestStart();
    delete plugin;
    QVERIFY(!ground.wait(1500));
    QVERIFY(ground.isEmpty());
    QCOMPARE(log.take(),
             QStringList {"debug [TEST] Dbg: Start request is called for Test payload plugin"});
}

void TstIPayloadPlugin::telemetryTimer()
{
    // Started by the constructor with the period read from the settings.
    IPayloadPlugin *plugin = freshPlugin();
    QObject *root = loader.instance();
    const auto timer = [&](int ms) {
        return QStringList {QStringLiteral("%1:%2").arg(plugin->telemetryTimer()).arg(ms)};
    };
    QCOMPARE(timersOf(root), timer(1000));

    // A new period waits for the next start of the timer.
    emit app()->APP_TELEMETRY_PERIOD_MS(40);
    QCOMPARE(plugin->telemetryPeriod(), 40);
    QCOMPARE(timersOf(root), timer(1000));
    // Started twice: one timer, whose id the plug-in holds.
    QVERIFY(QMetaObject::invokeMethod(root, "startTelemetryTimer"));
    QVERIFY(QMetaObject::invokeMethod(root, "startTelemetryTimer"));
    QCOMPARE(timersOf(root), timer(40));

    plugin->restartTelemetryTimer(250);
    QCOMPARE(plugin->telemetryPeriod(), 40);
    QCOMPARE(timersOf(root), timer(250));

    // A second stop must not kill a timer that reused the id.
    plugin->stopTimer();
    QCOMPARE(plugin->telemetryTimer(), -1);
    const int other = root->startTimer(1000);
    plugin->stopTimer();
    QCOMPARE(timersOf(root), QStringList {QStringLiteral("%1:1000").arg(other)});
    root->killTimer(other);
}

void TstIPayloadPlugin::settingUpdatesReachPlugin()
{
    IPayloadPlugin *plugin = freshPlugin();
    LogCapture log;
    app()->updateSetting("ECHOSOUNDER", "MAX_DEPTH_M", "42.5");
    app()->updateSetting("APP", "PAYLOAD_START_DELAY_S", "7");
    app()->updateSetting("APP", "TELEMETRY_PERIOD_MS", 70);
    QCOMPARE(static_cast<QObject *>(plugin)->property("maxDepth").toFloat(), 42.5f);
    QCOMPARE(plugin->startDelay(), 7);
    QCOMPARE(plugin->telemetryPeriod(), 70);
    QCOMPARE(log.take(),
             (QStringList {"info Updated: ECHOSOUNDER/MAX_DEPTH_M=42.5",
                           "info Updated: APP/PAYLOAD_START_DELAY_S=7",
                           "info Updated: APP/TELEMETRY_PERIOD_MS=70"}));
}

int main(int argc, char **argv)
{
    App app(argc, argv);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("settings.ini"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write("[APP]\nPAYLOAD_START_DELAY_S=3\nTELEMETRY_PERIOD_MS=1000\n") < 0)
        return 1;
    file.close();
    app.loadSettings(path);
    TstIPayloadPlugin test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ipayloadplugin.moc"
