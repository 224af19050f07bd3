#include "app.h"
#include "ipayloadplugin.h"
#include "logcapture.h"

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

} // namespace

class TstIPayloadPlugin : public QObject
{
    Q_OBJECT

public slots:
    void onTick(int timerId) { ticks << qMakePair(timerId, clock.elapsed()); }
    void onData(MessageId, PayloadId, const QByteArray &data) { received << data; }
    void onDataParam(MessageId, PayloadId, const QByteArray &data, const QVariant &param)
    {
        received << data + (param.isValid() ? "+param" : "");
    }

private slots:
    void metadata();
    void instance();
    void interfaceMetaObject();
    void constructorReadsSettings();
    void startAtOnce_data();
    void startAtOnce();
    void delayedStart_data();
    void delayedStart();
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
    QElapsedTimer clock;
    QList<QPair<int, qint64>> ticks;
    QList<QByteArray> received;
};

void TstIPayloadPlugin::metadata()
{
    const QJsonObject meta = loader.metaData();
    QCOMPARE(meta.value(QLatin1String("IID")).toString(),
             QStringLiteral("com.vorn.talvik.ipayloadplugin"));
    QCOMPARE(meta.value(QLatin1String("className")).toString(), QStringLiteral("TestPayload"));
    // An empty metadata file: Qt 5.15's moc then leaves the "MetaData" key out altogether.
    const QJsonValue custom = meta.value(QLatin1String("MetaData"));
    QVERIFY(custom.isUndefined() || custom.isObject());
    QVERIFY(custom.toObject().isEmpty());
    QCOMPARE(meta.value(QLatin1String("version")).toInt(), QT_VERSION & 0xffff00);
    QVERIFY(meta.value(QLatin1String("debug")).isBool());
    QVERIFY2(loader.load(), qPrintable(loader.errorString()));
}

