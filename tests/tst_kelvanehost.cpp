// kelvane-host driven as a user does: the built binary in a QProcess, its console on standard
// input, the serial line on a pty the test holds or on the pair the host makes with socat.

#include "buildprogram.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
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

const QByteArray CommandList =
    "Commands:\n"
    "  set GROUP NAME VALUE  change a setting, e.g. set KELVANE_SIMULATOR CONST_MODE true\n"
    "  prune                 remove the settings that no setting signal backs\n"
    "  start                 start the plug-in (ask it to start)\n"
    "  stop                  stop the plug-in\n"
    "  status                identity, device and the simulator's settings\n"
    "  help                  this list\n"
    "  quit                  stop the plug-in and exit (also: end of input, Ctrl+C)\n";

// The host as a child process; its output is collected as it comes.
class Host
{
public:
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
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(Deadline);
        }
    }

    bool waitOut(const QByteArray &text, int count = 1)
    {
        return QTest::qWaitFor([&] { return out.count(text) >= count || !running(); }, Deadline) &&
            out.count(text) >= count;
    }
    bool waitErr(const QByteArray &text, int count = 1)
    {
        return QTest::qWaitFor([&] { return err.count(text) >= count || !running(); }, Deadline) &&
            err.count(text) >= count;
    }
    bool waitExit()
    {
        return QTest::qWaitFor([&] { return !running(); }, Deadline);
    }
    bool running() const { return process.state() != QProcess::NotRunning; }
    void send(const QByteArray &line) { process.write(line + '\n'); }
    // The text after "label: " on the first such line of standard output.
    QString value(const QString &label) const
    {
        const QRegularExpression line(QStringLiteral("^%1: (.*)$").arg(label),
                                      QRegularExpression::MultilineOption);
        return line.match(QString::fromLocal8Bit(out)).captured(1);
    }

    QProcess process;
    QByteArray out;
    QByteArray err;
};

// The settings file as the host left it on disk, "GROUP/NAME" -> value text.
QMap<QString, QString> readIni(const QString &path)
{
    QMap<QString, QString> values;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return values;
    QString group;
    for (const QByteArray &raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            group = line.mid(1, line.size() - 2);
        } else if (line.contains(QLatin1Char('='))) {
            const int equals = line.indexOf(QLatin1Char('='));
            values.insert(group + QLatin1Char('/') + line.left(equals), line.mid(equals + 1));
        }
    }
    return values;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

// Reads from fd until text has arrived or the deadline passes; the event loop keeps running so
// that the host's output is still collected.
QByteArray readUntil(int fd, const QByteArray &text, int timeoutMs = Deadline)
{
    QByteArray bytes;
    QDeadlineTimer deadline(timeoutMs);
    while (!bytes.contains(text) && !deadline.hasExpired()) {
        pollfd entry = {fd, POLLIN, 0};
        if (::poll(&entry, 1, 20) > 0 && (entry.revents & POLLIN)) {
            char buffer[1024];
            const ssize_t count = ::read(fd, buffer, sizeof buffer);
            if (count > 0)
                bytes.append(buffer, int(count));
        }
        QCoreApplication::processEvents();
    }
    return bytes;
}

// The pids of the direct children of pid (socat, for the host).
QList<int> childrenOf(qint64 pid)
{
    QList<int> pids;
    const QByteArray text =
        readFile(QStringLiteral("/proc/%1/task/%1/children").arg(pid)).trimmed();
    for (const QByteArray &item : text.split(' ')) {
        if (!item.isEmpty())
            pids.append(item.toInt());
    }
    return pids;
}

} // namespace

class TstKelvaneHost : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void pairMode();
    void deviceMode();
    void noConsole();
    void consoleCommands();
    void groundMessagesAndData();
    void shutdown_data();
    void shutdown();
    void badConsoleInput_data();
    void badConsoleInput();
    void refusals_data();
    void refusals();
    void linkDirInUse();
    void settingsFileRepairs();
    void unwritableSettings();

private:
    QStringList arguments(const QString &plugin) const;
    QString settingsPath() const { return dir->filePath(QStringLiteral("host.ini")); }
    QString linkDir() const { return dir->filePath(QStringLiteral("links")); }

    std::unique_ptr<QTemporaryDir> dir;
};

void TstKelvaneHost::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

QStringList TstKelvaneHost::arguments(const QString &plugin) const
{
    return {QStringLiteral("--plugin"),   plugin,   QStringLiteral("--settings"), settingsPath(),
            QStringLiteral("--link-dir"), linkDir()};
}

