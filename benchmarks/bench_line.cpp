// kelvane-host's line, measured end to end as users run it (the host binary with the simulator
// plug-in, a client reading the client end) and its conditioner in-process:
// - Pacing: the client's byte rate over 100 kB of frames that the simulator writes faster than
//   the line carries, against baud / 10;
// - RelayVsDirect: at --baud 0, frames at "interval 0" through the host's pair against the same
//   simulator writing into a pty whose master this program reads (--device);
// - IdleCpu: the host at its defaults (115200 baud, one NMEA ping a second) with and without a
//   client, CPU time over 10 s;
// - FaultRates: each kind over 10^5 lines, in standard deviations from RATE; SameSeed: two runs
//   of one seed over 10^5 lines give the same bytes;
// - TcpFanOut: NMEA at "interval 0" and --baud 0 to 1 or 32 TCP clients: every client gets every
//   byte; the host's CPU time per megabyte and client;
// - StalledClient: the byte rate of 7 TCP clients beside one that never reads, against 8 that all
//   read;
// - ReplayTiming: a recorded session replayed to a TCP client: its gaps between lines against
//   the recorded ones.

#include "lineconditioner.h"

#include "linerecord.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char *const FramesAtFullSpeed = "interval 0 #range 10000 #output 2 #go";

// A kelvane-host with the simulator, and the client's (or the device's) descriptor.
struct Host
{
    explicit Host(QStringList extra, bool direct = false)
    {
        QFile ini(dir.filePath(QStringLiteral("host.ini")));
        ini.open(QIODevice::WriteOnly);
        ini.write("[ECHOSOUNDER]\nMIN_DEPTH_M=2\nMAX_DEPTH_M=30\n");
        ini.close();
        if (direct) {
            fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
            ::grantpt(fd);
            ::unlockpt(fd);
            termios tio;
            ::tcgetattr(fd, &tio);
            ::cfmakeraw(&tio);
            ::tcsetattr(fd, TCSANOW, &tio);
            extra << QStringLiteral("--device") << QString::fromLocal8Bit(::ptsname(fd));
        } else {
            extra << QStringLiteral("--link-dir") << dir.filePath(QStringLiteral("links"));
        }
        QStringList arguments = {QStringLiteral("--settings"), ini.fileName(),
                                 QStringLiteral("--no-console")};
        if (!extra.contains(QStringLiteral("--replay")))
            arguments << QStringLiteral("--plugin") << QStringLiteral(KELVANE_PLUGIN);
        process.start(QStringLiteral(KELVANE_HOST), arguments + extra);
        process.setReadChannel(QProcess::StandardOutput);
        while (!out.contains(direct ? "Simulator device:" : "\nLine: ") &&
               process.waitForReadyRead(10000))
            out += process.readAll();
        tcpPort = quint16(QRegularExpression(QStringLiteral("\nTCP: 127.0.0.1:(\\d+),"))
                              .match(QString::fromLatin1(out))
                              .captured(1)
                              .toUInt());
        if (!direct && !extra.contains(QStringLiteral("--no-pty"))) {
            const QByteArray client =
                QFile::encodeName(dir.filePath(QStringLiteral("links/client")));
            fd = ::open(client.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        }
    }
    ~Host()
    {
        process.terminate();
        process.waitForFinished(10000);
        ::close(fd);
    }
    // Reads whatever is there, waiting up to ms for it.
    qint64 read(int ms = 50)
    {
        pollfd entry = {fd, POLLIN, 0};
        if (::poll(&entry, 1, ms) <= 0)
            return 0;
        char buffer[65536];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        return n > 0 ? n : 0;
    }
    void command(const char *text)
    {
        // The reply shows the simulator has it; what came before is skipped.
        [[maybe_unused]] const ssize_t n = ::write(fd, text, qstrlen(text));
        QByteArray seen;
        QDeadlineTimer deadline(10000);
        char buffer[65536];
        while (!seen.contains(">ok.") && !deadline.hasExpired()) {
            pollfd entry = {fd, POLLIN, 0};
            if (::poll(&entry, 1, 50) > 0) {
                const ssize_t got = ::read(fd, buffer, sizeof buffer);
                seen = seen.right(16) + QByteArray(buffer, int(qMax<ssize_t>(got, 0)));
            }
        }
    }
    // The whole process's CPU time, or that of its thread named thread ("line": the relay).
    double cpuSeconds(const QByteArray &thread = QByteArray()) const
    {
        QString path = QStringLiteral("/proc/%1/stat").arg(process.processId());
        const QDir tasks(QStringLiteral("/proc/%1/task").arg(process.processId()));
        for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
            if (!thread.isEmpty() && comm.open(QIODevice::ReadOnly) &&
                comm.readAll().trimmed() == thread)
                path = tasks.filePath(task + QStringLiteral("/stat"));
        }
        QFile stat(path);
        stat.open(QIODevice::ReadOnly);
        const QList<QByteArray> fields = stat.readAll().split(')').value(1).split(' ');
        return (fields.value(12).toDouble() + fields.value(13).toDouble()) /
            double(::sysconf(_SC_CLK_TCK));
    }
    double rssMb() const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(process.processId()));
        status.open(QIODevice::ReadOnly);
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
        }
        return -1;
    }

    QTemporaryDir dir;
    QProcess process;
    QByteArray out;
    quint16 tcpPort = 0;
    int fd = -1;
};

