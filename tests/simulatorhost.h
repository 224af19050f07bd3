#ifndef KELVANE_TESTS_SIMULATORHOST_H
#define KELVANE_TESTS_SIMULATORHOST_H

// What the simulator suites share: the far end of a pseudo-terminal, and libkelvane.so loaded
// the way the host loads it. Each suite is its own process, because the simulator keeps its
// sweep, counters and first-reply flag per process.

#include "app.h"
#include "ipayloadplugin.h"

#include <QAbstractEventDispatcher>
#include <QPluginLoader>
#include <QSettings>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

/// The master side of a pty pair; the simulator opens slavePath(). A slave descriptor stays
/// open here so that the master never reads as hung up while the simulator is closed.
class PtyMaster
{
public:
    PtyMaster()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return;
        termios tio;
        tcgetattr(master, &tio);
        cfmakeraw(&tio);
        tcsetattr(master, TCSANOW, &tio);
        path = QString::fromLocal8Bit(ptsname(master));
        slave = ::open(ptsname(master), O_RDWR | O_NOCTTY);
        notifier = new QSocketNotifier(master, QSocketNotifier::Read);
        QObject::connect(notifier, &QSocketNotifier::activated, [this] { drain(); });
    }
    ~PtyMaster()
    {
        delete notifier;
        ::close(slave);
        ::close(master);
    }
    PtyMaster(const PtyMaster &) = delete;
    PtyMaster &operator=(const PtyMaster &) = delete;

    bool isOpen() const { return slave >= 0; }
    QString slavePath() const { return path; }

    /// Writes all of data, letting the event loop run while the pty is full.
    bool write(const QByteArray &data)
    {
        qsizetype done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(master, data.constData() + done, size_t(data.size() - done));
            if (n > 0)
                done += n;
            else if (n < 0 && errno != EAGAIN)
                return false;
            else
                QCoreApplication::processEvents();
        }
        return true;
    }

    /// Runs the event loop until done() holds or timeoutMs have passed; returns done().
    template<typename Predicate> bool waitUntil(Predicate done, int timeoutMs = 5000)
    {
        QTimer deadline;
        deadline.setSingleShot(true);
        deadline.start(timeoutMs);
        while (!done() && deadline.isActive())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        return done();
    }

    /// The bytes up to and including the first terminator; empty when none came in time.
    QByteArray readUntil(const QByteArray &terminator, int timeoutMs = 5000)
    {
        if (!waitUntil([&] { return received.contains(terminator); }, timeoutMs))
            return QByteArray();
        const int end = received.indexOf(terminator) + terminator.size();
        const QByteArray head = received.left(end);
        received.remove(0, end);
        return head;
    }

    /// Exactly count bytes; fewer when they did not come in time.
    QByteArray read(int count, int timeoutMs = 5000)
    {
        waitUntil([&] { return received.size() >= count; }, timeoutMs);
        const QByteArray head = received.left(count);
        received.remove(0, head.size());
        return head;
    }

    /// Everything received so far.
    QByteArray takeAll()
    {
        drain();
        return std::exchange(received, QByteArray());
    }

    QByteArray received;

private:
    void drain()
    {
        char chunk[65536];
        ssize_t n;
        while ((n = ::read(master, chunk, sizeof chunk)) > 0)
            received.append(chunk, int(n));
    }

    int master = -1;
    int slave = -1;
    QString path;
    QSocketNotifier *notifier = nullptr;
};

/// The telemetry period the suites set, told apart from every data timer period they use.
constexpr int TelemetryPeriodMs = 3600000;

/// Writes settings ("GROUP/NAME" -> value) to a fresh store and loads the plug-in from
/// KELVANE_PLUGIN_PATH, as the host does; null when it does not load.
inline IPayloadPlugin *loadSimulator(QPluginLoader &loader, const QTemporaryDir &dir,
                                     const QVariantMap &settings)
{
    auto *app = static_cast<App *>(QCoreApplication::instance());
    app->loadSettings(dir.filePath(QStringLiteral("settings.ini")));
    app->settings()->setValue(QStringLiteral("APP/TELEMETRY_PERIOD_MS"), TelemetryPeriodMs);
    for (auto it = settings.cbegin(); it != settings.cend(); ++it)
        app->settings()->setValue(it.key(), it.value());
    loader.setFileName(QStringLiteral(KELVANE_PLUGIN_PATH));
    return qobject_cast<IPayloadPlugin *>(loader.instance());
}

/// The host's application object.
inline App *hostApp()
{
    return static_cast<App *>(QCoreApplication::instance());
}

/// Settings for a simulator on pty whose depth sweeps from 2 to 3 m in steps of 0.25 m.
inline QVariantMap sweepOn(const PtyMaster &pty)
{
    return {{QStringLiteral("KELVANE_SIMULATOR/SERIAL_DEVICE"), pty.slavePath()},
            {QStringLiteral("ECHOSOUNDER/MIN_DEPTH_M"), 2.0},
            {QStringLiteral("ECHOSOUNDER/MAX_DEPTH_M"), 3.0},
            {QStringLiteral("KELVANE_SIMULATOR/DELTA_M"), 0.25}};
}

/// What a simulator suite holds: a scratch store, the loader, the far end and the instance.
struct SimulatorFixture
{
    /// Loads the simulator with settings; false when the pty or the plug-in is not there.
    bool load(const QVariantMap &settings)
    {
        plugin = pty.isOpen() ? loadSimulator(loader, dir, settings) : nullptr;
        return plugin;
    }

    QTemporaryDir dir;
    QPluginLoader loader;
    PtyMaster pty;
    IPayloadPlugin *plugin = nullptr;
};

/// The lines every start request logs before it opens the device.
inline QStringList startRequestLines()
{
    return {
        QStringLiteral("debug [ECHO] Dbg: Start request is called for Kelvane simulator plugin"),
        QStringLiteral("info [ECHO] Run in console before app starting: 'socat -d -d "
                       "pty,raw,echo=0 pty,raw,echo=0'")};
}

/// The periods of the plug-in's running timers other than its telemetry timer.
inline QList<int> dataTimerPeriods(IPayloadPlugin *plugin)
{
    QList<int> periods;
    const auto timers = QAbstractEventDispatcher::instance()->registeredTimers(plugin);
    for (const auto &timer : timers) {
        if (timer.timerId != plugin->telemetryTimer())
            periods << timer.interval;
    }
    return periods;
}

/// A golden file from tests/data, bytes as they are.
inline QByteArray golden(const char *name)
{
    QFile file(QStringLiteral(KELVANE_TEST_DATA_DIR "/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

/// Compares the next bytes from a PtyMaster with expected, as many as expected holds.
#define KELVANE_COMPARE_RECEIVED(pty, expected)                                                    \
    do {                                                                                           \
        const QByteArray expectedBytes(expected);                                                  \
        QCOMPARE((pty).read(expectedBytes.size()), expectedBytes);                                 \
    } while (false)

/// Writes command to a PtyMaster and compares the reply that comes back, byte for byte.
#define KELVANE_COMMAND(pty, command, reply)                                                       \
    do {                                                                                           \
        QVERIFY((pty).write(command));                                                             \
        KELVANE_COMPARE_RECEIVED(pty, reply);                                                      \
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