void TstKelvaneHost::pairMode()
{
    // Names left by a host that died are replaced.
    QVERIFY(QDir().mkpath(linkDir()));
    QVERIFY(QFile::link(QStringLiteral("/dev/pts/no-such-pty"),
                        QDir(linkDir()).filePath(QStringLiteral("simulator"))));

    Host host(arguments(QStringLiteral(KELVANE_SIMULATOR_PLUGIN)));
    QVERIFY2(host.waitOut("Console: type help"), host.err.constData());
    QCOMPARE(host.value(QStringLiteral("Plug-in")),
             QStringLiteral("ECHO, Kelvane simulator, version 2.10.0.1856"));
    const QString simulatorEnd = QDir(linkDir()).filePath(QStringLiteral("simulator"));
    const QString clientEnd = QDir(linkDir()).filePath(QStringLiteral("client"));
    QCOMPARE(host.value(QStringLiteral("Simulator device")), simulatorEnd);
    QCOMPARE(host.value(QStringLiteral("Client device")), clientEnd);

    const int fd = ::open(QFile::encodeName(clientEnd).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    const QByteArray bytes = readUntil(fd, "\r\n");
    ::close(fd);
    QVERIFY2(bytes.startsWith("$SMDBT,"), bytes.constData());

    // The device reached the plug-in through the store before it was created.
    const QMap<QString, QString> during = readIni(settingsPath());
    QCOMPARE(during.value(QStringLiteral("KELVANE_SIMULATOR/SERIAL_DEVICE")), simulatorEnd);
    QCOMPARE(during.value(QStringLiteral("APP/TELEMETRY_PERIOD_MS")), QStringLiteral("1000"));

    const QList<int> socat = childrenOf(host.process.processId());
    QCOMPARE(socat.size(), 1);
    host.send("quit");
    QVERIFY(host.waitExit());
    QCOMPARE(host.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.process.exitCode(), 0);
    QVERIFY(!QFileInfo(simulatorEnd).isSymLink());
    QVERIFY(!QFileInfo(clientEnd).isSymLink());
    QCOMPARE(::kill(socat.first(), 0), -1);
    QCOMPARE(errno, ESRCH);
}

void TstKelvaneHost::deviceMode()
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(master >= 0);
    QVERIFY(::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const QString slave = QString::fromLocal8Bit(::ptsname(master));

    QStringList args = arguments(QStringLiteral(KELVANE_SIMULATOR_PLUGIN));
    args << QStringLiteral("--device") << slave;
    Host host(args);
    QVERIFY2(host.waitOut("Console: type help"), host.err.constData());
    QCOMPARE(host.value(QStringLiteral("Simulator device")), slave);
    QVERIFY(!host.out.contains("Client device"));
    QVERIFY(!QFileInfo::exists(linkDir()));

    const QByteArray bytes = readUntil(master, "\r\n");
    QVERIFY2(bytes.startsWith("$SMDBT,"), bytes.constData());

    host.process.closeWriteChannel();
    QVERIFY(host.waitExit());
    QCOMPARE(host.process.exitCode(), 0);
    ::close(master);
    QCOMPARE(readIni(settingsPath()).value(QStringLiteral("KELVANE_SIMULATOR/SERIAL_DEVICE")),
             slave);
}

void TstKelvaneHost::noConsole()
{
    QStringList args = arguments(QStringLiteral(KELVANE_SIMULATOR_PLUGIN));
    args << QStringLiteral("--no-console");
    Host host(args);
    host.process.closeWriteChannel();
    QVERIFY2(host.waitOut("Client device: "), host.err.constData());

    // Still pinging a second after its input ended: only a signal ends it.
    const QString clientEnd = QDir(linkDir()).filePath(QStringLiteral("client"));
    const int fd = ::open(QFile::encodeName(clientEnd).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    const QByteArray bytes = readUntil(fd, "\r\n");
    ::close(fd);
    QVERIFY2(bytes.startsWith("$SMDBT,"), bytes.constData());
    QVERIFY(host.running());
    QVERIFY(!host.out.contains("Console:"));

    ::kill(pid_t(host.process.processId()), SIGTERM);
    QVERIFY(host.waitExit());
    QCOMPARE(host.process.exitCode(), 0);
}

void TstKelvaneHost::consoleCommands()
{
    writeFile(settingsPath(),
              "[APP]\nTELEMETRY_PERIOD_MS=250\nNO_SUCH_SETTING=1\n"
              "[PAYLOADS]\nECHO=1\n");
    Host host(arguments(QStringLiteral(KELVANE_SIMULATOR_PLUGIN)));
    QVERIFY2(host.waitOut("Console: type help"), host.err.constData());
    QVERIFY(host.waitErr("[ECHO] Run in console before app starting:"));

    host.send("set KELVANE_SIMULATOR CONST_MODE true");
    QVERIFY(host.waitErr("Updated: KELVANE_SIMULATOR/CONST_MODE=true\n"));
    QCOMPARE(readIni(settingsPath()).value(QStringLiteral("KELVANE_SIMULATOR/CONST_MODE")),
             QStringLiteral("true"));

    // A value may hold spaces.
    host.send("set KELVANE_SIMULATOR SERIAL_DEVICE /dev/my serial");
    QVERIFY(host.waitErr("Updated: KELVANE_SIMULATOR/SERIAL_DEVICE=/dev/my serial\n"));

    host.send("prune");
    QVERIFY(host.waitOut("Pruned: APP/NO_SUCH_SETTING\n"));
    const QMap<QString, QString> pruned = readIni(settingsPath());
    QVERIFY(!pruned.contains(QStringLiteral("APP/NO_SUCH_SETTING")));
    QCOMPARE(pruned.value(QStringLiteral("PAYLOADS/ECHO")), QStringLiteral("1"));
    // A period the user chose is kept.
    QCOMPARE(pruned.value(QStringLiteral("APP/TELEMETRY_PERIOD_MS")), QStringLiteral("250"));

    host.send("status");
    QVERIFY(host.waitOut("ECHOSOUNDER/MAX_DEPTH_M"));
    QVERIFY(host.out.contains("\n  KELVANE_SIMULATOR/CONST_MODE=true\n"));
    QVERIFY(host.out.contains("\n  KELVANE_SIMULATOR/SERIAL_DEVICE=/dev/my serial\n"));
    QVERIFY(host.out.contains("\n  KELVANE_SIMULATOR/FREQUENCY_MODE=SINGLE\n"));
    QVERIFY(host.out.contains("\n  ECHOSOUNDER/MIN_DEPTH_M=(empty)\n"));
    QVERIFY(host.out.contains("\nLast request: start\n"));

    // stop, then start: the simulator starts again, now on the device set above.
    host.send("stop");
    host.send("start");
    QVERIFY(host.waitErr("[ECHO] Run in console before app starting:", 2));
    QVERIFY(host.waitErr("[ECHO] CRIT: Unable to find virtual serial port: \"/dev/my serial\""));

    host.send("help");
    QVERIFY(host.waitOut("  quit "));
    host.send("quit");
    QVERIFY(host.waitExit());
    QCOMPARE(host.process.exitCode(), 0);
}

void TstKelvaneHost::groundMessagesAndData()
{
    Host host(arguments(QStringLiteral(KELVANE_PROBE_PLUGIN)));
    QVERIFY2(host.waitOut("Console: type help"), host.err.constData());
    const QString clientEnd = host.value(QStringLiteral("Client device"));
    QVERIFY(host.waitOut(QStringLiteral("Ground info: [PROBE] started on %1/simulator\n")
                             .arg(linkDir())
                             .toLocal8Bit()));

    const int fd = ::open(QFile::encodeName(clientEnd).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    QCOMPARE(readUntil(fd, "\r\n"), QByteArray("PROBE READY\r\n"));
    QCOMPARE(::write(fd, "hi\n", 3), ssize_t(3));
    QVERIFY(host.waitOut("Data: message id 0, payload id 0, 3 bytes: 68 69 0a\n"));
    ::close(fd);
}

void TstKelvaneHost::shutdown_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QByteArray>("notice"); // on standard error
    QTest::newRow("SIGTERM") << "SIGTERM"
                             << QByteArray("kelvane-host: SIGTERM received, stopping\n");
    QTest::newRow("SIGINT") << "SIGINT" << QByteArray("kelvane-host: SIGINT received, stopping\n");
    QTest::newRow("quit") << "quit" << QByteArray();
    QTest::newRow("end of input") << "eof" << QByteArray();
}

void TstKelvaneHost::shutdown()
{
    QFETCH(QString, how);
    QFETCH(QByteArray, notice);

    Host host(arguments(QStringLiteral(KELVANE_PROBE_PLUGIN)));
    QVERIFY2(host.waitOut("Ground info: [PROBE] started"), host.err.constData());
    const QList<int> socat = childrenOf(host.process.processId());
    QCOMPARE(socat.size(), 1);

    if (how == QLatin1String("SIGTERM"))
        ::kill(pid_t(host.process.processId()), SIGTERM);
    else if (how == QLatin1String("SIGINT"))
        ::kill(pid_t(host.process.processId()), SIGINT);
    else if (how == QLatin1String("quit"))
        host.send("quit");
    else
        host.process.closeWriteChannel();
    QVERIFY(host.waitExit());
    QCOMPARE(host.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.process.exitCode(), 0);
    if (!notice.isEmpty())
        QVERIFY2(host.err.contains(notice), host.err.constData());

    // stop(), then the plug-in deleted while App lives, then App's flush of the unsynced events.
    QCOMPARE(readIni(settingsPath()).value(QStringLiteral("HOSTPROBE/EVENTS")),
             QStringLiteral("start stop destroyed"));
    QVERIFY(!QFileInfo::exists(settingsPath() + QStringLiteral(".lock")));
    QVERIFY(!QFileInfo(QDir(linkDir()).filePath(QStringLiteral("simulator"))).isSymLink());
    QVERIFY(!QFileInfo(QDir(linkDir()).filePath(QStringLiteral("client"))).isSymLink());
    QVERIFY(!QFileInfo::exists(QDir(linkDir()).filePath(QStringLiteral("kelvane-host.lock"))));
    QCOMPARE(::kill(socat.first(), 0), -1);
}

void TstKelvaneHost::badConsoleInput_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("error");
    QTest::newRow("unknown") << QByteArray("frobnicate now")
                             << QByteArray("error: unknown command: frobnicate\n");
    QTest::newRow("upper case") << QByteArray("QUIT")
                                << QByteArray("error: unknown command: QUIT\n");
    QTest::newRow("set without value")
        << QByteArray("set KELVANE_SIMULATOR CONST_MODE")
        << QByteArray("error: set needs GROUP NAME VALUE (GROUP and NAME of letters, digits and "
                      "_), got: set KELVANE_SIMULATOR CONST_MODE\n");
    QTest::newRow("set bad name")
        << QByteArray("set APP/X VERBOSE true")
        << QByteArray("error: set needs GROUP NAME VALUE (GROUP and NAME of letters, digits and "
                      "_), got: set APP/X VERBOSE true\n");
    QTest::newRow("stop with argument")
        << QByteArray("stop now") << QByteArray("error: stop takes no arguments, got: stop now\n");
    QTest::newRow("quit with argument")
        << QByteArray("quit please")
        << QByteArray("error: quit takes no arguments, got: quit please\n");
}

void TstKelvaneHost::badConsoleInput()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, error);

    Host host(arguments(QStringLiteral(KELVANE_PROBE_PLUGIN)));
    QVERIFY2(host.waitOut("Ground info: [PROBE] started"), host.err.constData());
    host.send("status");
    QVERIFY(host.waitOut("Last request: start"));
    const QByteArray before = readFile(settingsPath());

    const int errBefore = host.err.size();
    host.send(line);
    QVERIFY(host.waitErr("  quit "));
    QCOMPARE(host.err.mid(errBefore), error + CommandList);

    // Still running, nothing changed: no stop or start reached the plug-in, the file is as it was.
    host.send("status");
    QVERIFY(host.waitOut("Last request: start", 2));
    QVERIFY(host.running());
    QCOMPARE(readFile(settingsPath()), before);
    host.send("quit");
    QVERIFY(host.waitExit());
    QCOMPARE(readIni(settingsPath()).value(QStringLiteral("HOSTPROBE/EVENTS")),
             QStringLiteral("start stop destroyed"));
}

