// kelvane-host driven as a user does: the built binary in a QProcess, its console on standard
// input, the serial line on a pty the test holds or on the pair the host makes and conditions.

#include "buildprogram.h"
#include "datarows.h"
#include "linerecord.h"
#include "nmea.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Deadlines only bound a failing wait; an emulated ARM host starts slowly.
const int Deadline = 15000;

// The host as a child process; its output is collected as it comes.
struct Host
{
    explicit Host(const QStringList &arguments,
                  const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
    {
        process.setProcessEnvironment(environment);
        QObject::connect(&process, &QProcess::readyReadStandardOutput,
                         [this] { out += process.readAllStandardOutput(); });
        QObject::connect(&process, &QProcess::readyReadStandardError,
                         [this] { err += process.readAllStandardError(); });
        startBuildProgram(process, QStringLiteral(KELVANE_HOST_BINARY), arguments);
    }
    ~Host()
    {
        process.kill();
        process.waitForFinished(Deadline);
    }

    // Waits until text is in bytes (out or err) count times, or the host has ended.
    bool wait(const QByteArray &bytes, const QByteArray &text, int count = 1)
    {
        return QTest::qWaitFor([&] { return bytes.count(text) >= count || !running(); },
                               Deadline) &&
            bytes.count(text) >= count;
    }
    // Ended by itself with the given exit code.
    bool exited(int code = 0)
    {
        return QTest::qWaitFor([&] { return !running(); }, Deadline) &&
            process.exitStatus() == QProcess::NormalExit && process.exitCode() == code;
    }
    bool running() const { return process.state() != QProcess::NotRunning; }
    void send(const QByteArray &line) { process.write(line + '\n'); }
    void signal(int number) { ::kill(pid_t(process.processId()), number); }

    QProcess process;
    QByteArray out;
    QByteArray err;
};

// A value of the settings file as the host left it on disk.
QString iniValue(const QString &path, const char *key)
{
    return QSettings(path, QSettings::IniFormat).value(QLatin1String(key)).toString();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Reads from fd until text has arrived or the deadline passes; the event loop keeps running so
// that the host's output is still collected.
QByteArray readUntil(int fd, const QByteArray &text)
{
    QByteArray bytes;
    QDeadlineTimer deadline(Deadline);
    while (!bytes.contains(text) && !deadline.hasExpired()) {
        pollfd entry = {fd, POLLIN, 0};
        char buffer[1024];
        if (::poll(&entry, 1, 20) > 0 && (entry.revents & POLLIN)) {
            const ssize_t count = ::read(fd, buffer, sizeof buffer);
            bytes.append(buffer, int(qMax<ssize_t>(count, 0)));
        }
        QCoreApplication::processEvents();
    }
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A loopback socket of the test's, bound (to a free port) or not.
int socket(int type, bool bound)
{
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bound)
        ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    return fd;
}

// A TCP client of the host's port on the loopback.
int tcpClient(quint16 port)
{
    const int fd = socket(SOCK_STREAM, false);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 ? fd : -1;
}

// The port of the host's TCP server, from its banner.
quint16 tcpPort(const QByteArray &out)
{
    return quint16(QRegularExpression(QStringLiteral("\nTCP: 127.0.0.1:(\\d+),"))
                       .match(QString::fromLatin1(out))
                       .captured(1)
                       .toUInt());
}

// One end of the test's (a socket, a pty) and what it received: all of it, each read (a
// datagram, for UDP) and when it came (ms on a clock of the test's).
struct Peer
{
    explicit Peer(int fd) : fd(fd) { ::fcntl(fd, F_SETFL, O_NONBLOCK); }
    ~Peer() { close(); }
    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    quint16 port() const
    {
        sockaddr_in address = {};
        socklen_t size = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
        return ntohs(address.sin_port);
    }
    void take()
    {
        char buffer[65536];
        ssize_t n = 0;
        while (fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0) {
            got.append(buffer, int(n));
            reads << QByteArray(buffer, int(n));
            times << clock.elapsed();
        }
        ended = ended || n == 0;
    }

    int fd;
    QByteArray got;
    QList<QByteArray> reads;
    QList<qint64> times;
    bool ended = false;
    static QElapsedTimer clock;
};
QElapsedTimer Peer::clock;

// Reads every peer as bytes come until done() holds or the deadline passes.
bool until(const std::function<bool()> &done, const QList<Peer *> &peers)
{
    QDeadlineTimer deadline(Deadline);
    while (!deadline.hasExpired()) {
        QVector<pollfd> entries;
        for (Peer *peer : peers)
            entries.append({peer->fd, POLLIN, 0});
        ::poll(entries.data(), nfds_t(entries.size()), 10);
        for (Peer *peer : peers)
            peer->take();
        QCoreApplication::processEvents();
        if (done())
            return true;
    }
    return false;
}

// The statistics file as the host wrote it.
QJsonObject stats(const QString &path)
{
    return QJsonDocument::fromJson(readFile(path)).object();
}

qint64 count(const QJsonObject &stats, const char *direction, const char *name)
{
    return qint64(
        stats.value(QLatin1String(direction)).toObject().value(QLatin1String(name)).toDouble(-1));
}

} // namespace

class TstKelvaneHost : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void session_data();
    void session();
    void consoleCommands();
    void refusals_data();
    void refusals();
    void startupWarnings_data();
    void startupWarnings();
    void line();
    void faultsSeenByScope();
    void hangup();
    void talkerForGpsd_data();
    void talkerForGpsd();
    void network();
    void stalledClient();
    void replayEnds_data();
    void replayEnds();
    void replayLoops();
    void signalK();

private:
    QStringList arguments(const char *plugin) const
    {
        return {QStringLiteral("--plugin"),   QLatin1String(plugin),
                QStringLiteral("--settings"), settingsPath(),
                QStringLiteral("--link-dir"), linkDir()};
    }
    QString settingsPath() const { return dir->filePath(QStringLiteral("host.ini")); }
    QString linkDir() const { return links; }
    QString link(const char *name) const { return linkDir() + QLatin1Char('/') + name; }

    std::unique_ptr<QTemporaryDir> dir;
    QString links;
};

