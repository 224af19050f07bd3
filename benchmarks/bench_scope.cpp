// kelvane-scope --from on large captures, side by side with two references: a minimal Python
// decoder (scope_baseline.py: standard library only, the same job done plainly, which is the
// fair baseline) and cat FILE >/dev/null (reading the file and nothing else: the I/O ceiling).
// Each round runs the three once on the same capture, in an order that turns from round to round,
// and the ratios are taken within a round, so that what else runs on the machine weighs on both
// sides of each ratio alike. Output goes to /dev/null.
//
// The captures are made once per run by the built kelvane-host with the simulator at --baud 0,
// into a temporary folder: about 100 MB each of single-frequency frames (1333 samples a ping),
// dual-frequency frames (1333 and 2667) and NMEA sentences, all at "interval 0", and a
// kelvane-host --record file of single-frequency frames of about 100 MB (the record, not the
// stream, counts; no Python reads records). Memory: the scope's peak resident set on 100 MB and
// on 400 MB of single-frequency frames, writing CSV and PNG, which must be about equal.
//
// Counters: MB/s medians over the rounds (wall clock; _cpu: by the process's own CPU time, which
// a busy machine does not inflate), medians of the per-round ratios (x_python: how many times
// faster than Python; of_cat: the scope's rate as a share of cat's), the scope's peak resident
// set in MB, the pings each decoder counted, and the 1-minute load average before and after.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

constexpr qint64 MB = 1000 * 1000;
const int Rounds = qEnvironmentVariableIsSet("KELVANE_BENCH_ROUNDS")
    ? qEnvironmentVariableIntValue("KELVANE_BENCH_ROUNDS")
    : 7;

QTemporaryDir &folder()
{
    static QTemporaryDir dir;
    return dir;
}

double loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    file.open(QIODevice::ReadOnly);
    return file.readAll().split(' ').value(0).toDouble();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0.0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Run
{
    double seconds = 0.0; ///< wall clock
    double cpuSeconds = 0.0; ///< user and system time of the process
    QByteArray lastLine; ///< of its standard output, when kept
};

