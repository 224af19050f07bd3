// kelvane-host's line, measured end to end as users run it (the host binary with the simulator
// plug-in, a client reading the client end) and its conditioner in-process:
// - Pacing: frames that the simulator writes faster than the line carries, at 9600, 115200 and
//   921600 baud, on the pty end and on a TCP end: the gap between line arrivals against the line's
//   UART time (median, 99th percentile, maximum), the largest burst and the byte rate;
// - RelayVsSocat: at --baud 0, frames at "interval 0" through the host's pair, through socat
//   between two ptys (the simulator on one, this program on the other), and from a pty this
//   program holds (--device), in interleaved rounds: medians of per-round ratios;
// - RecordCost: the same through the pair with and without --record, interleaved: the relay's
//   rate ratio, the record's bytes per byte of stream and the host's CPU per MB;
// - RecordText: the record's text made from frames or NMEA in-process, against a copy of them;
// - IdleCpu: the host at its defaults (115200 baud, one NMEA ping a second) with and without a
//   client, CPU time over 10 s;
// - FaultRates: each kind over 10^5 lines, in standard deviations from RATE; SameSeed: two runs
//   of one seed over 10^5 lines give the same bytes;
// - FanOut: NMEA at "interval 0" and --baud 0 to 1, 8 and 32 TCP clients in interleaved rounds:
//   each client's bytes hashed against the record's, the rate to each client and the relay's CPU;
// - StalledClient: the byte rate of 7 TCP clients beside one that never reads, against 8 that all
//   read;
// - ReplayTiming: a recorded session replayed to a TCP client: its gaps between lines against
//   the recorded ones.

#include "lineconditioner.h"

#include "linerecord.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
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
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char *const FramesAtFullSpeed = "interval 0 #range 10000 #output 2 #go";

// A kelvane-host with the simulator, and the client's (or the device's) descriptor. direct: the
// host's device is a pty whose master this program holds; with --device in extra, the device
// given, and fd is left for the caller.
struct Host
{
    explicit Host(QStringList extra, bool direct = false)
    {
        const bool device = extra.contains(QStringLiteral("--device"));
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
        } else if (!device) {
            extra << QStringLiteral("--link-dir") << dir.filePath(QStringLiteral("links"));
        }
        QStringList arguments = {QStringLiteral("--settings"), ini.fileName(),
                                 QStringLiteral("--no-console")};
        if (!extra.contains(QStringLiteral("--replay")))
            arguments << QStringLiteral("--plugin") << QStringLiteral(KELVANE_PLUGIN);
        process.start(QStringLiteral(KELVANE_HOST), arguments + extra);
        process.setReadChannel(QProcess::StandardOutput);
        while (!out.contains(direct || device ? "Simulator device:" : "\nLine: ") &&
               process.waitForReadyRead(10000))
            out += process.readAll();
        tcpPort = quint16(QRegularExpression(QStringLiteral("\nTCP: 127.0.0.1:(\\d+),"))
                              .match(QString::fromLatin1(out))
                              .captured(1)
                              .toUInt());
        if (!direct && !device && !extra.contains(QStringLiteral("--no-pty"))) {
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
            hashes.emplace_back(new QCryptographicHash(QCryptographicHash::Sha1));
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
                hashes[i]->addData(buffer, int(n));
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
    std::vector<std::unique_ptr<QCryptographicHash>> hashes;
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

// Bytes per second over ms of a saturated stream, after a first 10 kB (which has 10 s to come).
double rateFor(Host &host, int ms)
{
    QDeadlineTimer deadline(10000);
    qint64 seen = 0;
    while (seen < 10000 && !deadline.hasExpired())
        seen += host.read();
    QElapsedTimer clock;
    clock.start();
    qint64 counted = 0;
    while (clock.elapsed() < ms)
        counted += host.read();
    return double(counted) / (clock.nsecsElapsed() / 1e9);
}

double median(std::vector<double> v)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(double(v.size()) * p))];
}

// The load average over the last minute: what else was running beside the benchmark.
double loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().split(' ').value(0).toDouble() : -1;
}