void TstKelvaneHost::initTestCase()
{
    Peer::clock.start();
}

void TstKelvaneHost::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    links = dir->filePath(QStringLiteral("links"));
}

void TstKelvaneHost::session_data()
{
    QTest::addColumn<bool>("simulator"); // else hostprobe
    QTest::addColumn<bool>("device"); // on a pty the test holds, else on the host's pair
    QTest::addColumn<bool>("console");
    QTest::addColumn<QString>("end"); // quit, eof or a signal's name
    // Without XDG_RUNTIME_DIR and --link-dir: the pair in a private folder of the host's own.
    QTest::addColumn<bool>("ownLinkDir");

    QTest::newRow("simulator, pair, quit") << true << false << true << "quit" << false;
    QTest::newRow("simulator, device, end of input") << true << true << true << "eof" << false;
    // Without a console the end of input does not end the host: only a signal does.
    QTest::newRow("simulator, pair, no console, SIGTERM")
        << true << false << false << "SIGTERM" << false;
    for (const char *end : {"SIGTERM", "SIGINT", "quit", "eof"})
        QTest::newRow(qPrintable(QStringLiteral("probe, pair, %1").arg(end)))
            << false << false << true << QString::fromLatin1(end) << (end[0] == 'q');
}

// A whole session: the banner, the plug-in on its device with that device in the store, its
// bytes to the client and back, and an end that runs stop(), deletes the plug-in, flushes the
// store (hostprobe's unsynced events show it) and removes the pair.
void TstKelvaneHost::session()
{
    QFETCH(bool, simulator);
    QFETCH(bool, device);
    QFETCH(bool, console);
    QFETCH(QString, end);
    QFETCH(bool, ownLinkDir);

    QStringList args = arguments(simulator ? KELVANE_SIMULATOR_PLUGIN : KELVANE_PROBE_PLUGIN);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (ownLinkDir) {
        links = dir->filePath(QStringLiteral("kelvane-host-%1").arg(::getuid()));
        args = args.mid(0, 4);
        environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        environment.insert(QStringLiteral("TMPDIR"), dir->path());
    }
    // Names left by a host that died are replaced.
    QVERIFY(QDir().mkpath(linkDir()));
    QVERIFY(
        QFile::setPermissions(linkDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(QFile::link(QStringLiteral("/dev/pts/no-such-pty"), link("simulator")));

    int fd = -1;
    QString simulatorEnd = link("simulator");
    QString pairLines =
        QStringLiteral("Client device: %1\nConnect your client to %1 (115200 baud), e.g. "
                       "kelvane-scope %1 or cat %1; to type commands a line at a time: socat "
                       "-,icanon=1 %1,raw,echo=0\nLine: 115200 baud, seed 1, faults none, "
                       "command faults none\n")
            .arg(link("client"));
    if (device) {
        fd = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0 && ::grantpt(fd) == 0 && ::unlockpt(fd) == 0);
        simulatorEnd = QString::fromLocal8Bit(::ptsname(fd));
        args << QStringLiteral("--device") << simulatorEnd;
        pairLines.clear();
    } else {
        args << QStringLiteral("--seed") << QStringLiteral("1");
    }
    if (!console)
        args << QStringLiteral("--no-console");
    Host host(args, environment);
    if (!console)
        host.process.closeWriteChannel();
    // The metadata as Qt read it: the probe's is moc's, for the Qt and the build it comes with.
    const int archreq = qPluginArchRequirements();
    const QString metaData = simulator
        ? QStringLiteral(R"({"IID":"com.vorn.talvik.ipayloadplugin","MetaData":{},)"
                         R"("className":"KelvaneSimulator","debug":false,"version":329473})")
        : QStringLiteral(R"({"IID":"com.vorn.talvik.ipayloadplugin","archreq":%1,)"
                         R"("className":"HostProbe","debug":%2,"version":%3})")
              .arg(archreq)
              .arg(archreq & 1 ? "true" : "false")
              .arg(QT_VERSION_MAJOR << 16 | QT_VERSION_MINOR << 8);
    const QString banner =
        QStringLiteral("Plug-in: %1\nMetadata: %6\nSettings: %2\nSimulator device: %3\n%4%5")
            .arg(simulator ? QStringLiteral("ECHO, Kelvane simulator, version 2.10.0.1856")
                           : QStringLiteral("PROBE, Host probe, version 1.0.0"),
                 settingsPath(), simulatorEnd, pairLines,
                 console ? QStringLiteral("Console: type help for the commands.\n") : QString(),
                 metaData);
    QVERIFY2(host.wait(host.out, banner.toLocal8Bit()), host.out + host.err);
    // The device reached the plug-in through the store before it was created.
    QCOMPARE(iniValue(settingsPath(), "KELVANE_SIMULATOR/SERIAL_DEVICE"), simulatorEnd);
    QCOMPARE(iniValue(settingsPath(), "APP/TELEMETRY_PERIOD_MS"), QStringLiteral("1000"));
    // A new file gets depth bounds, so that the first run shows a moving bottom.
    QCOMPARE(iniValue(settingsPath(), "ECHOSOUNDER/MIN_DEPTH_M") +
                 iniValue(settingsPath(), "ECHOSOUNDER/MAX_DEPTH_M"),
             QStringLiteral("230"));

    if (!device)
        fd = ::open(QFile::encodeName(link("client")).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    if (simulator) {
        const QByteArray first = readUntil(fd, "\r\n");
        QVERIFY2(first.startsWith("$SMDBT,"), first.constData());
    } else {
        // The greeting reaches a client that was there; the host's client comes later.
        if (device)
            QCOMPARE(readUntil(fd, "\r\n"), QByteArray("PROBE READY\r\n"));
        QVERIFY(host.wait(
            host.out, "Ground info: [PROBE] started on " + QFile::encodeName(simulatorEnd) + '\n'));
        // Both ways through the line: the probe echoes.
        QVERIFY(QTest::qWaitFor([&] { return ::write(fd, "hi\n", 3) == 3; }, Deadline));
        QVERIFY(host.wait(host.out, "Data: message id 0, payload id 0, 3 bytes: 68 69 0a\n"));
        QVERIFY(readUntil(fd, "hi\n").endsWith("hi\n"));
    }
    QVERIFY(host.running());

    if (end == QLatin1String("quit"))
        host.send("quit");
    else if (end == QLatin1String("eof"))
        host.process.closeWriteChannel();
    else
        host.signal(end == QLatin1String("SIGTERM") ? SIGTERM : SIGINT);
    QVERIFY2(host.exited(0), host.err.constData());
    ::close(fd);
    const QByteArray last = end == QLatin1String("eof")
        ? "end of input: stopping (use --no-console to keep running)"
        : end.toLatin1() + " received, stopping";
    if (end != QLatin1String("quit"))
        QVERIFY2(host.err.endsWith("kelvane-host: " + last + '\n'), host.err.constData());
    QVERIFY2(!host.err.contains("XDG_RUNTIME_DIR"), host.err.constData());
    if (!simulator)
        QCOMPARE(iniValue(settingsPath(), "HOSTPROBE/EVENTS"),
                 QStringLiteral("start stop destroyed"));
    QVERIFY(!QFileInfo::exists(settingsPath() + QStringLiteral(".lock")));
    QVERIFY(!QFileInfo(link("client")).isSymLink());
    // A device of its own leaves the link dir alone.
    QCOMPARE(QFileInfo(link("simulator")).isSymLink(), device);
    QVERIFY(!QFileInfo::exists(link("kelvane-host.lock")));
}

// The commands reach the store and the file; each bad line, and a value that does not convert
// to the setting's type, gets one line of error and changes nothing: no stop or start reaches
// the plug-in, the file stays as it was, the host runs on. status shows the simulator's port.
void TstKelvaneHost::consoleCommands()
{
    {
        QSettings ini(settingsPath(), QSettings::IniFormat);
        ini.setValue(QStringLiteral("APP/TELEMETRY_PERIOD_MS"), 250);
        ini.setValue(QStringLiteral("APP/NO_SUCH_SETTING"), 1);
        ini.setValue(QStringLiteral("PAYLOADS/ECHO"), 1);
    }
    Host host(arguments(KELVANE_SIMULATOR_PLUGIN));
    QVERIFY2(host.wait(host.out, "Console: type help"), host.err.constData());
    QVERIFY(host.wait(host.err, "[ECHO] Run in console before app starting:"));
    host.send("status");
    QVERIFY(host.wait(host.out, "\nSerial port: open, 115200 baud\nLast request: start\n"));

    const QByteArray before = readFile(settingsPath());
    for (const QList<QByteArray> &bad : readRows("host-console-errors.txt")) {
        const int errBefore = host.err.size();
        host.send(bad.at(0));
        QVERIFY2(host.wait(host.err, bad.at(1) + '\n'), bad.at(0).constData());
        QCOMPARE(host.err.mid(errBefore), bad.at(1) + '\n');
    }
    host.send("status");
    QVERIFY(host.wait(host.out, "\nLast request: start\n", 2));
    QCOMPARE(readFile(settingsPath()), before);

    host.send("set KELVANE_SIMULATOR CONST_MODE true");
    QVERIFY(host.wait(host.err, "Updated: KELVANE_SIMULATOR/CONST_MODE=true\n"));
    QCOMPARE(iniValue(settingsPath(), "KELVANE_SIMULATOR/CONST_MODE"), QStringLiteral("true"));
    // A value may hold spaces.
    host.send("set KELVANE_SIMULATOR SERIAL_DEVICE /dev/my serial");
    QVERIFY(host.wait(host.err, "Updated: KELVANE_SIMULATOR/SERIAL_DEVICE=/dev/my serial\n"));
    // Outside its set of meanings a value is stored, and warned about.
    host.send("set KELVANE_SIMULATOR FREQUENCY_MODE triple");
    QVERIFY(host.wait(
        host.err,
        "warning: KELVANE_SIMULATOR/FREQUENCY_MODE is SINGLE or DUAL (any case): the simulator "
        "stays silent in any other mode\nUpdated: KELVANE_SIMULATOR/FREQUENCY_MODE=triple\n"));

    host.send("prune");
    QVERIFY(host.wait(host.out, "Pruned: APP/NO_SUCH_SETTING\n"));
    QVERIFY(iniValue(settingsPath(), "APP/NO_SUCH_SETTING").isEmpty());
    QCOMPARE(iniValue(settingsPath(), "PAYLOADS/ECHO"), QStringLiteral("1"));
    // A period the user chose is kept.
    QCOMPARE(iniValue(settingsPath(), "APP/TELEMETRY_PERIOD_MS"), QStringLiteral("250"));

    host.send("status");
    QVERIFY(host.wait(host.out, "\nLast request: start\n", 3));
    for (const char *line :
         {"\n  KELVANE_SIMULATOR/CONST_MODE=true\n",
          "\n  KELVANE_SIMULATOR/SERIAL_DEVICE=/dev/my serial\n",
          "\n  KELVANE_SIMULATOR/FREQUENCY_MODE=triple\n", "\n  ECHOSOUNDER/MIN_DEPTH_M=(empty)\n"})
        QVERIFY2(host.out.contains(line), line);

    // stop closes the port; start opens it again, now on the device set above, which fails.
    host.send("stop");
    host.send("status");
    QVERIFY(host.wait(host.out, "\nSerial port: not open\nLast request: stop\n"));
    host.send("start");
    QVERIFY(host.wait(host.err, "[ECHO] Run in console before app starting:", 2));
    QVERIFY(
        host.wait(host.err, "[ECHO] CRIT: Unable to find virtual serial port: \"/dev/my serial\""));
    host.send("status");
    QVERIFY(host.wait(host.out, "\nSerial port: not open\nLast request: start\n"));
    // help: the commands, then the reference with the types App's signals give.
    host.send("help");
    QVERIFY(host.wait(host.out, "(also: end of input, Ctrl+C)\nSimulator settings"));
    QVERIFY(
        host.wait(host.out, "\n  KELVANE_SIMULATOR  DELTA_M         float    0.1         step"));
    host.send("quit");
    QVERIFY(host.exited(0));
}

void TstKelvaneHost::refusals_data()
{
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<QString>("held");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error");
    for (const QList<QByteArray> &row : readRows("host-refusals.txt")) {
        const QString args = QString::fromUtf8(row.at(1));
        QTest::newRow(row.at(0).constData())
            << (args == QLatin1String("-") ? QStringList() : args.split(QLatin1Char(' ')))
            << QString::fromUtf8(row.at(2)).remove(QLatin1Char('-')) << row.at(3).toInt()
            << QString::fromUtf8(unescape(row.at(4)));
    }
}

void TstKelvaneHost::refusals()
{
    QFETCH(QStringList, extra);
    QFETCH(QString, held);
    QFETCH(int, status);
    QFETCH(QString, error);

    const int pty = ::posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(pty >= 0 && ::grantpt(pty) == 0 && ::unlockpt(pty) == 0);
    const QString script = dir->filePath(QStringLiteral("bad.script"));
    const QString badRecord = dir->filePath(QStringLiteral("bad.record"));
    QVERIFY(writeFile(script, "# a comment\n0 status\n1 fault sideways 2\n") &&
            writeFile(badRecord, LineRecord::header() + "0.000000 device $\\r\\n\n0.5 device\n"));
    Peer busy(socket(SOCK_STREAM, true));
    QVERIFY(::listen(busy.fd, 1) == 0);
    const QList<QPair<QString, QString>> words = {
        {QStringLiteral("DIR"), dir->path()},
        {QStringLiteral("PTY"), QString::fromLocal8Bit(::ptsname(pty))},
        {QStringLiteral("SCRIPT"), script},
        {QStringLiteral("BADRECORD"), badRecord},
        {QStringLiteral("BUSY"), QString::number(busy.port())},
        {QStringLiteral("HOST"), QStringLiteral(KELVANE_HOST_BINARY)},
        {QStringLiteral("LINKS"), linkDir()}};
    for (const auto &word : words) {
        extra.replaceInStrings(word.first, word.second);
        error.replace(word.first, word.second);
    }
    std::unique_ptr<Host> first;
    if (!held.isEmpty()) {
        first = std::make_unique<Host>(arguments(KELVANE_PROBE_PLUGIN) + extra);
        QVERIFY2(first->wait(first->out, "Ground info: [PROBE] started on"),
                 first->err.constData());
    }
    error.replace(QStringLiteral("PID"), QString::number(first ? first->process.processId() : 0));
    // A replay takes no plug-in.
    Host host(
        arguments(KELVANE_PROBE_PLUGIN).mid(extra.contains(QStringLiteral("--replay")) ? 2 : 0) +
        extra);
    QVERIFY(host.exited(status));
    QVERIFY2(host.err.startsWith(error.toLocal8Bit()), host.err.constData());
    QVERIFY(host.out.isEmpty());
    // Refused before anything was touched; a first host's pair and file are its own.
    QCOMPARE(QFileInfo::exists(settingsPath()), !held.isEmpty());
    QCOMPARE(QFileInfo::exists(link("client")), held == QLatin1String("links"));
    if (first) {
        first->send("quit");
        QVERIFY(first->exited(0));
    }
    ::close(pty);
}

void TstKelvaneHost::startupWarnings_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QByteArray>("original"); // the file as the host finds it, with a stale lock
    QTest::addColumn<QString>("warnings"); // %1: the settings file

    // An empty lock, as a power cut leaves it, younger than QLockFile's 30 s stale time: left
    // alone, the first sync would wait for it to turn stale.
    QTest::newRow("stale lock, unparsable lines")
        << QString()
        << QByteArray("; tuned for the lake survey\n[APP]\nVERBOSE=false\n"
                      "garbage without equals\n")
        << QStringLiteral(
               "kelvane-host: warning: removed the empty lock file %1.lock left by a process that "
               "died\n"
               "kelvane-host: warning: %1:1: not NAME=VALUE, a [section] or blank; the next write "
               "of the file drops it: ; tuned for the lake survey\n"
               "kelvane-host: warning: %1:4: not NAME=VALUE, a [section] or blank; the next write "
               "of the file drops it: garbage without equals\n"
               "kelvane-host: warning: kept a copy of the file as it was in %1.bak\n");
    // /proc takes no new files, whoever asks; a permission bit would not stop root.
    QTest::newRow("unwritable") << QStringLiteral("/proc/self/kelvane-host.ini") << QByteArray()
                                << QStringLiteral("kelvane-host: warning: cannot write %1: setting "
                                                  "changes last only until the host ends\n");
}

// The host warns and runs on: settings can still be changed, in memory at least.
void TstKelvaneHost::startupWarnings()
{
    QFETCH(QString, settings);
    QFETCH(QByteArray, original);
    QFETCH(QString, warnings);

    if (settings.isEmpty())
        settings = settingsPath();
    if (!original.isEmpty()) {
        QFile file(settings);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(original) == original.size());
        QFile lock(settings + QStringLiteral(".lock"));
        QVERIFY(lock.open(QIODevice::WriteOnly));
        QVERIFY(lock.setFileTime(QDateTime::currentDateTime().addSecs(-10),
                                 QFileDevice::FileModificationTime));
    }
    QStringList args = arguments(KELVANE_PROBE_PLUGIN);
    args[3] = settings;
    Host host(args);
    QVERIFY2(host.wait(host.out, "Console: type help"), host.err.constData());
    QVERIFY2(host.err.startsWith(warnings.arg(settings).toLocal8Bit()), host.err.constData());
    host.send("set APP VERBOSE true");
    QVERIFY(host.wait(host.err, "Updated: APP/VERBOSE=true\n"));
    host.send("quit");
    QVERIFY(host.exited(0));
    if (!original.isEmpty()) {
        QCOMPARE(readFile(settings + QStringLiteral(".bak")), original);
        QCOMPARE(iniValue(settings, "APP/VERBOSE"), QStringLiteral("true"));
    }
}

