#ifndef KELVANE_TESTS_SIMULATORHOST_H
#define KELVANE_TESTS_SIMULATORHOST_H

// What the simulator suites share: libkelvane.so loaded the way the host loads it, talking to a
// pty. Each suite is its own process, because the simulator keeps its sweep, counters and
// first-reply flag per process.

#include "app.h"
#include "datarows.h"
#include "ipayloadplugin.h"
#include "pty.h"

#include <QAbstractEventDispatcher>
#include <QJsonObject>
#include <QPluginLoader>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

/// The host's application object.
inline App *hostApp()
{
    return static_cast<App *>(QCoreApplication::instance());
}

/// The lines every start request logs before it opens the device.
inline QStringList startRequestLines()
{
    return {
        QStringLiteral("debug [ECHO] Dbg: Start request is called for Kelvane simulator plugin"),
        QStringLiteral("info [ECHO] Run in console before app starting: 'socat -d -d "
                       "pty,raw,echo=0 pty,raw,echo=0'")};
}

/// Takes a payload plug-in as the flight computer's host does: accepted by the interface id and
/// the "MetaData" object of its metadata, read from the file before anything is loaded, then
/// instantiated and cast by that id. Null, and why in refusal, when refused.
inline IPayloadPlugin *acceptPlugin(QPluginLoader &loader, QString &refusal)
{
    const QJsonObject meta = loader.metaData();
    if (meta.isEmpty())
        refusal = loader.errorString();
    else if (meta.value(QStringLiteral("IID")).toString() != QLatin1String(IPayloadPlugin_iid))
        refusal = QStringLiteral("not a payload plug-in: ") + loader.fileName();
    else if (!meta.value(QStringLiteral("MetaData")).isObject())
        refusal = QStringLiteral("no \"MetaData\" object in the metadata of ") + loader.fileName();
    else if (auto *plugin = qobject_cast<IPayloadPlugin *>(loader.instance()))
        return plugin;
    else
        refusal = loader.errorString();
    return nullptr;
}

/// What a simulator suite holds: a scratch store, the loader, a pty and the instance.
struct SimulatorFixture
{
    /// Writes settings ("GROUP/NAME" -> value) to a fresh store, with a telemetry period apart
    /// from every data timer period the suites use, and takes the plug-in as the host does: the
    /// one built with the suite (KELVANE_PLUGIN_PATH), or the one the environment variable
    /// KELVANE_SIMULATOR_PLUGIN names (the packaged one, in a build against Qt 5.7.1). False when
    /// the pty or the plug-in is not there, or the plug-in is refused.
    bool load(const QVariantMap &settings)
    {
        hostApp()->loadSettings(dir.path() + QStringLiteral("/settings.ini"));
        hostApp()->settings()->setValue(QStringLiteral("APP/TELEMETRY_PERIOD_MS"), 3600000);
        for (auto it = settings.cbegin(); it != settings.cend(); ++it)
            hostApp()->settings()->setValue(it.key(), it.value());
        const QString other = QFile::decodeName(qgetenv("KELVANE_SIMULATOR_PLUGIN"));
        loader.setFileName(other.isEmpty() ? QStringLiteral(KELVANE_PLUGIN_PATH) : other);
        QString refusal;
        plugin = pty.isOpen() ? acceptPlugin(loader, refusal) : nullptr;
        return plugin;
    }

    /// Settings for a simulator on the pty whose depth sweeps from 2 to 3 m in steps of 0.25 m.
    QVariantMap sweep() const
    {
        return {{QStringLiteral("KELVANE_SIMULATOR/SERIAL_DEVICE"), pty.slavePath()},
                {QStringLiteral("ECHOSOUNDER/MIN_DEPTH_M"), 2.0},
                {QStringLiteral("ECHOSOUNDER/MAX_DEPTH_M"), 3.0},
                {QStringLiteral("KELVANE_SIMULATOR/DELTA_M"), 0.25}};
    }

    /// The plug-in's running timers other than its telemetry timer: id, period.
    QMap<int, int> dataTimers() const
    {
        QMap<int, int> timers;
        for (const auto &timer : QAbstractEventDispatcher::instance()->registeredTimers(plugin)) {
            if (timer.timerId != plugin->telemetryTimer())
                timers.insert(timer.timerId, timer.interval);
        }
        return timers;
    }
    QList<int> dataTimerPeriods() const { return dataTimers().values(); }
    /// A ping at once, as the data timer's next expiry makes it.
    void ping()
    {
        QTimerEvent expiry(dataTimers().isEmpty() ? -1 : dataTimers().firstKey());
        QCoreApplication::sendEvent(plugin, &expiry);
    }

    QTemporaryDir dir;
    QPluginLoader loader;
    Pty pty;
    IPayloadPlugin *plugin = nullptr;
};

/// Writes command to a Pty and compares the reply that comes back, byte for byte.
#define KELVANE_COMMAND(pty, command, reply)                                                       \
    do {                                                                                           \
        const QByteArray expectedReply(reply);                                                     \
        QVERIFY((pty).write(command));                                                             \
        QCOMPARE((pty).read(expectedReply.size()), expectedReply);                                 \
    } while (false)

/// main() of a simulator suite: the application object is the host's App.
#define KELVANE_SIMULATOR_TEST_MAIN(TestClass)                                                     \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        App app(argc, argv);                                                                       \
        TestClass test;                                                                            \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&test, argc, argv);                                                    \
    }

#endif // KELVANE_TESTS_SIMULATORHOST_H