// A TCP client of the host on the loopback, non-blocking, with a large receive buffer so that a
// reader that serves many clients does not fall behind on a burst.
int tcpClient(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int buffer = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    return fd;
}

// What each of a set of TCP clients received: a count, the last bytes, and the time of each LF
// (ns on clock) when asked for.
struct Clients
{
    explicit Clients(quint16 port, int count, bool times = false) : withTimes(times)
    {
        clock.start();
        for (int i = 0; i < count; ++i) {
            fds.push_back(tcpClient(port));
            bytes.push_back(0);
            tail.push_back(QByteArray());
        }
        lineTimes.resize(size_t(count));
    }
    ~Clients()
    {
        for (int fd : fds)
            ::close(fd);
    }
    // Reads whatever has come, waiting up to ms; reader i only when reading[i].
    void read(int ms, const std::vector<bool> &reading = {})
    {
        std::vector<pollfd> entries;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (reading.empty() || reading[i])
                entries.push_back({fds[i], POLLIN, 0});
        }
        if (::poll(entries.data(), nfds_t(entries.size()), ms) <= 0)
            return;
        static char buffer[1 << 16];
        for (const pollfd &entry : entries) {
            if (!(entry.revents & POLLIN))
                continue;
            const size_t i = size_t(std::find(fds.begin(), fds.end(), entry.fd) - fds.begin());
            ssize_t n;
            while ((n = ::read(entry.fd, buffer, sizeof buffer)) > 0) {
                bytes[i] += n;
                const int last = int(qMin<ssize_t>(n, 16));
                tail[i] = (tail[i] + QByteArray(buffer + n - last, last)).right(16);
                if (withTimes) {
                    const qint64 now = clock.nsecsElapsed();
                    for (ssize_t k = 0; k < n; ++k) {
                        if (buffer[k] == '\n')
                            lineTimes[i].push_back(now);
                    }
                }
            }
        }
    }
    void send(size_t i, const char *text) const
    {
        [[maybe_unused]] const ssize_t n = ::write(fds[i], text, qstrlen(text));
    }

    bool withTimes;
    QElapsedTimer clock;
    std::vector<int> fds;
    std::vector<qint64> bytes;
    std::vector<QByteArray> tail;
    std::vector<std::vector<qint64>> lineTimes;
};

// Reads until nothing has come for quietMs.
void readUntilQuiet(Clients &clients, int quietMs = 500)
{
    qint64 total = -1;
    QElapsedTimer quiet;
    quiet.start();
    while (quiet.elapsed() < quietMs) {
        clients.read(20);
        qint64 now = 0;
        for (qint64 b : clients.bytes)
            now += b;
        if (now != total)
            quiet.restart();
        total = now;
    }
}

