#include "app.h"
#include "ipayloadplugin.h"
#include "logcapture.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QMetaMethod>
#include <QPluginLoader>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

// The test plug-in (tests/plugin) is loaded as the host loads a payload: by file, accepted by its
// interface id. It links its own copy of core/, this test another one.

static App *app()
{
    return static_cast<App *>(QCoreApplication::instance());
}

// The timers the object runs, as "id:interval".
static QStringList timersOf(QObject *object)
{
    QStringList out;
    const auto timers = QAbstractEventDispatcher::instance()->registeredTimers(object);
    for (const auto &timer : timers)
        out << QStringLiteral("%1:%2").arg(timer.timerId).arg(timer.interval);
    return out;
}

const QString StartLine =
    QStringLiteral("debug [TEST] Dbg: Start request is called for Test payload plugin");

class TstIPayloadPlugin : public QObject
{
    Q_OBJECT

private slots:
    void interfaceMetaObject();
    void requestStart();
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
};

void TstIPayloadPlugin::interfaceMetaObject()
{
    QObject *root = loader.instance();
    const QMetaObject *meta = root->metaObject()->superClass();
    QCOMPARE(meta->className(), "IPayloadPlugin");
    QCOMPARE(meta->superClass()->className(), "IBase");
    // Type, access, attributes (2: cloned, the short form of the signal before it), signature.
    QStringList methods;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod m = meta->method(i);
        methods << QString::asprintf("%d %d %d %s", m.methodType(), m.access(), m.attributes(),
                                     m.methodSignature().constData());
    }
    QCOMPARE(methods,
             (QStringList {"1 2 0 dataReceived(MessageId,PayloadId,QByteArray,QVariant)",
                           "1 2 2 dataReceived(MessageId,PayloadId,QByteArray)", "2 2 0 start()",
                           "2 0 0 startTelemetryTimer()"}));
}

void TstIPayloadPlugin::requestStart()
{
    QObject context;
    QStringList ground; // the plug-in's start() sends "[TEST] started"
    connect(app(), &App::textToGround, &context, [&](const TextToGround &m) { ground << m.text; });
    LogCapture log;
    for (int delay : {0, -1}) {
        IPayloadPlugin *plugin = freshPlugin();
        plugin->setStartDelay(delay);
        plugin->requestStart();
        QCOMPARE(ground, QStringList {"[TEST] started"});
        ground.clear();
    }

    // The delay of the settings file, 1 s: a single-shot timer of 1000 ms each, that never fires
    // early. A plug-in destroyed while its start is pending never starts: its start would have
    // come before that of the plug-in asked next.
    freshPlugin()->requestStart();
    IPayloadPlugin *plugin = freshPlugin();
    QElapsedTimer elapsed;
    elapsed.start();
    plugin->requestStart();
    // Each single-shot timer is an object of the event dispatcher with one timer.
    QStringList pending;
    for (QObject *shot : QAbstractEventDispatcher::instance()->children())
        pending << timersOf(shot).replaceInStrings(QRegularExpression(QStringLiteral(".*:")), "");
    QCOMPARE(pending, (QStringList {"1000", "1000"}));
    QVERIFY(ground.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!ground.isEmpty(), 30000);
    const qint64 ms = elapsed.elapsed();
    QVERIFY2(ms >= 950, qPrintable(QStringLiteral("started after %1 ms").arg(ms)));
    QCOMPARE(ground, QStringList {"[TEST] started"});

    // A delay beyond the timer's range waits as long as the timer can, silently.
    plugin->setStartDelay(std::numeric_limits<int>::max());
    plugin->requestStart();
    QCoreApplication::processEvents();
    QCOMPARE(ground.size(), 1);
    QCOMPARE(log.take(), (QStringList {StartLine, StartLine, StartLine, StartLine, StartLine}));
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
    // Through the signals of this copy of App, by name, to the plug-in's copy of the base.
    IPayloadPlugin *plugin = freshPlugin();
    app()->updateSetting("ECHOSOUNDER", "MAX_DEPTH_M", "42.5");
    app()->updateSetting("APP", "PAYLOAD_START_DELAY_S", "7");
    app()->updateSetting("APP", "TELEMETRY_PERIOD_MS", 70);
    QCOMPARE(static_cast<QObject *>(plugin)->property("maxDepth").toFloat(), 42.5f);
    QCOMPARE(plugin->startDelay(), 7);
    QCOMPARE(plugin->telemetryPeriod(), 70);
}

int main(int argc, char **argv)
{
    App app(argc, argv);
    QTemporaryDir dir;
    app.loadSettings(dir.path() + QStringLiteral("/settings.ini"));
    app.updateSetting("APP", "PAYLOAD_START_DELAY_S", 1);
    app.updateSetting("APP", "TELEMETRY_PERIOD_MS", 1000);
    TstIPayloadPlugin test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ipayloadplugin.moc"
