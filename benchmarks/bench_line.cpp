// kelvane-host's line, measured end to end as users run it (the host binary with the simulator
// plug-in, a client reading the client end) and its conditioner in-process:
// - Pacing: the client's byte rate over 100 kB of frames that the simulator writes faster than
//   the line carries, against baud / 10;
// - RelayVsDirect: at --baud 0, frames at "interval 0" through the host's pair against the same
//   simulator writing into a pty whose master this program reads (--device);
// - IdleCpu: the host at its defaults (115200 baud, one NMEA ping a second) with and without a
//   client, CPU time over 10 s;
// - FaultRates: each kind over 10^5 lines, in standard deviations from RATE; SameSeed: two runs
//   of one seed over 10^5 lines give the same bytes.

#include "lineconditioner.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cmath>
#include <fcntl.h>
#include <poll.h>
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
        process.start(QStringLiteral(KELVANE_HOST),
                      QStringList {QStringLiteral("--settings"), ini.fileName(),
                                   QStringLiteral("--plugin"), QStringLiteral(KELVANE_PLUGIN),
                                   QStringLiteral("--no-console")} +
                          extra);
        process.setReadChannel(QProcess::StandardOutput);
        QByteArray out;
        while (!out.contains("Simulator device:") && process.waitForReadyRead(10000))
            out += process.readAll();
        if (!direct) {
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
    double cpuSeconds() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(process.processId()));
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
    int fd = -1;
};

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

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