// Bytes per second over `bytes` bytes of a saturated stream, after a first 10 kB.
double rateOver(Host &host, qint64 bytes)
{
    qint64 seen = 0;
    while (seen < 10000)
        seen += host.read();
    QElapsedTimer clock;
    clock.start();
    qint64 counted = 0;
    while (counted < bytes)
        counted += host.read();
    return double(counted) / (clock.nsecsElapsed() / 1e9);
}

void Pacing(benchmark::State &state)
{
    const int baud = int(state.range(0));
    double rate = 0;
    double rss = 0;
    for (auto _ : state) {
        Host host({QStringLiteral("--baud"), QString::number(baud)});
        host.command(FramesAtFullSpeed);
        rate = rateOver(host, 100000);
        rss = host.rssMb();
    }
    state.counters["bytes_per_s"] = rate;
    state.counters["vs_baud_10"] = rate / (baud / 10.0);
    state.counters["host_rss_MB"] = rss;
}

void RelayVsDirect(benchmark::State &state)
{
    double ratio = 0, relayed = 0, direct = 0, rss = 0;
    for (auto _ : state) {
        for (bool isDirect : {false, true}) {
            Host host({isDirect ? QStringList()
                                : QStringList {QStringLiteral("--baud"), QStringLiteral("0")}},
                      isDirect);
            host.command(FramesAtFullSpeed);
            const double rate = rateOver(host, 40000000);
            (isDirect ? direct : relayed) = rate;
            if (!isDirect)
                rss = host.rssMb();
        }
        ratio = relayed / direct;
    }
    state.counters["relay_MB_per_s"] = relayed / 1e6;
    state.counters["direct_MB_per_s"] = direct / 1e6;
    state.counters["relay_vs_direct"] = ratio;
    state.counters["host_rss_MB"] = rss;
}

void IdleCpu(benchmark::State &state)
{
    const bool client = state.range(0) == 1;
    double percent = 0;
    for (auto _ : state) {
        Host host({});
        if (!client) {
            ::close(host.fd);
            host.fd = -1;
        }
        const double before = host.cpuSeconds();
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 10000) {
            if (client)
                host.read(200);
            else
                ::poll(nullptr, 0, 200);
        }
        percent = 100.0 * (host.cpuSeconds() - before) / (clock.nsecsElapsed() / 1e9);
    }
    state.counters["cpu_percent"] = percent;
}

QByteArray sentences(int count)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes += "$SMDBT," + QByteArray::number(i * 0.1, 'f', 3) + ",f,2.400,M,,*6D\r\n";
    return bytes;
}

void FaultRates(benchmark::State &state)
{
    const LineFault kind = LineFault(state.range(0));
    const double rate = kind == LineFault::Flip ? 0.0005 : 0.01;
    const QByteArray input = sentences(100000);
    double z = 0;
    for (auto _ : state) {
        LineConditioner line(LineConditioner::Lines, 1);
        LineFaultRates rates;
        rates.rate[size_t(kind)] = rate;
        line.setRates(rates);
        line.write(0, input);
        benchmark::DoNotOptimize(line.take(LineConditioner::PartialLineUs));
        const double trials = kind == LineFault::Flip ? input.size() : 100000.0;
        z = (line.counts().faults[size_t(kind)] - trials * rate) /
            std::sqrt(trials * rate * (1 - rate));
    }
    state.SetLabel(lineFaultName(kind).toStdString());
    state.counters["sigmas_from_rate"] = z;
}

void SameSeed(benchmark::State &state)
{
    const QByteArray input = sentences(100000);
    bool same = true;
    for (auto _ : state) {
        QByteArray out[2];
        for (QByteArray &o : out) {
            LineConditioner line(LineConditioner::Lines, 2024);
            LineFaultRates rates;
            QString error;
            rates.parse(QStringLiteral("checksum=0.01,drop=0.01,truncate=0.01,duplicate=0.01,"
                                       "garbage=0.01,flip=0.0001"),
                        &error);
            line.setRates(rates);
            line.write(0, input);
            o = line.take(LineConditioner::PartialLineUs);
        }
        same = same && out[0] == out[1];
    }
    state.counters["identical"] = same ? 1 : 0;
}