void TstIPayloadPlugin::instance()
{
    QObject *root = loader.instance();
    QVERIFY(root);
    QCOMPARE(loader.instance(), root);
    // By interface id: the plug-in's IPayloadPlugin is another copy than this test's.
    auto *plugin = qobject_cast<IPayloadPlugin *>(root);
    QVERIFY(plugin);
    QCOMPARE(static_cast<QObject *>(plugin), root);
    QVERIFY(root->metaObject()->superClass() != &IPayloadPlugin::staticMetaObject);
    QCOMPARE(plugin->id(), QStringLiteral("TEST"));
    QCOMPARE(plugin->name(), QStringLiteral("Test payload"));
    QCOMPARE(plugin->version(), QStringLiteral("1.0"));
    QCOMPARE(plugin->connectionType(), SerialConnection);
    QCOMPARE(plugin->payloadId(), NoPayload);

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
    const struct
    {
        const char *signature;
        QMetaMethod::MethodType type;
        QMetaMethod::Access access;
    } expected[] = {
        {"dataReceived(MessageId,PayloadId,QByteArray,QVariant)", QMetaMethod::Signal,
         QMetaMethod::Public},
        {"dataReceived(MessageId,PayloadId,QByteArray)", QMetaMethod::Signal, QMetaMethod::Public},
        {"start()", QMetaMethod::Slot, QMetaMethod::Public},
        {"startTelemetryTimer()", QMetaMethod::Slot, QMetaMethod::Private},
    };
    QCOMPARE(meta->methodCount() - meta->methodOffset(), 4);
    for (int i = 0; i < 4; ++i) {
        const QMetaMethod method = meta->method(meta->methodOffset() + i);
        QCOMPARE(method.methodSignature(), QByteArray(expected[i].signature));
        QCOMPARE(method.methodType(), expected[i].type);
        QCOMPARE(method.access(), expected[i].access);
    }

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

void TstIPayloadPlugin::constructorReadsSettings()
{
    IPayloadPlugin *plugin = freshPlugin();
    QCOMPARE(plugin->startDelay(), 3);
    QCOMPARE(plugin->telemetryPeriod(), 1000);
    QVERIFY(plugin->telemetryTimer() > 0);
    QCOMPARE(static_cast<QObject *>(plugin)->property("maxDepth").toFloat(), 100.0f);
}

void TstIPayloadPlugin::startAtOnce_data()
{
    QTest::addColumn<int>("delay");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("line");
    QTest::newRow("0 s") << 0 << "Test payload"
                         << "debug [TEST] Dbg: Start request is called for Test payload plugin";
    QTest::newRow("-1 s") << -1 << "Test payload"
                          << "debug [TEST] Dbg: Start request is called for Test payload plugin";
    QTest::newRow("no name") << 0 << ""
                             << "debug [TEST] Dbg: Start request is called for  plugin";
}

void TstIPayloadPlugin::startAtOnce()
{
    QFETCH(int, delay);
    QFETCH(QString, name);
    QFETCH(QString, line);
    IPayloadPlugin *plugin = freshPlugin();
    static_cast<QObject *>(plugin)->setProperty("displayName", name);
    plugin->setStartDelay(delay);
    GroundSpy ground;
    LogCapture log;
    plugin->requestStart();
    QCOMPARE(ground.texts(), QStringList {"[TEST] started"});
    QCOMPARE(log.take(), QStringList {line});
}

void TstIPayloadPlugin::delayedStart_data()
{
    QTest::addColumn<int>("signalled"); // emitted as APP_PAYLOAD_START_DELAY_S; -1: not emitted
    QTest::addColumn<int>("set"); // passed to setStartDelay afterwards; -1: not called
    QTest::addColumn<int>("expectedMs");
    QTest::newRow("settings: 3 s") << -1 << -1 << 3000;
    QTest::newRow("signal: 2 s") << 2 << -1 << 2000;
    QTest::newRow("signal, then setStartDelay(1)") << 2 << 1 << 1000;
}

void TstIPayloadPlugin::delayedStart()
{
    QFETCH(int, signalled);
    QFETCH(int, set);
    QFETCH(int, expectedMs);
    IPayloadPlugin *plugin = freshPlugin();
    if (signalled >= 0)
        emit app()->APP_PAYLOAD_START_DELAY_S(signalled);
    if (set >= 0)
        plugin->setStartDelay(set);

    GroundSpy ground;
    LogCapture log;
    QElapsedTimer elapsed;
    elapsed.start();
    plugin->requestStart();
    QCOMPARE(log.take(),
             QStringList {"debug [TEST] Dbg: Start request is called for Test payload plugin"});
    QVERIFY(ground.isEmpty());
    QVERIFY(ground.wait(expectedMs + 2000));
    const qint64 ms = elapsed.elapsed();
    QCOMPARE(ground.texts(), QStringList {"[TEST] started"});
    // Delays of 2 s and more run on a coarse timer, which may fire up to 5 % early.
    QVERIFY2(ms >= expectedMs * 95 / 100 && ms <= expectedMs + 500,
             qPrintable(QStringLiteral("started after %1 ms").arg(ms)));
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
    IPayloadPlugin *plugin = freshPlugin();
    QObject *root = loader.instance();
    QVERIFY(connect(root, SIGNAL(ticked(int)), this, SLOT(onTick(int))));
    clock.start();
    ticks.clear();

    // A new period waits for the next start of the timer: the running one keeps 1000 ms.
    emit app()->APP_TELEMETRY_PERIOD_MS(40);
    QCOMPARE(plugin->telemetryPeriod(), 40);
    QTRY_VERIFY_WITH_TIMEOUT(ticks.size() >= 2, 2500);
    QVERIFY(ticks[1].second - ticks[0].second >= 900);

    // Started twice: one timer, whose id the plug-in holds, ticking at 40 ms.
    QVERIFY(QMetaObject::invokeMethod(root, "startTelemetryTimer"));
    QVERIFY(QMetaObject::invokeMethod(root, "startTelemetryTimer"));
    ticks.clear();
    QTRY_VERIFY_WITH_TIMEOUT(ticks.size() >= 10, 2000);
    for (const auto &tick : qAsConst(ticks))
        QCOMPARE(tick.first, plugin->telemetryTimer());

    plugin->restartTelemetryTimer(250);
    QCOMPARE(plugin->telemetryPeriod(), 40);
    ticks.clear();
    QTRY_VERIFY_WITH_TIMEOUT(ticks.size() >= 4, 3000);
    const qint64 span = ticks[3].second - ticks[0].second; // three periods
    QVERIFY2(span >= 700 && span <= 1000, qPrintable(QString::number(span)));
    for (const auto &tick : qAsConst(ticks))
        QCOMPARE(tick.first, plugin->telemetryTimer());

    plugin->stopTimer();
    QCOMPARE(plugin->telemetryTimer(), -1);
    plugin->stopTimer();
    ticks.clear();
    QTest::qWait(300);
    QVERIFY(ticks.isEmpty());
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
