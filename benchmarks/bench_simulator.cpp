// The simulator as the host runs it, writing to a pty whose other end a reader thread drains:
// - BuildAndQueue: the CPU time of one ping, built and handed to the port (the timer event
//   alone, by the thread's CPU clock): NMEA (3 sentences) and single-frequency frames of 1333
//   samples;
// - AgainstWriter: pings per second at "interval 0" against a plain writer that writes one
//   captured ping's exact bytes with one write() per ping into the same pty, in interleaved
//   rounds (the simulator first in odd rounds, the writer first in even ones). The reader thread
//   drains the other end the same way for both and counts the pings by their last line. Each
//   side runs for a fixed time and is measured after a warm-up. Reported: the median rate of
//   each, the median of the per-round ratios (simulator / writer) and their range, the CPU time
//   per ping of the writing thread and of the reader for each side, and the load average before
//   and after.

#include "app.h"
#include "ipayloadplugin.h"

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QPluginLoader>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QTimerEvent>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A side's time in a round: the warm-up, then the part measured.
constexpr std::chrono::milliseconds WarmUp(200);
constexpr std::chrono::milliseconds Measured(1000);

int master = -1;
int writer = -1; // a blocking descriptor of our own on the simulator's end, for the plain writer
IPayloadPlugin *plugin = nullptr;

double threadCpuSeconds()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Drains the master on a thread of its own, 64 KiB a read(): counts the bytes, the pings (by the
// text their last line holds) and the replies to commands (by their prompt, "\r\n>", which no
// ping holds), and keeps its own CPU time as of its last read.
class Reader
{
public:
    void start()
    {
        running = true;
        thread = std::thread([this] { run(); });
    }
    void stop()
    {
        running = false;
        thread.join();
    }

    // Set while the line is quiet: the pings counted from now on end in marker.
    void expect(const QByteArray &marker) { pingEnd = marker; }

    std::atomic<qint64> bytes {0};
    std::atomic<qint64> pings {0};
    std::atomic<qint64> replies {0};
    std::atomic<double> cpu {0};

private:
    // The occurrences of what in [from, end) that end in [fresh, end).
    static qint64 count(const char *from, const char *fresh, const char *end,
                        const QByteArray &what)
    {
        qint64 n = 0;
        const size_t size = size_t(what.size());
        while (const void *hit = memmem(from, size_t(end - from), what.constData(), size)) {
            from = static_cast<const char *>(hit) + size;
            n += from > fresh;
        }
        return n;
    }

    void run()
    {
        // A marker split over two reads is found in the tail carried over from the last one.
        static const QByteArray reply("\r\n>");
        std::vector<char> buffer(65536 + 64);
        size_t carried = 0;
        while (running) {
            pollfd p = {master, POLLIN, 0};
            if (::poll(&p, 1, 20) != 1)
                continue;
            const ssize_t n = ::read(master, buffer.data() + carried, 65536);
            if (n <= 0)
                continue;
            const char *begin = buffer.data();
            const char *fresh = begin + carried;
            const char *end = fresh + n;
            pings += count(begin, fresh, end, pingEnd);
            replies += count(begin, fresh, end, reply);
            bytes += n;
            cpu = threadCpuSeconds();
            carried = std::min(size_t(end - begin), size_t(std::max(pingEnd.size(), reply.size())));
            std::memmove(buffer.data(), end - carried, carried);
        }
    }

    std::thread thread;
    std::atomic<bool> running {false};
    QByteArray pingEnd = "\r\n";
};

Reader reader;

double loadAverage()
{
    double load = 0;
    if (FILE *f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1)
            load = 0;
        std::fclose(f);
    }
    return load;
}

// Runs the event loop as the host does, waiting in it while nothing is due, until done() holds;
// done() is asked every millisecond.
template<typename Done> void pumpUntil(Done done)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done())
            loop.quit();
    });
    check.start(1);
    if (!done())
        loop.exec();
}