// The host's CPU time covers the simulator too, which at "interval 0" burns what it can; the
// relay's thread ("line") is the line's own share: the conditioner and every client's writes.
void TcpFanOut(benchmark::State &state)
{
    const int count = int(state.range(0));
    double perClientMBs = 0, hostPercent = 0, relayPercent = 0, relayUsPerMBClient = 0;
    bool everyByte = true;
    int dropped = 0;
    for (auto _ : state) {
        QTemporaryDir dir;
        QFile statsFile(dir.filePath(QStringLiteral("line.json")));
        Host host({QStringLiteral("--baud"), QStringLiteral("0"), QStringLiteral("--tcp"),
                   QStringLiteral("0"), QStringLiteral("--tcp-max-clients"), QString::number(count),
                   QStringLiteral("--no-pty"), QStringLiteral("--stats"), statsFile.fileName()});
        Clients clients(host.tcpPort, count);
        // The first ping (after 1 s) shows the simulator is there; then NMEA at full speed.
        while (clients.bytes[0] == 0)
            clients.read(50);
        clients.send(0, "interval 0 #go");
        while (clients.bytes[0] < 1000000)
            clients.read(50);
        const std::vector<qint64> before = clients.bytes;
        const double hostBefore = host.cpuSeconds();
        const double relayBefore = host.cpuSeconds("line");
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 5000)
            clients.read(50);
        const double seconds = clock.nsecsElapsed() / 1e9;
        const double hostCpu = host.cpuSeconds() - hostBefore;
        const double relayCpu = host.cpuSeconds("line") - relayBefore;
        qint64 got = 0;
        for (size_t i = 0; i < clients.bytes.size(); ++i)
            got += clients.bytes[i] - before[i];
        // One byte stops the pinging. The same count at every client, none dropped, as the
        // host's own count of what crossed: TCP loses nothing, so every client got every byte.
        clients.send(0, "x");
        readUntilQuiet(clients);
        host.process.terminate();
        host.process.waitForFinished(10000);
        statsFile.open(QIODevice::ReadOnly);
        const QJsonObject stats = QJsonDocument::fromJson(statsFile.readAll()).object();
        const qint64 crossed = qint64(stats.value(QStringLiteral("toClient"))
                                          .toObject()
                                          .value(QStringLiteral("bytesOut"))
                                          .toDouble());
        everyByte = crossed > 0;
        for (size_t i = 0; i < clients.bytes.size(); ++i)
            everyByte = everyByte && clients.bytes[i] == crossed;
        dropped = host.process.readAllStandardError().count(" dropped: it left ");
        perClientMBs = got / double(count) / seconds / 1e6;
        hostPercent = 100.0 * hostCpu / seconds;
        relayPercent = 100.0 * relayCpu / seconds;
        relayUsPerMBClient = relayCpu * 1e6 / (got / 1e6);
    }
    state.counters["MB_per_s_per_client"] = perClientMBs;
    state.counters["host_cpu_percent"] = hostPercent;
    state.counters["relay_cpu_percent"] = relayPercent;
    state.counters["relay_cpu_us_per_MB_client"] = relayUsPerMBClient;
    state.counters["every_client_every_byte"] = everyByte ? 1 : 0;
    state.counters["clients_dropped"] = dropped;
}