// Sets the counters of the machine's load at the start and at the end of a benchmark.
void stateLoad(benchmark::State &state, double atStart)
{
    state.counters["load_at_start"] = atStart;
    state.counters["load_at_end"] = loadAverage();
}

// For a run whose rounds alternate what they compare: round r runs the kinds from r on, so that
// each kind runs early and late in rounds as often as the others.
std::vector<int> rotated(int kinds, int round)
{
    std::vector<int> order;
    for (int k = 0; k < kinds; ++k)
        order.push_back((round + k) % kinds);
    return order;
}

// The arrival of every LF read from fd over ms, after a first second: times (ns) and the bytes
// of each line, and the most bytes one read got.
struct Arrivals
{
    std::vector<qint64> lfNs;
    std::vector<int> lineBytes;
    qint64 largestRead = 0;
    double seconds = 0;
};

Arrivals arrivals(int fd, int ms)
{
    Arrivals got;
    QElapsedTimer clock;
    clock.start();
    char buffer[1 << 16];
    int line = 0;
    bool counting = false;
    while (clock.elapsed() < 1000 + ms) {
        pollfd entry = {fd, POLLIN, 0};
        if (::poll(&entry, 1, 50) <= 0)
            continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        const qint64 now = clock.nsecsElapsed();
        if (n <= 0)
            continue;
        // Counted from the first LF after the first second: whole lines only.
        for (ssize_t k = 0; k < n; ++k) {
            ++line;
            if (buffer[k] != '\n')
                continue;
            if (counting) {
                got.lfNs.push_back(now);
                got.lineBytes.push_back(line);
            }
            counting = now >= 1000000000LL;
            line = 0;
        }
        if (counting && !got.lfNs.empty())
            got.largestRead = std::max<qint64>(got.largestRead, n);
    }
    if (got.lfNs.size() > 1)
        got.seconds = double(got.lfNs.back() - got.lfNs.front()) / 1e9;
    return got;
}

// Frames at "interval 0", which the line cannot carry all of, at state.range(0) baud to the pty
// end (state.range(1) 0) or a TCP client (1). A line's gap is the time between its LF's arrival
// and the one before's; its UART time is its bytes at 10 bits a byte. The relay hands out what
// has crossed every 4 ms, so many lines arrive in one read (gap 0) and one 4 ms later.
void Pacing(benchmark::State &state)
{
    const double load = loadAverage();
    const int baud = int(state.range(0));
    const bool tcp = state.range(1) == 1;
    Arrivals got;
    for (auto _ : state) {
        QStringList extra = {QStringLiteral("--baud"), QString::number(baud)};
        if (tcp)
            extra << QStringLiteral("--tcp") << QStringLiteral("0") << QStringLiteral("--no-pty");
        Host host(extra);
        if (tcp)
            host.fd = tcpClient(host.tcpPort);
        // The first ping (after 1 s) shows that the simulator has its end open; the reply then
        // waits behind a ping at 9600 baud: up to 8 s.
        QDeadlineTimer deadline(5000);
        while (host.read() == 0 && !deadline.hasExpired()) { }
        host.command(FramesAtFullSpeed);
        got = arrivals(host.fd, baud <= 9600 ? 4000 : 2000);
    }
    std::vector<double> late;
    for (size_t i = 1; i < got.lfNs.size(); ++i)
        late.push_back(double(got.lfNs[i] - got.lfNs[i - 1]) / 1e6 -
                       got.lineBytes[i] * 10000.0 / baud);
    state.SetLabel(tcp ? "TCP end" : "pty end");
    state.counters["lines"] = double(late.size());
    state.counters["gap_minus_uart_median_ms"] = median(late);
    state.counters["gap_minus_uart_p99_ms"] = percentile(late, 0.99);
    state.counters["gap_minus_uart_max_ms"] = percentile(late, 1.0);
    state.counters["largest_burst_bytes"] = double(got.largestRead);
    state.counters["largest_burst_uart_ms"] = got.largestRead * 10000.0 / baud;
    double carried = 0;
    for (size_t i = 1; i < got.lineBytes.size(); ++i)
        carried += got.lineBytes[i];
    state.counters["vs_baud_10"] = got.seconds > 0 ? carried / got.seconds / (baud / 10.0) : -1;
    stateLoad(state, load);
}