// A command to the simulator, and its reply read.
void command(const QByteArray &text)
{
    const qint64 replies = reader.replies;
    ::write(master, text.constData(), size_t(text.size()));
    pumpUntil([&] { return reader.replies > replies; });
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

struct Mode
{
    const char *start; // the command that starts pinging at "interval 0"
    QByteArray pingEnd; // text in the last line of a ping, once a ping
};

Mode mode(bool frames)
{
    if (frames)
        return {"#range 10000 output 2 interval 0 #go", "##DataEnd\r\n\r\n"};
    return {"output 3 interval 0 go", "ROLL*"};
}

// One ping of the simulator's as it is on the wire: from the end of its first whole ping to the
// end of the next, read straight from the master.
QByteArray capturePing(const Mode &m)
{
    reader.stop();
    QByteArray seen;
    char chunk[65536];
    auto readUntil = [&](auto done) {
        while (!done()) {
            QCoreApplication::processEvents();
            const ssize_t n = ::read(master, chunk, sizeof chunk);
            if (n > 0)
                seen.append(chunk, int(n));
        }
    };
    // The end of the line that holds the n-th ping end, or -1.
    auto pingEnd = [&](int n) {
        int at = -1;
        for (int i = 0; i < n; ++i) {
            at = seen.indexOf(m.pingEnd, at + 1);
            if (at < 0)
                return -1;
        }
        const int lineEnd = seen.indexOf("\r\n", at + m.pingEnd.size() - 2);
        return lineEnd < 0 ? -1 : lineEnd + 2;
    };
    ::write(master, m.start, std::strlen(m.start));
    readUntil([&] { return pingEnd(2) >= 0; });
    ::write(master, "x", 1);
    readUntil([&] { return seen.endsWith("\r\n>\r\n"); });
    reader.start();
    const int from = pingEnd(1);
    return seen.mid(from, pingEnd(2) - from);
}

struct Round
{
    double rate; // pings per second
    double cpu; // seconds of the writing thread's CPU per ping
    double readerCpu; // seconds of the reader's CPU per ping
};

// A side's round: work(deadline) writes until the deadline, for the warm-up and then for the
// part measured.
template<typename Work> Round measure(Work work)
{
    work(Clock::now() + WarmUp);
    const Clock::time_point t0 = Clock::now();
    const qint64 pings0 = reader.pings;
    const double cpu0 = threadCpuSeconds();
    const double readerCpu0 = reader.cpu;
    work(t0 + Measured);
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const double pings = double(std::max<qint64>(reader.pings - pings0, 1));
    return {pings / seconds, (threadCpuSeconds() - cpu0) / pings,
            (reader.cpu - readerCpu0) / pings};
}

// The simulator's pings at "interval 0", as the event loop makes them.
Round simulatorRound(const Mode &m)
{
    reader.expect(m.pingEnd);
    const qint64 replies = reader.replies;
    ::write(master, m.start, std::strlen(m.start));
    const Round round = measure(
        [](Clock::time_point deadline) { pumpUntil([&] { return Clock::now() >= deadline; }); });
    // The reply to the start came before the first ping, the one to "x" after the last.
    pumpUntil([&] { return reader.replies > replies; });
    command("x");
    return round;
}

// The plain writer: one write() of the ping's bytes per ping, on a blocking descriptor.
Round writerRound(const Mode &m, const QByteArray &ping)
{
    reader.expect(m.pingEnd);
    const qint64 start = reader.bytes;
    qint64 written = 0;
    const Round round = measure([&](Clock::time_point deadline) {
        while (Clock::now() < deadline) {
            const ssize_t n = ::write(writer, ping.constData(), size_t(ping.size()));
            if (n > 0)
                written += n;
        }
    });
    while (reader.bytes < start + written)
        std::this_thread::yield();
    return round;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0.0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void AgainstWriter(benchmark::State &state)
{
    const Mode m = mode(state.range(0) == 1);
    const QByteArray ping = capturePing(m);
    const double loadBefore = loadAverage();
    std::vector<double> simulatorRates, writerRates, ratios, simulatorCpu, writerCpu,
        simulatorReaderCpu, writerReaderCpu;
    int round = 0;
    for (auto _ : state) {
        Round simulator;
        Round plain;
        if (round++ % 2 == 0) {
            simulator = simulatorRound(m);
            plain = writerRound(m, ping);
        } else {
            plain = writerRound(m, ping);
            simulator = simulatorRound(m);
        }
        simulatorRates.push_back(simulator.rate);
        writerRates.push_back(plain.rate);
        ratios.push_back(simulator.rate / plain.rate);
        simulatorCpu.push_back(simulator.cpu * 1e6);
        writerCpu.push_back(plain.cpu * 1e6);
        simulatorReaderCpu.push_back(simulator.readerCpu * 1e6);
        writerReaderCpu.push_back(plain.readerCpu * 1e6);
    }
    state.counters["ping_bytes"] = ping.size();
    state.counters["simulator_pings_s"] = median(simulatorRates);
    state.counters["writer_pings_s"] = median(writerRates);
    state.counters["ratio"] = median(ratios);
    state.counters["ratio_min"] = *std::min_element(ratios.begin(), ratios.end());
    state.counters["ratio_max"] = *std::max_element(ratios.begin(), ratios.end());
    state.counters["simulator_cpu_us"] = median(simulatorCpu);
    state.counters["writer_cpu_us"] = median(writerCpu);
    state.counters["reader_cpu_us_simulator"] = median(simulatorReaderCpu);
    state.counters["reader_cpu_us_writer"] = median(writerReaderCpu);
    state.counters["load_before"] = loadBefore;
    state.counters["load_after"] = loadAverage();
}

void BuildAndQueue(benchmark::State &state)
{
    const Mode m = mode(state.range(0) == 1);
    // A timer that never fires by itself: each ping is one timer event sent here, timed alone.
    QByteArray start(m.start);
    start.replace("interval 0", "interval 1000");
    reader.expect(m.pingEnd);
    command(start);
    const int id = dataTimerId();
    for (auto _ : state) {
        const qint64 pings = reader.pings;
        QTimerEvent tick(id);
        const double cpu0 = threadCpuSeconds();
        QCoreApplication::sendEvent(plugin, &tick);
        state.SetIterationTime(threadCpuSeconds() - cpu0);
        pumpUntil([&] { return reader.pings > pings; });
    }
    command("x");
    state.SetItemsProcessed(state.iterations());
}

} // namespace

// CPU time of the pinging thread, taken around the ping alone.
BENCHMARK(BuildAndQueue)
    ->ArgName("frames")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
// One iteration is one round of each side; rates by the clock on the wall.
BENCHMARK(AgainstWriter)
    ->ArgName("frames")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(9)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

int main(int argc, char **argv)
{
    App app(argc, argv);
    benchmark::Initialize(&argc, argv);

    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return 1;
    termios tio;
    tcgetattr(master, &tio);
    cfmakeraw(&tio);
    tcsetattr(master, TCSANOW, &tio);
    writer = ::open(ptsname(master), O_RDWR | O_NOCTTY);
    // The capture reads the master without waiting; the reader waits in poll().
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

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
    reader.start();
    command("output 7");

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    reader.stop();
    delete plugin;
    ::close(writer);
    ::close(master);
    return 0;
}