// 8 clients, the last of which reads (rounds 0, 2, ...) or never reads (1, 3, ...): the byte rate
// of the other 7 over 4 s, as a median of each kind.
void StalledClient(benchmark::State &state)
{
    const int baud = int(state.range(0));
    std::vector<double> rates[2];
    double dropped = 0;
    for (auto _ : state) {
        for (int round = 0; round < 10; ++round) {
            const bool stall = round % 2 == 1;
            Host host({QStringLiteral("--baud"), QString::number(baud), QStringLiteral("--tcp"),
                       QStringLiteral("0"), QStringLiteral("--no-pty")});
            Clients clients(host.tcpPort, 8);
            std::vector<bool> reading(8, true);
            reading[7] = !stall;
            while (clients.bytes[0] == 0)
                clients.read(50, reading);
            clients.send(0, FramesAtFullSpeed);
            while (clients.bytes[0] < 200000)
                clients.read(50, reading);
            const qint64 before = clients.bytes[0];
            QElapsedTimer clock;
            clock.start();
            while (clock.elapsed() < 4000)
                clients.read(50, reading);
            rates[stall].push_back((clients.bytes[0] - before) / (clock.nsecsElapsed() / 1e9));
            if (stall) {
                clients.read(50, reading);
                host.process.terminate();
                host.process.waitForFinished(10000);
                dropped +=
                    host.process.readAllStandardError().contains(" dropped: it left ") ? 1 : 0;
            }
        }
    }
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    state.counters["others_B_per_s_all_reading"] = median(rates[0]);
    state.counters["others_B_per_s_one_stalled"] = median(rates[1]);
    state.counters["stalled_vs_all"] = median(rates[1]) / median(rates[0]);
    state.counters["stalled_dropped_rounds"] = dropped;
}

void ReplayTiming(benchmark::State &state)
{
    double medianMs = 0, p99Ms = 0, lines = 0;
    for (auto _ : state) {
        QTemporaryDir dir;
        const QString record = dir.filePath(QStringLiteral("session.record"));
        {
            // 20 NMEA pings a second for 8 s, at 115200 baud, recorded.
            Host host({QStringLiteral("--record"), record});
            host.command("interval 0.05 #go");
            QElapsedTimer clock;
            clock.start();
            while (clock.elapsed() < 8000)
                host.read(50);
        }
        // The line times of the record: the time of the record holding each LF.
        std::vector<qint64> original;
        QFile file(record);
        file.open(QIODevice::ReadOnly);
        LineRecord::Entry entry;
        entry.version = LineRecord::version(file.peek(64));
        while (!file.atEnd()) {
            if (LineRecord::parse(file.readLine(), &entry) && entry.source == LineRecord::Device &&
                entry.bytes.endsWith('\n'))
                original.push_back(entry.us * 1000);
        }
        Host host({QStringLiteral("--replay"), record, QStringLiteral("--tcp"), QStringLiteral("0"),
                   QStringLiteral("--no-pty")});
        Clients clients(host.tcpPort, 1, true);
        QDeadlineTimer deadline(60000);
        while (!host.process.waitForFinished(0) && !deadline.hasExpired())
            clients.read(20);
        clients.read(20);
        const std::vector<qint64> &replayed = clients.lineTimes[0];
        std::vector<double> errors;
        for (size_t i = 1; i < std::min(original.size(), replayed.size()); ++i)
            errors.push_back(std::abs(double(replayed[i] - replayed[i - 1]) -
                                      double(original[i] - original[i - 1])) /
                             1e6);
        std::sort(errors.begin(), errors.end());
        lines = double(replayed.size());
        medianMs = errors.empty() ? -1 : errors[errors.size() / 2];
        p99Ms = errors.empty() ? -1 : errors[errors.size() * 99 / 100];
        state.counters["recorded_lines"] = double(original.size());
    }
    state.counters["replayed_lines"] = lines;
    state.counters["gap_error_median_ms"] = medianMs;
    state.counters["gap_error_p99_ms"] = p99Ms;
}

} // namespace

BENCHMARK(Pacing)
    ->ArgName("baud")
    ->Arg(115200)
    ->Arg(9600)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(RelayVsDirect)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(IdleCpu)
    ->ArgName("client")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(FaultRates)->DenseRange(0, LineFaultCount - 1)->Unit(benchmark::kMillisecond);
BENCHMARK(SameSeed)->Unit(benchmark::kMillisecond);
BENCHMARK(TcpFanOut)
    ->ArgName("clients")
    ->Arg(1)
    ->Arg(32)
    ->Iterations(1)
    ->Repetitions(3)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(StalledClient)
    ->ArgName("baud")
    ->Arg(1000000)
    ->Arg(0)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(ReplayTiming)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
