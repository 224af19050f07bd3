// kelvane-host's control channel (--control), measured as a test program uses it: the built host
// with the simulator at its defaults (one NMEA ping a second, nobody on the client end) in a
// child process, this program a control client on the Unix-domain socket.
// - RoundTrip/refused: a request the channel refuses itself (an unknown command), to its answer:
//   the channel's own cost, with no command run;
// - RoundTrip/stats: {"cmd": "stats"} to its answer, the statistics (a snapshot of the relay's
//   thread, taken by a blocking queued call, and the JSON);
// - EventLatency: {"cmd": "fault", "event": "garbage", "bytes": 1} sent to the faultBegan event
//   received: the request runs on the main thread, the relay's thread applies it and emits the
//   event, which comes back by a queued signal and goes out to the subscriber.
// Each iteration's wall time is the figure; docs/control.md has the medians.

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A kelvane-host with the simulator and its control channel, and one control client on it.
struct Host
{
    Host()
    {
        const QString socket = dir.filePath(QStringLiteral("control"));
        process.start(QStringLiteral(KELVANE_HOST),
                      {QStringLiteral("--plugin"), QStringLiteral(KELVANE_PLUGIN),
                       QStringLiteral("--settings"), dir.filePath(QStringLiteral("host.ini")),
                       QStringLiteral("--link-dir"), dir.filePath(QStringLiteral("links")),
                       QStringLiteral("--no-console"), QStringLiteral("--control"), socket});
        process.waitForStarted(10000);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, QFile::encodeName(socket).constData(),
                     sizeof address.sun_path - 1);
        // The socket is there soon after the start; up to 10 s of 10 ms tries.
        for (int i = 0; i < 1000 && fd < 0; ++i) {
            fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
                ::close(fd);
                fd = -1;
                ::usleep(10000);
            }
        }
        ready = fd >= 0 && line().startsWith("{\"hello\"");
    }
    ~Host()
    {
        if (fd >= 0)
            ::close(fd);
        process.terminate();
        process.waitForFinished(10000);
    }

    void send(const QByteArray &request) const
    {
        const QByteArray bytes = request + '\n';
        if (::write(fd, bytes.constData(), size_t(bytes.size())) != bytes.size())
            ::abort();
    }
    /// The next line from the host; empty after 10 s without one.
    QByteArray line()
    {
        int end;
        while ((end = input.indexOf('\n')) < 0) {
            pollfd ready = {fd, POLLIN, 0};
            char chunk[65536];
            const ssize_t n = ::poll(&ready, 1, 10000) == 1 ? ::read(fd, chunk, sizeof chunk) : 0;
            if (n <= 0)
                return QByteArray();
            input.append(chunk, int(n));
        }
        const QByteArray next = input.left(end);
        input.remove(0, end + 1);
        return next;
    }
    /// Reads up to the first line holding text; false when the host went quiet.
    bool until(const QByteArray &text)
    {
        for (QByteArray next = line(); !next.isEmpty(); next = line()) {
            if (next.contains(text))
                return true;
        }
        return false;
    }

    QTemporaryDir dir;
    QProcess process;
    int fd = -1;
    QByteArray input;
    bool ready = false;
};

void RoundTrip(benchmark::State &state)
{
    Host host;
    if (!host.ready) {
        state.SkipWithError("the host did not start");
        return;
    }
    const QByteArray request =
        state.range(0) ? R"({"cmd": "stats", "id": 1})" : R"({"cmd": "nothing", "id": 1})";
    for (auto _ : state) {
        host.send(request);
        if (!host.until(R"("id":1)")) {
            state.SkipWithError("no answer");
            return;
        }
    }
}
BENCHMARK(RoundTrip)->ArgName("stats")->Arg(0)->Arg(1)->UseRealTime()->Unit(
    benchmark::kMicrosecond);

void EventLatency(benchmark::State &state)
{
    Host host;
    host.send(R"({"cmd": "subscribe", "id": 0})");
    if (!host.ready || !host.until(R"("id":0)")) {
        state.SkipWithError("the host did not start");
        return;
    }
    for (auto _ : state) {
        host.send(R"({"cmd": "fault", "event": "garbage", "bytes": 1})");
        if (!host.until(R"("event":"faultBegan")")) {
            state.SkipWithError("no event");
            return;
        }
        // The answer and the fault's end come too; they are read outside the time.
        state.PauseTiming();
        host.until(R"("event":"faultEnded")");
        state.ResumeTiming();
    }
}
BENCHMARK(EventLatency)->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