// The line to a client: what nobody heard is dropped and counted, a client's first byte starts
// a line, bytes come no faster than the baud rate, the record holds exactly what the client was
// given (and the scope decodes it), the script's events are counted and the statistics add up.
void TstKelvaneHost::line()
{
    const QString script = dir->filePath(QStringLiteral("events.script"));
    QFile file(script);
    QVERIFY(file.open(QIODevice::WriteOnly) &&
            file.write("0 fault unplug 0.05\n0 fault stall 0.05\n0 fault garbage 3\n"
                       "1.5 status\n") > 0);
    file.close();
    const QString record = dir->filePath(QStringLiteral("line.record"));
    const QString statsFile = dir->filePath(QStringLiteral("line.json"));
    Host host(arguments(KELVANE_SIMULATOR_PLUGIN) +
              QStringList {QStringLiteral("--baud"), QStringLiteral("2400"),
                           QStringLiteral("--record"), record, QStringLiteral("--stats"), statsFile,
                           QStringLiteral("--script"), script});
    // The first ping, at 1 s, found nobody on the client end.
    QVERIFY2(host.wait(host.out, "\nEvents: unplug 1, stall 1, hangup 0, garbage 1\n"),
             host.err.constData());
    QVERIFY(count(stats(statsFile), "toClient", "unheardBytes") > 0);
    QCOMPARE(count(stats(statsFile), "toClient", "bytesOut"), 0);

    const int fd = ::open(QFile::encodeName(link("client")).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    // Up to the end of a whole ping: the first may have been joined after its start.
    QByteArray received = readUntil(fd, "ROLL*");
    const QByteArray firstLine = received.left(received.indexOf('\r'));
    QVERIFY2(Nmea::checksum(firstLine), received.constData());
    if (received.indexOf("$SMDBT") < 0 || received.indexOf("$SMDBT") > received.indexOf("ROLL*"))
        received += readUntil(fd, "ROLL*");
    host.send("quit");
    QVERIFY(host.exited(0));
    ::close(fd);

    // Recorded: what the client got, at the pace of 2400 baud (240 bytes a second) within a
    // ping, whose lines the simulator writes at once.
    QByteArray recorded;
    QList<QPair<qint64, int>> times; // time, bytes so far
    QFile recording(record);
    QVERIFY(recording.open(QIODevice::ReadOnly));
    QVERIFY(LineRecord::isRecord(recording.peek(64)));
    while (!recording.atEnd()) {
        const QByteArray text = recording.readLine();
        LineRecord::Entry entry;
        if (!text.startsWith('#') && LineRecord::parse(text, &entry) &&
            entry.source == LineRecord::Device) {
            recorded += entry.bytes;
            times << qMakePair(entry.us, recorded.size());
        }
    }
    QVERIFY(recorded.startsWith(received));
    QCOMPARE(count(stats(statsFile), "toClient", "bytesOut"), qint64(recorded.size()));
    const int pingStart = recorded.indexOf("$SMDBT");
    const int pingEnd = recorded.indexOf("ROLL*", pingStart) + 5;
    QVERIFY(pingStart >= 0 && pingEnd > pingStart + 50);
    qint64 startUs = -1, endUs = -1;
    for (const auto &t : qAsConst(times)) {
        if (startUs < 0 && t.second > pingStart)
            startUs = t.first;
        if (endUs < 0 && t.second >= pingEnd)
            endUs = t.first;
    }
    // Half the line's time at least: a late wake-up of the host only shortens the span.
    QVERIFY2(
        endUs - startUs >= (pingEnd - pingStart - 1) * 1000000LL / 240 / 2,
        qPrintable(
            QStringLiteral("%1 bytes in %2 us").arg(pingEnd - pingStart).arg(endUs - startUs)));
#ifdef KELVANE_SCOPE_BINARY
    // The scope reads the record's instrument bytes as it reads them raw; only the times differ.
    const QString raw = dir->filePath(QStringLiteral("line.raw"));
    QFile rawFile(raw);
    QVERIFY(rawFile.open(QIODevice::WriteOnly) && rawFile.write(recorded) == recorded.size());
    rawFile.close();
    QByteArray decoded[2];
    for (int i = 0; i < 2; ++i) {
        QProcess scope;
        startBuildProgram(scope, QStringLiteral(KELVANE_SCOPE_BINARY),
                          {QStringLiteral("--from"), i == 0 ? record : raw});
        QVERIFY(scope.waitForFinished(Deadline));
        decoded[i] = QString::fromLatin1(scope.readAll())
                         .remove(QRegularExpression(QStringLiteral("t=[-0-9.]+ ")))
                         .toLatin1();
    }
    QCOMPARE(decoded[0], decoded[1]);
    QVERIFY2(decoded[0].count(" depth=") >= 1, decoded[0].constData());
#endif
}

// kelvane-scope on the client end reports as anomalies exactly the faults injected that it can
// see: a changed checksum and garbage before a line, each on a line of its own. The rates are
// set live, and back to 0 before the scope ends, so that the counts cover the same lines.
void TstKelvaneHost::faultsSeenByScope()
{
#ifndef KELVANE_SCOPE_BINARY
    QSKIP("kelvane-scope is not built");
#else
    const QString statsFile = dir->filePath(QStringLiteral("line.json"));
    Host host(arguments(KELVANE_SIMULATOR_PLUGIN) +
              QStringList {QStringLiteral("--baud"), QStringLiteral("0"), QStringLiteral("--seed"),
                           QStringLiteral("11"), QStringLiteral("--stats"), statsFile});
    QVERIFY2(host.wait(host.out, "Console: type help"), host.err.constData());
    QProcess scope;
    QByteArray out;
    connect(&scope, &QProcess::readyReadStandardOutput,
            [&] { out += scope.readAllStandardOutput(); });
    startBuildProgram(
        scope, QStringLiteral(KELVANE_SCOPE_BINARY),
        {link("client"), QStringLiteral("--send"), QStringLiteral("interval 0.01 #go")});
    QVERIFY(QTest::qWaitFor([&] { return out.count(" depth=") >= 5; }, Deadline));
    // One kind at a time: a line that got both would be one anomaly for two faults.
    for (const char *rates : {"fault checksum=0.15", "fault checksum=0,garbage=0.15"}) {
        const int before = out.count(" depth=");
        host.send(rates);
        QVERIFY(QTest::qWaitFor([&] { return out.count(" depth=") >= before + 100; }, Deadline));
    }
    host.send("fault garbage=0");
    const int pings = out.count(" depth=");
    QVERIFY(QTest::qWaitFor([&] { return out.count(" depth=") >= pings + 20; }, Deadline));
    host.send("status");
    QVERIFY(host.wait(host.out, "\nEvents: "));
    scope.terminate();
    QVERIFY(scope.waitForFinished(Deadline));
    out += scope.readAllStandardOutput();
    const QByteArray errors = scope.readAllStandardError();
    const QJsonObject injected = stats(statsFile)
                                     .value(QStringLiteral("toClient"))
                                     .toObject()
                                     .value(QStringLiteral("faults"))
                                     .toObject();
    const int faults = injected.value(QStringLiteral("checksum")).toInt() +
        injected.value(QStringLiteral("garbage")).toInt();
    QVERIFY(injected.value(QStringLiteral("checksum")).toInt() > 10 &&
            injected.value(QStringLiteral("garbage")).toInt() > 10);
    // Each on its own line; a ping that lost a sentence to one may be reported short besides.
    int seen = 0;
    for (const QByteArray &line : errors.split('\n')) {
        if (line.contains(": bad checksum: ") || line.contains(": unexpected line: ") ||
            line.contains(": malformed: "))
            ++seen;
        else
            QVERIFY2(line.isEmpty() || line.contains(": truncated: ping without "),
                     line.constData());
    }
    QCOMPARE(seen, faults);
    host.send("quit");
    QVERIFY(host.exited(0));
#endif
}

// The client's device goes away: its reader sees a hangup, the name goes, and comes back after
// the time given, with the line working again.
void TstKelvaneHost::hangup()
{
    Host host(arguments(KELVANE_PROBE_PLUGIN));
    QVERIFY2(host.wait(host.out, "Console: type help"), host.err.constData());
    int fd = ::open(QFile::encodeName(link("client")).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    host.send("fault hangup 1.5");
    pollfd entry = {fd, POLLIN, 0};
    QVERIFY(QTest::qWaitFor([&] { return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLHUP); },
                            Deadline));
    ::close(fd);
    QVERIFY(QTest::qWaitFor([&] { return !QFileInfo(link("client")).isSymLink(); }, Deadline));
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(link("client")); }, Deadline));
    fd = ::open(QFile::encodeName(link("client")).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(QTest::qWaitFor([&] { return ::write(fd, "hi\n", 3) == 3; }, Deadline));
    QCOMPARE(readUntil(fd, "hi\n"), QByteArray("hi\n"));
    host.send("status");
    QVERIFY(host.wait(host.out, "\nEvents: unplug 0, stall 0, hangup 1, garbage 0\n"));
    host.send("quit");
    QVERIFY(host.exited(0));
    ::close(fd);
}

