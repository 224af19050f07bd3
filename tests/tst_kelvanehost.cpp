// kelvane-host driven as a user does: the built binary in a QProcess, its console on standard
// input, the serial line on a pty the test holds or on the pair the host makes with socat.

#include "buildprogram.h"
#include "datarows.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
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

// The pids of the direct children of pid (socat, for the host).
QList<int> childrenOf(qint64 pid)
{
    QList<int> pids;
    for (const QByteArray &item :
         readFile(QStringLiteral("/proc/%1/task/%1/children").arg(pid)).simplified().split(' ')) {
        if (!item.isEmpty())
            pids << item.toInt();
    }
    return pids;
}

} // namespace

class TstKelvaneHost : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void session_data();
    void session();
    void consoleCommands();
    void refusals_data();
    void refusals();
    void startupWarnings_data();
    void startupWarnings();

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

void TstKelvaneHost::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    links = dir->filePath(QStringLiteral("links"));
}

void TstKelvaneHost::session_data()
{
    QTest::addColumn<bool>("simulator"); // else hostprobe
    QTest::addColumn<bool>("device"); // on a pty the test holds, else on the host's socat pair
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
// store (hostprobe's unsynced events show it) and removes the pair and socat.
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
                       "-,icanon=1 %1,raw,echo=0\n")
            .arg(link("client"));
    if (device) {
        fd = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0 && ::grantpt(fd) == 0 && ::unlockpt(fd) == 0);
        simulatorEnd = QString::fromLocal8Bit(::ptsname(fd));
        args << QStringLiteral("--device") << simulatorEnd;
        pairLines.clear();
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

    if (!device)
        fd = ::open(QFile::encodeName(link("client")).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    const QByteArray first = readUntil(fd, "\r\n");
    QList<int> socat = childrenOf(host.process.processId());
    QCOMPARE(socat.size(), device ? 0 : 1);
    if (simulator) {
        QVERIFY2(first.startsWith("$SMDBT,"), first.constData());
    } else {
        QCOMPARE(first, QByteArray("PROBE READY\r\n"));
        QVERIFY(host.wait(
            host.out, "Ground info: [PROBE] started on " + QFile::encodeName(simulatorEnd) + '\n'));
        QCOMPARE(::write(fd, "hi\n", 3), ssize_t(3));
        QVERIFY(host.wait(host.out, "Data: message id 0, payload id 0, 3 bytes: 68 69 0a\n"));
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
    for (int pid : socat) {
        QCOMPARE(::kill(pid, 0), -1);
        QCOMPARE(errno, ESRCH);
    }
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
    QTest::addColumn<QStringList>("extra"); // DIR: the test's folder, PTY: a pty it holds
    QTest::addColumn<bool>("withoutSocat");
    QTest::addColumn<QString>("held"); // by a first host: "links" its pair, "device" PTY
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error"); // LINKS: the link dir, PID: the first host's pid
    const QString device = QStringLiteral("--device");
    QTest::newRow("socat missing")
        << QStringList() << true << QString() << 1
        << QStringLiteral("kelvane-host: error: socat was not found in PATH; it makes the serial "
                          "pair. Install the Debian package \"socat\" (apt-get install socat), or "
                          "pass --device PATH\n");
    QTest::newRow("device missing")
        << QStringList {device, QStringLiteral("/dev/kelvane-no-such-tty")} << false << QString()
        << 1
        << QStringLiteral("kelvane-host: error: device /dev/kelvane-no-such-tty does not exist\n");
    QTest::newRow("device not a tty")
        << QStringList {device, QStringLiteral(KELVANE_HOST_BINARY)} << false << QString() << 1
        << QStringLiteral("kelvane-host: error: " KELVANE_HOST_BINARY
                          " is no serial device (not a character device)\n");
    QTest::newRow("device not a terminal")
        << QStringList {device, QStringLiteral("/dev/null")} << false << QString() << 1
        << QStringLiteral("kelvane-host: error: /dev/null is no serial port (not a terminal)\n");
    QTest::newRow("device in use")
        << QStringList {device, QStringLiteral("PTY")} << false << QStringLiteral("device") << 1
        << QStringLiteral("kelvane-host: error: PTY is in use by another program\n");
    QTest::newRow("settings is a folder")
        << QStringList {QStringLiteral("--settings"), QStringLiteral("DIR")} << false << QString()
        << 2
        << QStringLiteral("kelvane-host: error: --settings DIR is a folder; give a file, e.g. "
                          "DIR/kelvane-host.ini\n");
    QTest::newRow("not a payload plug-in")
        << QStringList {QStringLiteral("--plugin"), QStringLiteral(KELVANE_HOST_BINARY)} << false
        << QString() << 1
        << QStringLiteral("kelvane-host: error: " KELVANE_HOST_BINARY " is no Qt plug-in: ");
    QTest::newRow("link dir in use")
        << QStringList() << false << QStringLiteral("links") << 1
        << QStringLiteral("kelvane-host: error: LINKS is in use by another kelvane-host (pid PID); "
                          "pass --link-dir to make a second pair elsewhere, and --settings for a "
                          "settings file of its own (each host writes its device into the file)\n");
}

void TstKelvaneHost::refusals()
{
    QFETCH(QStringList, extra);
    QFETCH(bool, withoutSocat);
    QFETCH(QString, held);
    QFETCH(int, status);
    QFETCH(QString, error);

    const int pty = ::posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(pty >= 0 && ::grantpt(pty) == 0 && ::unlockpt(pty) == 0);
    const QString ptyName = QString::fromLocal8Bit(::ptsname(pty));
    extra.replaceInStrings(QStringLiteral("DIR"), dir->path());
    extra.replaceInStrings(QStringLiteral("PTY"), ptyName);
    std::unique_ptr<Host> first;
    if (!held.isEmpty()) {
        first = std::make_unique<Host>(arguments(KELVANE_PROBE_PLUGIN) + extra);
        QVERIFY2(first->wait(first->out, "Ground info: [PROBE] started on"),
                 first->err.constData());
    }
    error.replace(QStringLiteral("LINKS"), linkDir())
        .replace(QStringLiteral("PID"), QString::number(first ? first->process.processId() : 0))
        .replace(QStringLiteral("DIR"), dir->path())
        .replace(QStringLiteral("PTY"), ptyName);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (withoutSocat)
        environment.insert(QStringLiteral("PATH"), dir->filePath(QStringLiteral("empty")));
    Host host(arguments(KELVANE_PROBE_PLUGIN) + extra, environment);
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

QTEST_GUILESS_MAIN(TstKelvaneHost)
#include "tst_kelvanehost.moc"