// The bench's end of socat's second pty, raw.
int openRaw(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio;
    if (fd >= 0 && ::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

// Frames at "interval 0" and --baud 0, 2 s each way: through the host's pair, through socat
// between two ptys (Debian's socat, as the plug-in's own hint makes the pair: the simulator on
// one, this program on the other) and from a pty whose master this program reads (the
// simulator's rate alone). Five rounds, each kind in turn first.
void RelayVsSocat(benchmark::State &state)
{
    const double load = loadAverage();
    std::vector<double> rates[3], relayVsSocat, relayVsDirect, socatVsDirect;
    for (auto _ : state) {
        for (int round = 0; round < 5; ++round) {
            double rate[3] = {};
            for (int kind : rotated(3, round)) {
                if (kind == 1) {
                    QTemporaryDir dir;
                    QProcess socat;
                    const QString a = dir.filePath(QStringLiteral("a"));
                    const QString b = dir.filePath(QStringLiteral("b"));
                    socat.start(QStringLiteral("socat"),
                                {QStringLiteral("pty,raw,echo=0,link=") + a,
                                 QStringLiteral("pty,raw,echo=0,link=") + b});
                    QDeadlineTimer deadline(10000);
                    while (!(QFile::exists(a) && QFile::exists(b)) && !deadline.hasExpired())
                        ::poll(nullptr, 0, 10);
                    Host host({QStringLiteral("--device"), a});
                    host.fd = openRaw(b);
                    host.command(FramesAtFullSpeed);
                    rate[1] = rateFor(host, 2000);
                    host.process.terminate();
                    host.process.waitForFinished(10000);
                    socat.terminate();
                    socat.waitForFinished(10000);
                } else {
                    Host host(kind == 0
                                  ? QStringList {QStringLiteral("--baud"), QStringLiteral("0")}
                                  : QStringList(),
                              kind == 2);
                    host.command(FramesAtFullSpeed);
                    rate[kind] = rateFor(host, 2000);
                }
                rates[kind].push_back(rate[kind]);
            }
            relayVsSocat.push_back(rate[0] / rate[1]);
            relayVsDirect.push_back(rate[0] / rate[2]);
            socatVsDirect.push_back(rate[1] / rate[2]);
        }
    }
    state.counters["relay_MB_per_s"] = median(rates[0]) / 1e6;
    state.counters["socat_MB_per_s"] = median(rates[1]) / 1e6;
    state.counters["direct_MB_per_s"] = median(rates[2]) / 1e6;
    state.counters["relay_vs_socat"] = median(relayVsSocat);
    state.counters["relay_vs_direct"] = median(relayVsDirect);
    state.counters["socat_vs_direct"] = median(socatVsDirect);
    stateLoad(state, load);
}

// Frames at "interval 0" and --baud 0 through the pair, 2 s, with and without --record in
// turn over five rounds: the relay's rate with the record against without, and the record's
// size against the bytes that crossed (the host's own count at its end).
void RecordCost(benchmark::State &state)
{
    const double load = loadAverage();
    std::vector<double> ratios, perByte, rates[2], cpuPerMb[2], recordThread;
    for (auto _ : state) {
        for (int round = 0; round < 5; ++round) {
            double rate[2] = {};
            for (int recording : rotated(2, round)) {
                QTemporaryDir dir;
                const QString record = dir.filePath(QStringLiteral("line.record"));
                const QString stats = dir.filePath(QStringLiteral("line.json"));
                QStringList extra = {QStringLiteral("--baud"), QStringLiteral("0"),
                                     QStringLiteral("--stats"), stats};
                if (recording)
                    extra << QStringLiteral("--record") << record;
                Host host(extra);
                host.command(FramesAtFullSpeed);
                const double cpuBefore = host.cpuSeconds();
                const double recordBefore = recording ? host.cpuSeconds("record") : 0;
                QElapsedTimer clock;
                clock.start();
                rate[recording] = rateFor(host, 2000);
                const double seconds = clock.nsecsElapsed() / 1e9;
                rates[recording].push_back(rate[recording]);
                cpuPerMb[recording].push_back((host.cpuSeconds() - cpuBefore) * 1e6 /
                                              (rate[recording] * seconds / 1e6));
                if (recording)
                    recordThread.push_back(100 * (host.cpuSeconds("record") - recordBefore) /
                                           seconds);
                host.process.terminate();
                host.process.waitForFinished(10000);
                QFile statsFile(stats);
                statsFile.open(QIODevice::ReadOnly);
                const double crossed = QJsonDocument::fromJson(statsFile.readAll())
                                           .object()
                                           .value(QStringLiteral("toClient"))
                                           .toObject()
                                           .value(QStringLiteral("bytesOut"))
                                           .toDouble();
                if (recording && crossed > 0)
                    perByte.push_back(double(QFileInfo(record).size()) / crossed);
            }
            ratios.push_back(rate[1] / rate[0]);
        }
    }
    state.counters["without_record_MB_per_s"] = median(rates[0]) / 1e6;
    state.counters["with_record_MB_per_s"] = median(rates[1]) / 1e6;
    state.counters["with_vs_without"] = median(ratios);
    state.counters["record_bytes_per_stream_byte"] = median(perByte);
    state.counters["host_cpu_us_per_MB_without"] = median(cpuPerMb[0]);
    state.counters["host_cpu_us_per_MB_with"] = median(cpuPerMb[1]);
    state.counters["record_thread_cpu_percent"] = median(recordThread);
    stateLoad(state, load);
}

// Frame pings' lines (a header line, then 1333 levels of one to four digits) or NMEA
// sentences, size bytes of them.
QByteArray traffic(bool frames, int size)
{
    QByteArray bytes;
    for (int ping = 0; bytes.size() < size; ++ping) {
        if (!frames) {
            bytes += "$SMDBT,16.4,f,5.00,M,2.73,F*3C\r\n$SMMTW,21.50,C*0E\r\n"
                     "$YXXDR,A,-1.6,D,PTCH,A,0.5,D,ROLL*5F\r\n";
            continue;
        }
        bytes += "#Ping " + QByteArray::number(ping) + "\r\n";
        for (int i = 0; i < 1333; ++i)
            bytes += QByteArray::number((i * 37 + ping) % 1024) + "\r\n";
    }
    bytes.truncate(size);
    return bytes;
}

// The record's text for 4 MiB of frames or NMEA, in entries of 64 KiB (a millisecond of the
// relay at --baud 0), against copying the same bytes, in turn on each pass.
void RecordText(benchmark::State &state)
{
    const QByteArray input = traffic(state.range(0) == 0, 4 << 20);
    const int entry = 64 * 1024;
    QByteArray text;
    text.reserve(6 * entry);
    QByteArray copy(entry, '\0');
    qint64 textNs = 0;
    qint64 copyNs = 0;
    QElapsedTimer clock;
    for (auto _ : state) {
        clock.start();
        for (int at = 0; at < input.size(); at += entry) {
            text.resize(0);
            LineRecord::append(&text, at, LineRecord::Device, input.constData() + at,
                               qMin(entry, input.size() - at));
            benchmark::DoNotOptimize(text.constData());
        }
        textNs += clock.nsecsElapsed();
        clock.start();
        for (int at = 0; at < input.size(); at += entry) {
            std::memcpy(copy.data(), input.constData() + at,
                        size_t(qMin(entry, input.size() - at)));
            benchmark::DoNotOptimize(copy.constData());
        }
        copyNs += clock.nsecsElapsed();
    }
    const double bytes = double(input.size()) * double(state.iterations());
    state.counters["text_MB_per_s"] = bytes / textNs * 1e3;
    state.counters["copy_MB_per_s"] = bytes / copyNs * 1e3;
    state.counters["text_vs_copy"] = double(copyNs) / double(textNs);
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

// The hash of the device bytes of a record.
QByteArray recordedHash(const QString &path, qint64 *bytes)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    LineRecord::Entry entry;
    entry.version = LineRecord::version(file.peek(64));
    *bytes = 0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (!LineRecord::isComment(line.constData(), line.size()) &&
            LineRecord::parse(line, &entry) && entry.source == LineRecord::Device) {
            hash.addData(entry.bytes);
            *bytes += entry.bytes.size();
        }
    }
    return hash.result();
}

// NMEA at "interval 0", --baud 0, to 1, 8 and 32 TCP clients, one host each, the counts in turn
// over three rounds. The clients connect before the first ping, so each must get exactly the
// device bytes of the host's --record: their hashes are compared. The rates are per client over
// 3 s; the relay's thread ("line") is the line's own share of the CPU (the simulator at
// "interval 0" burns what it can on the main thread).
void FanOut(benchmark::State &state)
{
    const double load = loadAverage();
    const int counts[3] = {1, 8, 32};
    std::vector<double> perClient[3], relayPercent[3], ratio8, ratio32;
    int mismatched = 0, runs = 0;
    for (auto _ : state) {
        for (int round = 0; round < 3; ++round) {
            double rate[3] = {};
            for (int kind : rotated(3, round)) {
                const int count = counts[kind];
                QTemporaryDir dir;
                const QString record = dir.filePath(QStringLiteral("line.record"));
                Host host({QStringLiteral("--baud"), QStringLiteral("0"), QStringLiteral("--tcp"),
                           QStringLiteral("0"), QStringLiteral("--tcp-max-clients"),
                           QString::number(count), QStringLiteral("--no-pty"),
                           QStringLiteral("--record"), record});
                Clients clients(host.tcpPort, count);
                QDeadlineTimer deadline(10000);
                while (clients.bytes[0] == 0 && !deadline.hasExpired())
                    clients.read(50);
                clients.send(0, "interval 0 #go");
                while (clients.bytes[0] < 1000000 && !deadline.hasExpired())
                    clients.read(50);
                const std::vector<qint64> before = clients.bytes;
                const double relayBefore = host.cpuSeconds("line");
                QElapsedTimer clock;
                clock.start();
                while (clock.elapsed() < 3000)
                    clients.read(50);
                const double seconds = clock.nsecsElapsed() / 1e9;
                const double relayCpu = host.cpuSeconds("line") - relayBefore;
                qint64 got = 0;
                for (size_t i = 0; i < clients.bytes.size(); ++i)
                    got += clients.bytes[i] - before[i];
                // One byte stops the pinging; the record is whole once the host has ended.
                clients.send(0, "x");
                readUntilQuiet(clients);
                host.process.terminate();
                host.process.waitForFinished(10000);
                qint64 recorded = 0;
                const QByteArray expected = recordedHash(record, &recorded);
                for (size_t i = 0; i < clients.hashes.size(); ++i) {
                    ++runs;
                    if (recorded == 0 || clients.bytes[i] != recorded ||
                        clients.hashes[i]->result() != expected)
                        ++mismatched;
                }
                rate[kind] = got / double(count) / seconds;
                perClient[kind].push_back(rate[kind]);
                relayPercent[kind].push_back(100.0 * relayCpu / seconds);
            }
            ratio8.push_back(rate[1] / rate[0]);
            ratio32.push_back(rate[2] / rate[0]);
        }
    }
    for (int kind = 0; kind < 3; ++kind) {
        const std::string n = std::to_string(counts[kind]);
        state.counters["MB_per_s_per_client_" + n] = median(perClient[kind]) / 1e6;
        state.counters["relay_cpu_percent_" + n] = median(relayPercent[kind]);
    }
    state.counters["per_client_8_vs_1"] = median(ratio8);
    state.counters["per_client_32_vs_1"] = median(ratio32);
    state.counters["clients_checked"] = runs;
    state.counters["clients_not_as_recorded"] = mismatched;
    stateLoad(state, load);
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
    ->ArgNames({"baud", "tcp"})
    ->ArgsProduct({{9600, 115200, 921600}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(RelayVsSocat)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(RecordCost)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(RecordText)->ArgName("nmea")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(IdleCpu)
    ->ArgName("client")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(FaultRates)->DenseRange(0, LineFaultCount - 1)->Unit(benchmark::kMillisecond);
BENCHMARK(SameSeed)->Unit(benchmark::kMillisecond);
BENCHMARK(FanOut)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
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
