// The simulator as the host runs it, on a pty whose other end this program reads:
// - FramePing: one single-frequency frame ping of 1333 samples, built and queued on the port
//   (BuildAndQueue), and until its last byte has reached the other end (ToTheOtherEnd);
// - PingRate: pings per second at "interval 0" while the other end is read;
// - RawPtyRate: the same lines, one write() per line, from a plain writer on the same pty:
//   the ceiling the simulator is compared with.

#include "app.h"
#include "ipayloadplugin.h"

#include <QAbstractEventDispatcher>
#include <QPluginLoader>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimerEvent>

#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

int master = -1;
int slave = -1; // a descriptor of our own on the simulator's end, for the plain writer
IPayloadPlugin *plugin = nullptr;
QByteArray received;

void drain()
{
    char chunk[65536];
    ssize_t n;
    while ((n = ::read(master, chunk, sizeof chunk)) > 0)
        received.append(chunk, int(n));
}

// Runs the simulator and reads its output until received holds terminator count times;
// removes and counts the bytes up to the last one.
qint64 pump(const QByteArray &terminator, int count = 1)
{
    int from = 0;
    for (int seen = 0; seen < count;) {
        QCoreApplication::processEvents();
        drain();
        const int at = received.indexOf(terminator, from);
        if (at >= 0) {
            from = at + terminator.size();
            ++seen;
        }
    }
    received.remove(0, from);
    return from;
}

void command(const QByteArray &text)
{
    ::write(master, text.constData(), size_t(text.size()));
    pump(QByteArrayLiteral("\r\n>"));
    pump(QByteArrayLiteral("\r\n"));
    received.clear();
}

// The data timer: the plug-in's timer other than its telemetry timer.
int dataTimerId()
{
    const auto timers = QAbstractEventDispatcher::instance()->registeredTimers(plugin);
    for (const auto &timer : timers) {
        if (timer.timerId != plugin->telemetryTimer())
            return timer.timerId;
    }
    return -1;
}

// Each ping ends with this: the data block's end, or the attitude sentence.
QByteArray pingEnd(bool frames)
{
    return frames ? QByteArrayLiteral("##DataEnd\r\n\r\n") : QByteArrayLiteral("ROLL*");
}

void FramePing(benchmark::State &state, bool untilTheOtherEnd)
{
    command("#range 10000 output 2 interval 1000 #go"); // a timer that never fires by itself
    const int id = dataTimerId();
    for (auto _ : state) {
        QTimerEvent tick(id);
        QCoreApplication::sendEvent(plugin, &tick);
        if (!untilTheOtherEnd)
            state.PauseTiming();
        pump(pingEnd(true));
        received.clear();
        if (!untilTheOtherEnd)
            state.ResumeTiming();
    }
    command("x");
    state.SetItemsProcessed(state.iterations());
    state.counters["samples"] = 1333;
}

void BuildAndQueue(benchmark::State &state)
{
    FramePing(state, false);
}

void ToTheOtherEnd(benchmark::State &state)
{
    FramePing(state, true);
}

void PingRate(benchmark::State &state)
{
    const bool frames = state.range(0) == 1;
    command(frames ? "#range 10000 output 2 interval 0 go" : "output 3 interval 0 go");
    qint64 bytes = 0;
    for (auto _ : state)
        bytes += pump(pingEnd(frames));
    command("x");
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(bytes);
}

void RawPtyRate(benchmark::State &state)
{
    const bool frames = state.range(0) == 1;
    // Capture one whole ping from the simulator, then replay it line by line.
    command(frames ? "#range 10000 output 2 interval 0 go" : "output 3 interval 0 go");
    pump(pingEnd(frames));
    received.clear();
    pump(pingEnd(frames));
    pump("\r\n");
    const QByteArray ping = received;
    command("x");
    QList<QByteArray> lines;
    for (int from = 0; from < ping.size();) {
        const int end = ping.indexOf("\r\n", from) + 2;
        lines << ping.mid(from, end - from);
        from = end;
    }

    qint64 bytes = 0;
    for (auto _ : state) {
        for (const QByteArray &line : lines) {
            qsizetype done = 0;
            while (done < line.size()) {
                const ssize_t n =
                    ::write(slave, line.constData() + done, size_t(line.size() - done));
                if (n > 0)
                    done += n;
                else
                    drain(); // full: let the reader catch up
            }
        }
        drain();
        bytes += received.size();
        received.clear();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(bytes);
}

} // namespace

// Rates by the clock on the wall: the time spent waiting for the pty counts.
BENCHMARK(BuildAndQueue)->Unit(benchmark::kMicrosecond);
BENCHMARK(ToTheOtherEnd)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(PingRate)
    ->ArgName("frames")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(RawPtyRate)
    ->ArgName("frames")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

int main(int argc, char **argv)
{
    App app(argc, argv);
    benchmark::Initialize(&argc, argv);

    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return 1;
    termios tio;
    tcgetattr(master, &tio);
    cfmakeraw(&tio);
    tcsetattr(master, TCSANOW, &tio);
    slave = ::open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);

    QTemporaryDir dir;
    app.loadSettings(dir.filePath(QStringLiteral("settings.ini")));
    app.settings()->setValue(QStringLiteral("APP/TELEMETRY_PERIOD_MS"), 3600000);
    app.settings()->setValue(QStringLiteral("KELVANE_SIMULATOR/SERIAL_DEVICE"),
                             QString::fromLocal8Bit(ptsname(master)));
    app.settings()->setValue(QStringLiteral("ECHOSOUNDER/MIN_DEPTH_M"), 2.0);
    app.settings()->setValue(QStringLiteral("ECHOSOUNDER/MAX_DEPTH_M"), 3.0);
    QPluginLoader loader(QStringLiteral(KELVANE_PLUGIN_PATH));
    plugin = qobject_cast<IPayloadPlugin *>(loader.instance());
    if (!plugin)
        return 1;
    plugin->requestStart();
    command("output 7");

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delete plugin;
    ::close(slave);
    ::close(master);
    return 0;
}