void TstKelvaneHost::refusals_data()
{
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<bool>("withoutSocat");
    QTest::addColumn<QByteArray>("error");
    QTest::newRow("socat missing")
        << QStringList() << true
        << QByteArray("kelvane-host: error: socat was not found in PATH; it makes the serial "
                      "pair. Install the Debian package \"socat\" (apt-get install socat), or "
                      "pass --device PATH\n");
    QTest::newRow("device missing")
        << QStringList {QStringLiteral("--device"), QStringLiteral("/dev/kelvane-no-such-tty")}
        << false
        << QByteArray("kelvane-host: error: device /dev/kelvane-no-such-tty does not exist\n");
    QTest::newRow("device not a tty")
        << QStringList {QStringLiteral("--device"), QStringLiteral(KELVANE_HOST_BINARY)} << false
        << QByteArray("kelvane-host: error: " KELVANE_HOST_BINARY
                      " is no serial device (not a character device)\n");
    QTest::newRow("not a payload plug-in")
        << QStringList {QStringLiteral("--plugin"), QStringLiteral(KELVANE_HOST_BINARY)} << false
        << QByteArray("kelvane-host: error: " KELVANE_HOST_BINARY " is no Qt plug-in: ");
}

void TstKelvaneHost::refusals()
{
    QFETCH(QStringList, extra);
    QFETCH(bool, withoutSocat);
    QFETCH(QByteArray, error);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (withoutSocat)
        environment.insert(QStringLiteral("PATH"), dir->filePath(QStringLiteral("empty")));
    Host host(arguments(QStringLiteral(KELVANE_PROBE_PLUGIN)) + extra, environment);
    QVERIFY(host.waitExit());
    QCOMPARE(host.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(host.process.exitCode(), 1);
    QVERIFY2(host.err.startsWith(error), host.err.constData());
    QVERIFY(host.out.isEmpty());
    // Refused before anything was touched.
    QVERIFY(!QFileInfo::exists(settingsPath()));
    QVERIFY(!QFileInfo::exists(linkDir()));
}

void TstKelvaneHost::linkDirInUse()
{
    Host first(arguments(QStringLiteral(KELVANE_PROBE_PLUGIN)));
    QVERIFY2(first.waitOut("Console: type help"), first.err.constData());

    Host second(arguments(QStringLiteral(KELVANE_PROBE_PLUGIN)));
    QVERIFY(second.waitExit());
    QCOMPARE(second.process.exitCode(), 1);
    QCOMPARE(second.err,
             QStringLiteral("kelvane-host: error: %1 is in use by another kelvane-host (pid %2); "
                            "pass --link-dir to make a second pair elsewhere\n")
                 .arg(linkDir())
                 .arg(first.process.processId())
                 .toLocal8Bit());
    // The first host's pair is untouched.
    QVERIFY(QFileInfo::exists(QDir(linkDir()).filePath(QStringLiteral("client"))));
    first.send("quit");
    QVERIFY(first.waitExit());
    QCOMPARE(first.process.exitCode(), 0);
}

void TstKelvaneHost::settingsFileRepairs()
{
    const QByteArray original = "; tuned for the lake survey\n[APP]\nVERBOSE=false\n"
                                "garbage without equals\n";
    writeFile(settingsPath(), original);
    // An empty lock, as a power cut leaves it, younger than QLockFile's 30 s stale time: left
    // alone, the first sync would wait for it to turn stale.
    const QString lock = settingsPath() + QStringLiteral(".lock");
    writeFile(lock, QByteArray());
    {
        QFile file(lock);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-10),
                                 QFileDevice::FileModificationTime));
    }

    Host host(arguments(QStringLiteral(KELVANE_PROBE_PLUGIN)));
    QVERIFY2(host.waitOut("Console: type help"), host.err.constData());
    const QString path = settingsPath();
    const QString expected =
        QStringLiteral(
            "kelvane-host: warning: removed the empty lock file %1.lock left by a process that "
            "died\n"
            "kelvane-host: warning: %1:1: not NAME=VALUE, a [section] or blank; the next write of "
            "the file drops it: ; tuned for the lake survey\n"
            "kelvane-host: warning: %1:4: not NAME=VALUE, a [section] or blank; the next write of "
            "the file drops it: garbage without equals\n"
            "kelvane-host: warning: kept a copy of the file as it was in %1.bak\n")
            .arg(path);
    QVERIFY2(host.err.startsWith(expected.toLocal8Bit()), host.err.constData());
    QCOMPARE(readFile(path + QStringLiteral(".bak")), original);
    host.send("quit");
    QVERIFY(host.waitExit());
    QCOMPARE(host.process.exitCode(), 0);
    QCOMPARE(readIni(path).value(QStringLiteral("APP/TELEMETRY_PERIOD_MS")),
             QStringLiteral("1000"));
}

void TstKelvaneHost::unwritableSettings()
{
    // /proc takes no new files, whoever asks; a permission bit would not stop root.
    const QString path = QStringLiteral("/proc/self/kelvane-host.ini");
    Host host({QStringLiteral("--plugin"), QStringLiteral(KELVANE_PROBE_PLUGIN),
               QStringLiteral("--settings"), path, QStringLiteral("--link-dir"), linkDir()});
    QVERIFY2(host.waitOut("Console: type help"), host.err.constData());
    QVERIFY2(host.err.startsWith(QStringLiteral("kelvane-host: warning: cannot write %1: setting "
                                                "changes last only until the host ends\n")
                                     .arg(path)
                                     .toLocal8Bit()),
             host.err.constData());
    // It runs on, with the store in memory.
    host.send("set APP VERBOSE true");
    QVERIFY(host.waitErr("Updated: APP/VERBOSE=true\n"));
    host.send("quit");
    QVERIFY(host.waitExit());
    QCOMPARE(host.process.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TstKelvaneHost)
#include "tst_kelvanehost.moc"