void TstKelvaneHost::talkerForGpsd_data()
{
    QTest::addColumn<QString>("talker");
    QTest::addColumn<QByteArray>("depth"); // what gpsd passes on of the depth sentence
    QTest::addColumn<bool>("tcp"); // gpsd reads the host's TCP port, else the pty end
    QTest::newRow("SD") << QStringLiteral("SD") << QByteArray("$SDDBT,") << false;
    // gpsd drops the instrument's own talker; its attitude sentence ("YX") passes.
    QTest::newRow("none") << QString() << QByteArray() << false;
    QTest::newRow("SD over TCP") << QStringLiteral("SD") << QByteArray("$SDDBT,") << true;
}

// gpsd reads the client end and passes on the sentences it accepted.
void TstKelvaneHost::talkerForGpsd()
{
    QFETCH(QString, talker);
    QFETCH(QByteArray, depth);
    QFETCH(bool, tcp);
    const QString gpsd = QStandardPaths::findExecutable(
        QStringLiteral("gpsd"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
    const QString gpspipe = QStandardPaths::findExecutable(QStringLiteral("gpspipe"));
    if (gpsd.isEmpty() || gpspipe.isEmpty())
        QSKIP("gpsd and gpspipe are not installed (Debian packages gpsd, gpsd-clients)");
    QStringList args = arguments(KELVANE_SIMULATOR_PLUGIN)
        << QStringLiteral("--baud") << QStringLiteral("0");
    if (!talker.isEmpty())
        args << QStringLiteral("--talker") << talker;
    if (tcp)
        args << QStringLiteral("--tcp") << QStringLiteral("0") << QStringLiteral("--no-pty");
    Host host(args);
    QVERIFY2(host.wait(host.out, "Console: type help"), host.err.constData());
    const QString source =
        tcp ? QStringLiteral("tcp://127.0.0.1:%1").arg(tcpPort(host.out)) : link("client");
    // A port of its own, on the loopback only (gpsd's default).
    const QString port = QString::number(20000 + QCoreApplication::applicationPid() % 20000);
    QProcess daemon;
    daemon.start(gpsd,
                 {QStringLiteral("-N"), QStringLiteral("-n"), QStringLiteral("-b"),
                  QStringLiteral("-S"), port, source});
    QVERIFY(daemon.waitForStarted(Deadline));
    QProcess pipe;
    QByteArray sentences;
    connect(&pipe, &QProcess::readyReadStandardOutput,
            [&] { sentences += pipe.readAllStandardOutput(); });
    QVERIFY(QTest::qWaitFor(
        [&] {
            if (pipe.state() == QProcess::NotRunning)
                pipe.start(gpspipe, {QStringLiteral("-r"), QStringLiteral("127.0.0.1:") + port});
            return sentences.count("XDR,") >= 2;
        },
        Deadline));
    pipe.kill();
    daemon.terminate();
    QVERIFY(daemon.waitForFinished(Deadline));
    if (depth.isEmpty()) {
        QVERIFY2(!sentences.contains("DBT,"), sentences.constData());
    } else {
        const int at = sentences.indexOf(depth);
        QVERIFY2(at >= 0, sentences.constData());
        QVERIFY(Nmea::checksum(sentences.mid(at, sentences.indexOf('\r', at) - at)));
    }
    host.send("quit");
    QVERIFY(host.exited(0));
}

// The instrument over the network: the TCP clients, the pty end and a UDP destination each get
// the same stream from when they joined, starting at a whole line; any client's write is a
// command; a client beyond the limit is refused and one that vanishes leaves the others be;
// status and --stats count the bytes each got.
void TstKelvaneHost::network()
{
    Peer udp(socket(SOCK_DGRAM, true));
    const QString statsFile = dir->filePath(QStringLiteral("line.json"));
    // At 115200 baud the line is busy most of the time and hands out pieces of lines: a client
    // that joins mostly joins mid-line.
    Host host(arguments(KELVANE_SIMULATOR_PLUGIN) +
              QStringList {QStringLiteral("--tcp"), QStringLiteral("0"),
                           QStringLiteral("--tcp-max-clients"), QStringLiteral("3"),
                           QStringLiteral("--udp"), QStringLiteral("127.0.0.1:%1").arg(udp.port()),
                           QStringLiteral("--stats"), statsFile});
    QVERIFY2(host.wait(host.out, "Console: type help"), host.err.constData());
    const quint16 port = tcpPort(host.out);
    Peer a(tcpClient(port));
    // The first ping shows the simulator has its end open: commands before it go unheard.
    QVERIFY(until([&] { return a.got.contains('\n'); }, {&a}));
    QVERIFY(::write(a.fd, "interval 0.01 #go", 17) == 17);
    Peer pty(::open(QFile::encodeName(link("client")).constData(), O_RDWR | O_NOCTTY));
    QVERIFY(until([&] { return pty.got.count('\n') > 10 && a.got.count('\n') > 10; },
                  {&a, &pty, &udp}));
    Peer b(tcpClient(port));
    {
        Peer vanishing(tcpClient(port));
        QVERIFY(until([&] { return vanishing.got.size() > 100; }, {&vanishing}));
    }
    QVERIFY(host.wait(host.err, " left after "));
    Peer d(tcpClient(port));
    Peer refused(tcpClient(port));
    const QList<Peer *> all = {&a, &b, &d, &pty, &udp, &refused};
    QVERIFY(until([&] { return refused.ended && d.got.count('\n') > 10; }, all));
    QVERIFY(host.err.contains(" refused: 3 clients already (--tcp-max-clients)\n"));
    // One byte from b stops the pinging: the instrument's reply is the last every end gets.
    QVERIFY(::write(b.fd, "x", 1) == 1);
    QVERIFY(until(
        [&] {
            return std::all_of(all.begin(), all.end() - 1,
                               [](Peer *peer) { return peer->got.endsWith("\r\n>\r\n"); });
        },
        all));
    for (Peer *later : {&b, &d, &pty, &a}) {
        const QByteArray &whole = later == &a ? udp.got : a.got;
        QVERIFY(whole.endsWith(later->got));
        QVERIFY(whole.size() == later->got.size() ||
                whole.at(whole.size() - later->got.size() - 1) == '\n');
    }
    for (const QByteArray &datagram : qAsConst(udp.reads))
        QVERIFY2(datagram.indexOf('\n') == datagram.size() - 1, datagram.constData());

    host.send("status");
    QVERIFY(host.wait(host.out, "\nEvents: "));
    for (Peer *peer : {&a, &b, &d}) {
        const QByteArray line = QStringLiteral("\n  TCP client 127.0.0.1:%1: %2 bytes\n")
                                    .arg(peer->port())
                                    .arg(peer->got.size())
                                    .toLatin1();
        QVERIFY2(host.out.contains(line), host.out.constData());
    }
    const QJsonObject clients = stats(statsFile).value(QStringLiteral("clients")).toObject();
    const QJsonObject tcp = clients.value(QStringLiteral("tcp")).toObject();
    QCOMPARE(tcp.value(QStringLiteral("accepted")).toInt(), 4);
    QCOMPARE(tcp.value(QStringLiteral("refused")).toInt(), 1);
    QCOMPARE(tcp.value(QStringLiteral("connected")).toArray().size(), 3);
    QCOMPARE(clients.value(QStringLiteral("pty")).toObject().value(QStringLiteral("bytes")).toInt(),
             pty.got.size());
    const QJsonObject toUdp = clients.value(QStringLiteral("udp")).toArray().at(0).toObject();
    QCOMPARE(toUdp.value(QStringLiteral("datagrams")).toInt(), udp.reads.size());
    host.send("quit");
    QVERIFY(host.exited(0));
}

// A client that stops reading is dropped once 1 MiB waits for it; another reads on.
void TstKelvaneHost::stalledClient()
{
    Host host(arguments(KELVANE_SIMULATOR_PLUGIN) +
              QStringList {QStringLiteral("--baud"), QStringLiteral("0"), QStringLiteral("--tcp"),
                           QStringLiteral("0"), QStringLiteral("--no-pty")});
    QVERIFY2(host.wait(host.out, "Console: type help"), host.err.constData());
    Peer a(tcpClient(tcpPort(host.out)));
    QVERIFY(until([&] { return a.got.contains('\n'); }, {&a}));
    Peer stalled(tcpClient(tcpPort(host.out)));
    QVERIFY(host.wait(host.err, " connected (2 of at most 16)"));
    const char *frames = "interval 0 #range 10000 #output 2 #go";
    QVERIFY(::write(a.fd, frames, qstrlen(frames)) == qint64(qstrlen(frames)));
    QVERIFY(
        until([&] { return host.err.contains(" dropped: it left more than 1 MiB unread"); }, {&a}));
    const int atDrop = a.got.size();
    QVERIFY(until([&] { return a.got.size() > atDrop + (1 << 20); }, {&a}));
    host.send("quit");
    QVERIFY(host.exited(0));
}

void TstKelvaneHost::replayEnds_data()
{
    QTest::addColumn<bool>("record"); // else the record's device bytes as a plain capture
    QTest::addColumn<int>("baud");
    QTest::newRow("record, unpaced") << true << 0;
    QTest::newRow("capture, 2400 baud") << false << 2400;
}

// A replay to a UDP destination, which hears everything from the start: every line of the
// instrument, whole and in order, at the recorded times or at the line's pace; then the host
// ends by itself.
void TstKelvaneHost::replayEnds()
{
    QFETCH(bool, record);
    QFETCH(int, baud);
    QString file = QStringLiteral(KELVANE_TEST_DATA_DIR "/replay-depth.record");
    QByteArray bytes;
    for (const QByteArray &line : readFile(file).split('\n')) {
        LineRecord::Entry entry;
        if (LineRecord::parse(line, &entry) && entry.source == LineRecord::Device)
            bytes += entry.bytes;
    }
    if (!record) {
        file = dir->filePath(QStringLiteral("capture.nmea"));
        QVERIFY(writeFile(file, bytes));
    }
    Peer udp(socket(SOCK_DGRAM, true));
    Host host({QStringLiteral("--replay"), file, QStringLiteral("--no-pty"),
               QStringLiteral("--no-console"), QStringLiteral("--baud"), QString::number(baud),
               QStringLiteral("--udp"), QStringLiteral("127.0.0.1:%1").arg(udp.port())});
    QVERIFY(until([&] { return !host.running(); }, {&udp}));
    QVERIFY2(host.exited(0), host.err.constData());
    QVERIFY(host.err.endsWith("kelvane-host: replay: end of " + QFile::encodeName(file) + '\n'));
    udp.take();
    QList<QByteArray> lines = bytes.split('\n');
    lines.removeLast();
    for (QByteArray &line : lines)
        line += '\n';
    QCOMPARE(udp.reads, lines);
    // Late wake-ups may shorten a gap by a tick or two; none lengthens the whole.
    const qint64 span = udp.times.last() - udp.times.first();
    if (record)
        QVERIFY2(span >= 90, qPrintable(QString::number(span)));
    else
        QVERIFY2(span >= (bytes.size() - lines.first().size()) * 10 * 1000 / baud - 10,
                 qPrintable(QString::number(span)));
}

// A looped replay to a TCP client, which joins mid-replay at a whole line and gets round after
// round; the client's commands reach no instrument: one log line, and they are recorded.
void TstKelvaneHost::replayLoops()
{
    const QString file = QStringLiteral(KELVANE_TEST_DATA_DIR "/replay-depth.record");
    const QString record = dir->filePath(QStringLiteral("replayed.record"));
    Host host({QStringLiteral("--replay"), file, QStringLiteral("--loop"),
               QStringLiteral("--no-pty"), QStringLiteral("--tcp"), QStringLiteral("0"),
               QStringLiteral("--record"), record});
    QVERIFY2(host.wait(host.out, "Console: type help"), host.err.constData());
    Peer client(tcpClient(tcpPort(host.out)));
    QVERIFY(until([&] { return client.got.count("$SMDPT,") >= 3; }, {&client}));
    QVERIFY(client.got.startsWith('$'));
    for (const char *command : {"#go\r\n", "#stop\r\n"}) {
        QVERIFY(::write(client.fd, command, qstrlen(command)) == qint64(qstrlen(command)));
        QVERIFY(host.wait(host.err, "replay: commands from clients reach no instrument"));
    }
    host.send("status");
    QVERIFY(host.wait(host.out, "\nEvents: "));
    const QRegularExpressionMatch round =
        QRegularExpression(QStringLiteral("\\nSource: \\S+, round (\\d+)\\n"))
            .match(QString::fromLatin1(host.out));
    QVERIFY2(round.captured(1).toInt() >= 3, host.out.constData());
    host.send("quit");
    QVERIFY(host.exited(0));
    QCOMPARE(host.err.count("reach no instrument"), 1);
    const QByteArray recorded = readFile(record);
    QVERIFY(recorded.contains(" client #go\\r\\n\n") && recorded.contains(" client #stop\\r\\n\n"));
}

// Signal K's NMEA 0183 parser, fed from the TCP port, reads depths and the water temperature
// out of a replay.
void TstKelvaneHost::signalK()
{
    const QString node = QStandardPaths::findExecutable(QStringLiteral("node"));
    const QString npm = QStandardPaths::findExecutable(QStringLiteral("npm"));
    if (node.isEmpty() || npm.isEmpty())
        QSKIP("node and npm are not installed");
    const QString modules = QStringLiteral(KELVANE_SIGNALK_DIR "/node_modules");
    if (!QFileInfo::exists(modules + QStringLiteral("/@signalk/nmea0183-signalk"))) {
        QProcess install;
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(npm,
                      {QStringLiteral("ci"), QStringLiteral("--no-audit"),
                       QStringLiteral("--no-fund"), QStringLiteral("--prefix"),
                       QStringLiteral(KELVANE_SIGNALK_DIR)});
        QVERIFY2(install.waitForFinished(180000) && install.exitCode() == 0,
                 install.readAll().constData());
    }
    const QString file = QStringLiteral(KELVANE_TEST_DATA_DIR "/replay-depth.record");
    Host host({QStringLiteral("--replay"), file, QStringLiteral("--loop"),
               QStringLiteral("--no-pty"), QStringLiteral("--tcp"), QStringLiteral("0")});
    QVERIFY2(host.wait(host.out, "Console: type help"), host.err.constData());
    QProcess parser;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("NODE_PATH"), modules);
    parser.setProcessEnvironment(environment);
    QByteArray values;
    connect(&parser, &QProcess::readyReadStandardOutput,
            [&] { values += parser.readAllStandardOutput(); });
    parser.start(node,
                 {QStringLiteral(KELVANE_SIGNALK_SCRIPT),
                  QStringLiteral("127.0.0.1:%1").arg(tcpPort(host.out))});
    QList<QByteArray> expected;
    for (const QByteArray &line : readFile(file).split('\n')) {
        if (line.startsWith("# expect "))
            expected << line.mid(9) + '\n';
    }
    QVERIFY(expected.size() == 4);
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     return std::all_of(expected.begin(), expected.end(),
                                        [&](const QByteArray &v) { return values.contains(v); });
                 },
                 Deadline),
             values.constData() + parser.readAllStandardError());
    QVERIFY2(!values.contains("error "), values.constData());
    parser.kill();
    parser.waitForFinished(Deadline);
    host.send("quit");
    QVERIFY(host.exited(0));
}

QTEST_GUILESS_MAIN(TstKelvaneHost)
#include "tst_kelvanehost.moc"