// Runs a program to its end with standard error to /dev/null and standard output to out
// (/dev/null unless given), measuring it with wait4().
Run run(const QStringList &arguments, const QString &out = QStringLiteral("/dev/null"))
{
    std::vector<QByteArray> words;
    for (const QString &a : arguments)
        words.push_back(QFile::encodeName(a));
    std::vector<char *> argv;
    for (QByteArray &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    const QByteArray outName = QFile::encodeName(out);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outName.constData(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    Run r;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return r;
    }
    int status = 0;
    rusage usage = {};
    ::wait4(pid, &status, 0, &usage);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    posix_spawn_file_actions_destroy(&actions);
    r.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (out != QLatin1String("/dev/null")) {
        QFile file(out);
        file.open(QIODevice::ReadOnly);
        file.seek(qMax<qint64>(0, file.size() - 4096));
        r.lastLine = file.readAll().trimmed().split('\n').last();
    }
    return r;
}

// The peak resident set of a program's run, in MB. Taken by /usr/bin/time: a child of this
// program would start its count from this program's own memory (the kernel carries the parent's
// high-water mark into a child it forks), time's is a few hundred kB.
double peakRssMb(const QStringList &arguments)
{
    const QString file = folder().filePath(QStringLiteral("rss.txt"));
    run(QStringList {QStringLiteral("/usr/bin/time"), QStringLiteral("-f"), QStringLiteral("%M"),
                     QStringLiteral("-o"), file} +
        arguments);
    QFile rss(file);
    rss.open(QIODevice::ReadOnly);
    return rss.readAll().trimmed().split('\n').last().toDouble() / 1024.0;
}

// Makes path: kelvane-host with the simulator in frequencyMode at --baud 0, command sent on its
// client end, and what comes back written to path until it holds size bytes; with record, the
// host records the line into path instead, until the record holds size bytes.
bool makeCapture(const QString &path, const char *frequencyMode, const char *command, qint64 size,
                 bool record = false)
{
    const QString base = path + QStringLiteral(".host");
    QFile ini(base + QStringLiteral(".ini"));
    if (!ini.open(QIODevice::WriteOnly))
        return false;
    ini.write(QByteArray("[ECHOSOUNDER]\nMIN_DEPTH_M=2\nMAX_DEPTH_M=30\n[KELVANE_SIMULATOR]\n"
                         "FREQUENCY_MODE=") +
              frequencyMode + "\n");
    ini.close();
    QStringList arguments = {QStringLiteral("--settings"),  ini.fileName(),
                             QStringLiteral("--plugin"),    QStringLiteral(KELVANE_PLUGIN),
                             QStringLiteral("--link-dir"),  base + QStringLiteral(".links"),
                             QStringLiteral("--baud"),      QStringLiteral("0"),
                             QStringLiteral("--no-console")};
    if (record)
        arguments << QStringLiteral("--record") << path;
    // Its output goes to a file: a pipe nobody reads while the capture is made would fill up
    // and stop the host (it warns on standard error when the simulator runs ahead of the line).
    QProcess host;
    QFile log(base + QStringLiteral(".log"));
    host.setProcessChannelMode(QProcess::MergedChannels);
    host.setStandardOutputFile(log.fileName());
    host.start(QStringLiteral(KELVANE_HOST), arguments);
    QByteArray said;
    for (QDeadlineTimer start(10000); !said.contains("\nLine: ") && !start.hasExpired();
         QThread::msleep(20)) {
        if (log.open(QIODevice::ReadOnly)) {
            said = log.readAll();
            log.close();
        }
    }
    const QByteArray client = QFile::encodeName(base + QStringLiteral(".links/client"));
    const int fd = ::open(client.constData(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return false;
    termios tio;
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    [[maybe_unused]] const ssize_t sent = ::write(fd, command, qstrlen(command));
    QFile capture(path);
    if (!record && !capture.open(QIODevice::WriteOnly))
        return false;
    std::vector<char> buffer(1 << 16);
    qint64 got = 0;
    QDeadlineTimer deadline(600000);
    while (!deadline.hasExpired()) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n <= 0)
            break;
        got += n;
        if (!record)
            capture.write(buffer.data(), n);
        if ((record ? QFileInfo(path).size() : got) >= size)
            break;
    }
    ::close(fd);
    capture.close();
    host.terminate();
    host.waitForFinished(30000);
    if (QFileInfo(path).size() < size) {
        fprintf(stderr, "bench_scope: %s: %lld of %lld bytes; the host said:\n%s\n",
                qPrintable(path), QFileInfo(path).size(), size, said.constData());
        return false;
    }
    return true;
}

struct Kind
{
    const char *frequencyMode;
    const char *command;
    qint64 size;
    bool record;
};

const std::map<std::string, Kind> kinds = {
    {"single", {"SINGLE", "interval 0 #range 10000 #output 2 #go", 100 * MB, false}},
    {"dual", {"DUAL", "interval 0 #rangeh 10000 #rangel 20000 #output 2 #go", 100 * MB, false}},
    {"nmea", {"SINGLE", "interval 0 #go", 100 * MB, false}},
    {"record", {"SINGLE", "interval 0 #range 10000 #output 2 #go", 100 * MB, true}},
    {"single400", {"SINGLE", "interval 0 #range 10000 #output 2 #go", 400 * MB, false}},
};

// The capture of a kind, made on first use.
QString capture(const std::string &name)
{
    static std::map<std::string, QString> made;
    auto it = made.find(name);
    if (it != made.end())
        return it->second;
    const Kind &k = kinds.at(name);
    const QString path = folder().filePath(QString::fromStdString(name));
    if (!makeCapture(path, k.frequencyMode, k.command, k.size, k.record))
        return QString();
    made[name] = path;
    return path;
}

QStringList scope(const QString &file)
{
    return {QStringLiteral(KELVANE_SCOPE), QStringLiteral("--from"), file};
}

// The three side by side on one capture; Python only where it reads the capture.
void ScopeFrom(benchmark::State &state, const std::string &name)
{
    const QString file = capture(name);
    if (file.isEmpty()) {
        state.SkipWithError("the capture could not be made (is kelvane-host built?)");
        return;
    }
    const double mb = QFileInfo(file).size() / double(MB);
    const bool python = !kinds.at(name).record;
    using Program = std::function<Run()>;
    std::vector<std::pair<std::string, Program>> programs = {
        {"scope", [&] { return run(scope(file)); }},
        {"cat",
         [&] {
             return run({QStringLiteral("cat"), file});
         }},
    };
    if (python) {
        programs.push_back({"python", [&] {
                                return run({QStringLiteral("python3"),
                                            QStringLiteral(KELVANE_SCOPE_BASELINE), file});
                            }});
    }
    const double loadBefore = loadAverage();
    std::map<std::string, std::vector<Run>> runs;
    for (auto _ : state) {
        for (int round = 0; round < Rounds; ++round) {
            for (size_t i = 0; i < programs.size(); ++i) {
                const auto &p = programs[(i + size_t(round)) % programs.size()];
                runs[p.first].push_back(p.second());
            }
        }
    }
    auto rates = [&](const std::string &program, bool cpu) {
        std::vector<double> r;
        for (const Run &run : runs[program])
            r.push_back(mb / (cpu ? run.cpuSeconds : run.seconds));
        return r;
    };
    auto ratios = [&](const std::string &over, bool cpu) {
        std::vector<double> r;
        for (int i = 0; i < Rounds; ++i) {
            const Run &a = runs["scope"][size_t(i)];
            const Run &b = runs[over][size_t(i)];
            r.push_back(cpu ? b.cpuSeconds / a.cpuSeconds : b.seconds / a.seconds);
        }
        return r;
    };
    state.counters["MB"] = mb;
    state.counters["scope_MBps"] = median(rates("scope", false));
    state.counters["scope_cpu_MBps"] = median(rates("scope", true));
    state.counters["cat_MBps"] = median(rates("cat", false));
    state.counters["of_cat"] = median(ratios("cat", false));
    state.counters["scope_RSS_MB"] = peakRssMb(scope(file));
    if (python) {
        state.counters["python_MBps"] = median(rates("python", false));
        state.counters["x_python"] = median(ratios("python", false));
        state.counters["x_python_cpu"] = median(ratios("python", true));
        // Both count the same pings (the scope also shows a last ping cut short).
        const QString out = folder().filePath(QStringLiteral("out.txt"));
        state.counters["pings_scope"] =
            run(scope(file), out).lastLine.split(' ').value(0).toDouble();
        state.counters["pings_python"] =
            run({QStringLiteral("python3"), QStringLiteral(KELVANE_SCOPE_BASELINE), file}, out)
                .lastLine.split(' ')
                .value(0)
                .toDouble();
    }
    state.counters["load_before"] = loadBefore;
    state.counters["load_after"] = loadAverage();
}

// Peak RSS on 100 MB and 400 MB of frames, writing CSV and PNG: flat in the capture's length.
void ScopeMemory(benchmark::State &state)
{
    const QString small = capture("single");
    const QString large = capture("single400");
    if (small.isEmpty() || large.isEmpty()) {
        state.SkipWithError("the captures could not be made (is kelvane-host built?)");
        return;
    }
    auto withOutputs = [](const QString &file) {
        return scope(file) +
            QStringList {QStringLiteral("--csv"), folder().filePath(QStringLiteral("run.csv")),
                         QStringLiteral("--png"), folder().filePath(QStringLiteral("run.png"))};
    };
    const double loadBefore = loadAverage();
    std::vector<double> smallRss, largeRss, largeRate;
    for (auto _ : state) {
        for (int round = 0; round < 3; ++round) {
            smallRss.push_back(peakRssMb(withOutputs(small)));
            largeRss.push_back(peakRssMb(withOutputs(large)));
            largeRate.push_back(QFileInfo(large).size() / double(MB) /
                                run(withOutputs(large)).seconds);
        }
    }
    state.counters["RSS_100MB"] = median(smallRss);
    state.counters["RSS_400MB"] = median(largeRss);
    state.counters["ratio"] = median(largeRss) / median(smallRss);
    state.counters["MBps_400MB_csv_png"] = median(largeRate);
    state.counters["load_before"] = loadBefore;
    state.counters["load_after"] = loadAverage();
}

} // namespace

BENCHMARK_CAPTURE(ScopeFrom, single, std::string("single"))
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(ScopeFrom, dual, std::string("dual"))
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(ScopeFrom, nmea, std::string("nmea"))
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(ScopeFrom, record, std::string("record"))
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(ScopeMemory)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
