// kelvane-host driven as a user does: the built binary in a QProcess, its console on standard
// input, the serial line on a pty the test holds or on the pair the host makes and conditions.

#include "buildprogram.h"
#include "datarows.h"
#include "linerecord.h"
#include "nmea.h"

#include <QtTest>

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>

namespace {

// Deadlines only bound a failing wait; an emulated ARM host starts slowly.
const int Deadline = 15000;

struct Host : BuildProgram
{
    explicit Host(const QStringList &arguments,
                  const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
        : BuildProgram(Deadline)
    {
        process.setProcessEnvironment(environment);
        start(QStringLiteral(KELVANE_HOST_BINARY), arguments);
    }
    /// Up, its console waiting for commands.
    bool ready() { return wait(out, "Console: type help"); }
    /// Sends a console command; whether text then is on standard output count times.
    bool says(const QByteArray &command, const QByteArray &text, int count = 1)
    {
        return send(command) && wait(out, text, count);
    }
    bool quit() { return send("quit") && exited(0); }
};

/// Waits until a peer got text count times.
bool gets(const Peer &peer, const QByteArray &text, int count = 1)
{
    return waitFor([&] { return peer.received.count(text) >= count; }, Deadline);
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QString iniValue(const QString &path, const char *key)
{
    return QSettings(path, QSettings::IniFormat).value(QLatin1String(key)).toString();
}

// The device's bytes of a line record, and the time of the first of them.
QByteArray deviceBytes(const QByteArray &record, qint64 *firstUs = nullptr)
{
    QByteArray bytes;
    LineRecord::Entry entry;
    entry.version = LineRecord::version(record);
    for (const QByteArray &line : record.split('\n')) {
        if (LineRecord::parse(line, &entry) && entry.source == LineRecord::Device) {
            if (bytes.isEmpty() && firstUs)
                *firstUs = entry.us;
            bytes += entry.bytes;
        }
    }
    return bytes;
}

// A loopback socket of the test's: bound to a free port, or connected to port.
int socket(int type, quint16 port = 0)
{
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const auto *where = reinterpret_cast<sockaddr *>(&address);
    const int done =
        port ? ::connect(fd, where, sizeof address) : ::bind(fd, where, sizeof address);
    return done == 0 ? fd : -1;
}

// The port of the host's TCP server, from its banner.
quint16 tcpPort(const QByteArray &out)
{
    return quint16(out.mid(out.indexOf("\nTCP: 127.0.0.1:") + 16).split(',').at(0).toUInt());
}

// The port a socket of the test's is bound to.
quint16 portOf(const Peer &peer)
{
    sockaddr_in address = {};
    socklen_t size = sizeof address;
    ::getsockname(peer.fd, reinterpret_cast<sockaddr *>(&address), &size);
    return ntohs(address.sin_port);
}

// Each datagram a peer got holds one whole line.
bool oneLineEach(const Peer &udp)
{
    int end = 0;
    for (const int read : udp.reads)
        end = end >= 0 && udp.received.at(end + read - 1) == '\n' ? end + read : -1;
    return end == udp.received.size() && udp.received.count('\n') == udp.reads.size();
}

// A value of the statistics file by its path, such as "toClient/faults/drop" or "clients/udp/0".
QJsonValue statistic(const QString &file, const char *path)
{
    QJsonValue value = QJsonDocument::fromJson(readFile(file)).object();
    for (const QByteArray &key : QByteArray(path).split('/'))
        value = value.isArray() ? value.toArray().at(key.toInt()) : value[QLatin1String(key)];
    return value;
}

} // namespace

class TstKelvaneHost : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        links = path("links");
    }

    void session_data() { addRows("host-sessions.txt", {"plugin", "line", "end", "out", "last"}); }
    void session();
    void consoleCommands();
    void refusals_data() { addRows("host-refusals.txt", {"extra", "held", "status", "error"}); }
    void refusals();
    void settingsSaved_data()
    {
        addRows("host-settings-saved.txt", {"settings", "original", "atStart", "atSave"});
    }
    void settingsSaved();
    void scripts_data()
    {
        addRows("host-scripts.txt", {"extra", "script", "input", "status", "errors"});
    }
    void scripts();
    void line();
    void faultsSetLive();
    void clientSpeed_data()
    {
        QTest::addColumn<int>("line");
        QTest::addColumn<uint>("lineCode");
        QTest::addColumn<int>("set"); // the speed the client sets
        QTest::addColumn<uint>("setCode");
        QTest::newRow("client slower") << 115200 << uint(B115200) << 9600 << uint(B9600);
        QTest::newRow("client faster") << 9600 << uint(B9600) << 115200 << uint(B115200);
    }
    void clientSpeed();
    void hangup();
    void network();
    void stalledClient();
    void replayEnds_data()
    {
        QTest::addColumn<bool>("record"); // else the record's device bytes as a plain capture
        QTest::addColumn<int>("baud");
        QTest::newRow("record, unpaced") << true << 0;
        QTest::newRow("capture, 2400 baud") << false << 2400;
    }
    void replayEnds();
    void replayLoops();
    void controlChannel();
    void ptyEndBesideOthers();
    void commandFlood();
    void recordWriteFails();
    void signalWhileBlocked();
    void backgroundConsole();
    void manPage();

private:
    // The suite's plug-in, settings file and pair's folder, unless the case gives its own.
    QStringList arguments(const char *plugin, const QStringList &more = {}) const
    {
        const QStringList defaults = {"--plugin",     plugin,       "--settings",
                                      settingsPath(), "--link-dir", links};
        QStringList args;
        for (int i = 0; i < defaults.size(); i += 2) {
            if (!more.contains(defaults.at(i)))
                args << defaults.at(i) << defaults.at(i + 1);
        }
        return args + more;
    }
    QString path(const char *name) const { return dir->filePath(QLatin1String(name)); }
    QString settingsPath() const { return path("host.ini"); }
    /// A value of the run's settings, the copy of the settings file the host runs on.
    QString ini(const char *key) const { return iniValue(link("settings.ini"), key); }
    QString link(const char *name) const { return links + QLatin1Char('/') + name; }
    int openClient() const { return ::open(QFile::encodeName(link("client")), O_RDWR | O_NOCTTY); }

    std::unique_ptr<QTemporaryDir> dir;
    QString links;
};

// A whole session: the banner, the plug-in on its device with that device in the store, its
// bytes to the client and back, and an end that runs stop(), deletes the plug-in, flushes the
// store (hostprobe's unsynced events show it) and removes the pair.
void TstKelvaneHost::session()
{
    QFETCH(QByteArray, plugin);
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, end);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, last);
    const bool simulator = plugin == "simulator", device = line == "device";

    QStringList args = arguments(simulator ? KELVANE_SIMULATOR_PLUGIN : KELVANE_PROBE_PLUGIN);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Without XDG_RUNTIME_DIR and --link-dir: the pair in a private folder of the host's own.
    if (end == "quit") {
        links = dir->filePath(QStringLiteral("kelvane-host-%1").arg(::getuid()));
        args = args.mid(0, 4);
        environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        environment.insert(QStringLiteral("TMPDIR"), dir->path());
    }
    // Names left by a host that died are replaced.
    QVERIFY(QDir().mkpath(links) &&
            QFile::setPermissions(links, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) &&
            QFile::link(QStringLiteral("/dev/pts/no-such-pty"), link("simulator")));

    Pty pty;
    const QString simulatorEnd = device ? pty.slavePath() : link("simulator");
    args << (device ? "--device" : "--seed") << (device ? simulatorEnd : "1")
         << (end == "no console" ? QStringList("--no-console") : QStringList());
    // The run's settings: in the pair's folder, named after the device with --device.
    const QString run = device ? link("settings-") + QFileInfo(simulatorEnd).fileName() + ".ini"
                               : link("settings.ini");
    Host host(args, environment);
    if (end == "no console")
        host.process.closeWriteChannel();
    const QList<QByteArray> banner = QString::fromUtf8(out)
                                         .replace(QLatin1String("SETTINGS"), settingsPath())
                                         .replace(QLatin1String("RUN"), run)
                                         .replace(QLatin1String("DEVICE"), simulatorEnd)
                                         .replace(QLatin1String("CLIENT"), link("client"))
                                         .toLocal8Bit()
                                         .split('*');
    QVERIFY2(host.wait(host.out, banner.at(1)), host.out + host.err);
    QVERIFY2(host.out.startsWith(banner.at(0)), host.out.constData());
    // The device reached the plug-in through the run's settings before it was created. Without
    // a settings file a run gets depth bounds, so that it shows a moving bottom.
    QCOMPARE(iniValue(run, "KELVANE_SIMULATOR/SERIAL_DEVICE"), simulatorEnd);
    QCOMPARE(iniValue(run, "APP/TELEMETRY_PERIOD_MS"), "1000");
    QCOMPARE(iniValue(run, "ECHOSOUNDER/MIN_DEPTH_M") + ' ' +
                 iniValue(run, "ECHOSOUNDER/MAX_DEPTH_M"),
             "2 30");

    std::unique_ptr<Peer> client(device ? nullptr : new Peer(openClient()));
    Peer &far = device ? pty : *client;
    if (simulator) {
        QVERIFY(gets(far, "\r\n"));
        QVERIFY2(far.received.startsWith("$SMDBT,"), far.received.constData());
    } else {
        // Both ways through the line: the probe echoes.
        QVERIFY(host.wait(
            host.out, "Ground info: [PROBE] started on " + QFile::encodeName(simulatorEnd) + '\n'));
        QVERIFY(waitFor([&] { return far.write("hi\n"); }, Deadline));
        QVERIFY(host.wait(host.out, "Data: message id 0, payload id 0, 3 bytes: 68 69 0a\n"));
        QVERIFY(waitFor([&] { return far.received.endsWith("hi\n"); }, Deadline));
    }
    QVERIFY(host.running());

    if (end == "quit")
        host.send("quit");
    else if (end == "eof")
        host.process.closeWriteChannel();
    else
        ::kill(pid_t(host.process.processId()), end == "SIGINT" ? SIGINT : SIGTERM);
    QVERIFY2(host.exited(0), host.err.constData());
    QVERIFY2(last == "-" || host.err.endsWith(last), host.err.constData());
    QVERIFY2(!host.err.contains("XDG_RUNTIME_DIR"), host.err.constData());
    if (!simulator)
        QCOMPARE(iniValue(run, "HOSTPROBE/EVENTS"), QStringLiteral("start stop destroyed"));
    // The run left no trace in the settings file: it never made one.
    QVERIFY(!QFileInfo::exists(settingsPath()));
    // The file's lock and the pair are gone; a device of its own leaves the link dir alone.
    QVERIFY(!QFileInfo::exists(settingsPath() + QStringLiteral(".lock")));
    QVERIFY(!QFileInfo(link("client")).isSymLink() &&
            !QFileInfo::exists(link("kelvane-host.lock")));
    QCOMPARE(QFileInfo(link("simulator")).isSymLink(), device);
}

// The commands reach the run's settings and its file, never the settings file until save,
// which writes all but the run's device; each bad line, and a value that does not convert to the
// setting's type, gets one line of error and changes nothing: no stop or start reaches the
// plug-in, the host runs on. stop and start say what became of the plug-in's port.
void TstKelvaneHost::consoleCommands()
{
    const QByteArray original =
        "[APP]\nTELEMETRY_PERIOD_MS=250\nNO_SUCH_SETTING=1\n[PAYLOADS]\nECHO=1\n";
    QVERIFY(writeFile(settingsPath(), original));
    Host host(arguments(KELVANE_SIMULATOR_PLUGIN));
    QVERIFY2(host.wait(host.err, "[ECHO] Run in console before app starting:"), host.err);
    QVERIFY(host.says("status", "\nEvents: "));
    QVERIFY2(host.out.contains("\nSerial port: open, 115200 baud\nLast request: start\n") &&
                 host.out.contains("\nSimulator end: open\n"),
             host.out);

    const QByteArray before = readFile(link("settings.ini"));
    // A refused line gets the parser's one line of error (tst_command has every case).
    const int errBefore = host.err.size();
    host.send("fault sideways 2");
    host.send("set ECHOSOUNDER MAX_DEPTH_M abc");
    host.send(QByteArray("\0status", 7));
    const QByteArray refused = "error: fault needs unplug SECONDS, stall SECONDS, hangup SECONDS, "
                               "garbage N or [commands] KIND=RATE; type help for the commands\n"
                               "error: ECHOSOUNDER/MAX_DEPTH_M takes type float (a number such as "
                               "2.5), not: abc; nothing changed\n"
                               "error: a NUL byte in the line; type help for the commands\n";
    QVERIFY(host.wait(host.err, refused));
    QCOMPARE(host.err.mid(errBefore), refused);
    QVERIFY(host.says("status", "\nLast request: start\n", 2));
    QCOMPARE(readFile(link("settings.ini")), before);

    // A value may hold spaces; outside its set of meanings a value is stored, and warned about.
    host.send("set KELVANE_SIMULATOR SERIAL_DEVICE /dev/my serial");
    host.send("set KELVANE_SIMULATOR FREQUENCY_MODE triple");
    QVERIFY(host.wait(
        host.err,
        "Updated: KELVANE_SIMULATOR/SERIAL_DEVICE=/dev/my serial\nUpdated: "
        "KELVANE_SIMULATOR/FREQUENCY_MODE=triple\nwarning: KELVANE_SIMULATOR/FREQUENCY_MODE is "
        "SINGLE or DUAL (any case): the simulator stays silent in any other mode\n"));
    QCOMPARE(ini("KELVANE_SIMULATOR/FREQUENCY_MODE"), QStringLiteral("triple"));
    // A period the user chose is kept.
    QVERIFY(host.says("prune", "Pruned: APP/NO_SUCH_SETTING\n"));
    QCOMPARE(ini("PAYLOADS/ECHO") + ' ' + ini("APP/TELEMETRY_PERIOD_MS"), QStringLiteral("1 250"));

    // stop closes the port; start opens it again, now on the device set above, which fails.
    QVERIFY(host.says("stop", "Stopped; serial port: not open\n"));
    QVERIFY(host.says("status", "\nSerial port: not open\nLast request: stop\n"));
    QVERIFY(host.wait(host.out, "\nSimulator end: closed\n"));
    QVERIFY(host.out.contains("\n  KELVANE_SIMULATOR/SERIAL_DEVICE=/dev/my serial\n"));
    QVERIFY(host.out.contains("\n  ECHOSOUNDER/MIN_DEPTH_M=(empty)\n"));
    QVERIFY(host.says("start", "Start requested; serial port: not open\n"));
    QVERIFY(
        host.wait(host.err, "[ECHO] CRIT: Unable to find virtual serial port: \"/dev/my serial\""));
    // help: the commands, then the reference with the types App's signals give.
    QVERIFY(host.says("help", "(also: end of input, Ctrl+C)\nSimulator settings"));
    QVERIFY(
        host.wait(host.out, "\n  KELVANE_SIMULATOR  DELTA_M         float    0.1         step"));

    // Nothing reached the settings file until save, and the run's device never does.
    QCOMPARE(readFile(settingsPath()), original);
    QVERIFY(host.says("save", "Saved the settings into " + QFile::encodeName(settingsPath())));
    QVERIFY(host.quit());
    QCOMPARE(iniValue(settingsPath(), "KELVANE_SIMULATOR/FREQUENCY_MODE") + ' ' +
                 iniValue(settingsPath(), "APP/TELEMETRY_PERIOD_MS"),
             QStringLiteral("triple 250"));
    const QByteArray saved = readFile(settingsPath());
    QVERIFY2(saved.contains("[PAYLOADS]\nECHO=1\n") && !saved.contains("NO_SUCH_SETTING") &&
                 !saved.contains("SERIAL_DEVICE"),
             saved.constData());
    QVERIFY(!host.err.contains("not saved"));
}

// Refused before anything was touched; a first host's pair and file are its own.
void TstKelvaneHost::refusals()
{
    QFETCH(QByteArray, extra);
    QFETCH(QByteArray, held);
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, error);

    Pty pty;
    QVERIFY(writeFile(path("bad.script"),
                      "# a comment\n0 status\n1 fault sideways 2\n2 set "
                      "KELVANE_SIMULATOR CONST_MODE maybe\nsoon quit\n"));
    QVERIFY(writeFile(path("victim"), "kept\n") && QFile::link(path("victim"), path("link")));
    QVERIFY(::mkfifo(QFile::encodeName(path("fifo")).constData(), 0600) == 0);
    QFile big(path("big.ini"));
    QVERIFY(big.open(QIODevice::WriteOnly) && big.resize((1 << 20) + 1));
    QVERIFY(QDir().mkdir(path("open")) && ::chmod(QFile::encodeName(path("open")), 0777) == 0);
    Peer busy(socket(SOCK_STREAM));
    QVERIFY(::listen(busy.fd, 1) == 0);
    QStringList args = extra == "-" ? QStringList() : QString::fromUtf8(extra).split(' ');
    QString text = QString::fromUtf8(error);
    const QStringList words = {"DIR",  dir->path(),
                               "PTY",  pty.slavePath(),
                               "BUSY", QString::number(portOf(busy)),
                               "HOST", KELVANE_HOST_BINARY,
                               "UID",  QString::number(::getuid())};
    for (int i = 0; i < words.size(); i += 2) {
        args.replaceInStrings(words.at(i), words.at(i + 1));
        text.replace(words.at(i), words.at(i + 1));
    }
    std::unique_ptr<Host> first;
    if (held != "-") {
        first = std::make_unique<Host>(arguments(KELVANE_PROBE_PLUGIN, args));
        QVERIFY2(first->wait(first->out, "Ground info: [PROBE] started on"), first->err);
    }
    text.replace(QStringLiteral("PID"), QString::number(first ? first->process.processId() : 0));
    // A replay takes no plug-in.
    Host host(arguments(KELVANE_PROBE_PLUGIN, args).mid(args.contains("--replay") ? 2 : 0));
    QVERIFY(host.exited(status.toInt()));
    QVERIFY2(host.err.startsWith(text.toLocal8Bit()), host.err.constData());
    QVERIFY(host.out.isEmpty());
    QVERIFY(!QFileInfo::exists(settingsPath()));
    QCOMPARE(QFileInfo::exists(link("client")), held == "links");
    QCOMPARE(readFile(path("victim")), QByteArray("kept\n"));
}

// The settings file is written by save alone: the run starts from a copy of it, with a warning
// for lines the copy reads past; save removes a lock left by a process that died, keeps a copy
// of the file before it drops lines, or says why it cannot write.
void TstKelvaneHost::settingsSaved()
{
    QFETCH(QByteArray, settings);
    QFETCH(QByteArray, original);
    QFETCH(QByteArray, atStart);
    QFETCH(QByteArray, atSave);

    const QString path = settings == "-" ? settingsPath() : QString::fromUtf8(settings);
    if (original != "-") {
        QFile lock(path + QStringLiteral(".lock"));
        QVERIFY(writeFile(path, original) && lock.open(QIODevice::WriteOnly));
        QVERIFY(lock.setFileTime(QDateTime::currentDateTime().addSecs(-10),
                                 QFileDevice::FileModificationTime));
    }
    Host host(arguments(KELVANE_PROBE_PLUGIN, {"--settings", path}));
    QVERIFY2(host.ready(), host.err.constData());
    if (atStart != "-")
        QVERIFY2(host.err.startsWith(QString::fromUtf8(atStart).arg(path).toLocal8Bit()), host.err);
    host.send("set APP VERBOSE true");
    QVERIFY(host.wait(host.err, "Updated: APP/VERBOSE=true\n"));
    const QByteArray expected = QString::fromUtf8(atSave).arg(path).toLocal8Bit();
    const int errBefore = host.err.size();
    host.send("save");
    QVERIFY(host.wait(host.err, expected.mid(expected.lastIndexOf('\n', expected.size() - 2) + 1)));
    QCOMPARE(host.err.mid(errBefore), expected);
    QVERIFY(host.quit());
    if (original != "-") {
        QCOMPARE(readFile(path + QStringLiteral(".bak")), original);
        QCOMPARE(iniValue(path, "APP/VERBOSE"), QStringLiteral("true"));
    }
}

// A scripted run goes on after the end of its input, and one of its commands that fails is
// reported with its line and makes the exit status 3, after the script ran to its end.
void TstKelvaneHost::scripts()
{
    QFETCH(QByteArray, extra);
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, errors);

    Pty pty;
    Peer udp(socket(SOCK_DGRAM));
    QVERIFY(writeFile(path("run.script"), script));
    const QStringList words = {"HERE",   dir->path(),
                               "PTY",    pty.slavePath(),
                               "PORT",   QString::number(portOf(udp)),
                               "RECORD", KELVANE_TEST_DATA_DIR "/replay-depth.record"};
    QStringList args = QString::fromUtf8(extra).split(' ');
    QString expected = QString::fromUtf8(errors);
    for (int i = 0; i < words.size(); i += 2) {
        args.replaceInStrings(words.at(i), words.at(i + 1));
        expected.replace(words.at(i), words.at(i + 1));
    }
    args << "--script" << path("run.script");
    Host host(arguments(KELVANE_PROBE_PLUGIN, args).mid(args.contains("--replay") ? 2 : 0));
    if (input == "closed")
        host.process.closeWriteChannel();
    QVERIFY2(host.exited(status.toInt()), host.err.constData());
    int from = 0;
    for (const QString &line : expected.split(QLatin1Char('\n'))) {
        if (line.isEmpty())
            continue;
        const int at = host.err.indexOf(line.toLocal8Bit() + '\n', from);
        QVERIFY2(at >= 0, qPrintable(line + QStringLiteral("\nnot in:\n") + host.err));
        from = at + line.size();
    }
}

// The line to a client: what nobody heard is dropped and counted, a client's first byte starts
// a line, the record holds exactly what the client was given and when, the script's events are
// counted and the statistics add up.
void TstKelvaneHost::line()
{
    const QString script = path("events.script"), record = path("line.record");
    const QString statsFile = path("line.json");
    QVERIFY(writeFile(script,
                      "0 fault unplug 0.05\n0 fault stall 0.05\n0 fault garbage 3\n1.5 status\n"));
    Host host(arguments(KELVANE_SIMULATOR_PLUGIN,
                        {"--record", record, "--stats", statsFile, "--script", script}));
    // The first ping, at 1 s, found nobody on the client end.
    QVERIFY2(host.wait(host.out, "\nEvents: unplug 1, stall 1, hangup 0, garbage 1\n"), host.err);
    QVERIFY(host.out.contains("\nFault: unplug for 0.05 s, silence both ways\nFault: stall for "
                              "0.05 s, nothing reaches the clients until then\nFault: 3 random "
                              "bytes to the clients\n"));
    QVERIFY(host.err.contains("kelvane-host: fault unplug over: the line carries again\n") &&
            host.err.contains("kelvane-host: fault stall over: what the line held reaches the "
                              "clients\n"));
    QVERIFY(statistic(statsFile, "toClient/unheardBytes").toInt() > 0);
    QCOMPARE(statistic(statsFile, "toClient/bytesOut").toInt(-1), 0);

    // Up to the end of a whole ping: the first may have been joined after its start.
    Peer client(openClient());
    const QRegularExpression ping(QStringLiteral("(?s)\\$SMDBT.*ROLL\\*"));
    QVERIFY(waitFor([&] { return ping.match(client.received).hasMatch(); }, Deadline));
    QVERIFY2(Nmea::checksum(client.received.left(client.received.indexOf('\r'))),
             client.received.constData());
    QVERIFY(host.quit());

    // Recorded: what the client got, each delivery stamped with its time, here after the
    // script's status at 1.5 s.
    qint64 firstUs = -1;
    const QByteArray text = readFile(record);
    const QByteArray recorded = deviceBytes(text, &firstUs);
    QVERIFY(LineRecord::isRecord(text) && recorded.startsWith(client.received));
    QVERIFY2(firstUs >= 1500000, qPrintable(QString::number(firstUs)));
    QCOMPARE(statistic(statsFile, "toClient/bytesOut").toInt(), recorded.size());
}

// Fault rates set live are injected, and counted truly: one kind at a time (a line that got both
// would be one bad line for two faults), every line with a changed checksum or with garbage
// before it that the client gets is one the statistics count, and none comes once the rates are
// back at 0.
void TstKelvaneHost::faultsSetLive()
{
    const QString statsFile = path("line.json");
    Host host(
        arguments(KELVANE_SIMULATOR_PLUGIN, {"--baud", "0", "--seed", "11", "--stats", statsFile}));
    QVERIFY2(host.ready(), host.err.constData());
    Peer client(openClient());
    // The first ping shows the simulator has its end open: commands before it go unheard.
    QVERIFY(gets(client, "\n"));
    QVERIFY(client.write("interval 0.01 #go") && gets(client, ">ok.\r\n"));
    const int from = client.received.indexOf(">ok.\r\n") + 6;
    for (const char *rates :
         {"fault checksum=0.15", "fault checksum=0,garbage=0.15", "fault garbage=0"}) {
        host.send(rates);
        QVERIFY(gets(client, "\n", client.received.count('\n') + 200));
    }
    QVERIFY(host.says("status", "\nEvents: "));
    const QByteArray got = client.received.mid(from, client.received.lastIndexOf('\n') - from);
    int bad = 0;
    for (const QByteArray &line : got.split('\n'))
        bad += !line.startsWith('$') || !Nmea::checksum(line.chopped(1));
    const int checksum = statistic(statsFile, "toClient/faults/checksum").toInt();
    const int garbage = statistic(statsFile, "toClient/faults/garbage").toInt();
    QVERIFY2(checksum > 10 && garbage > 10, got.constData());
    QCOMPARE(bad, checksum + garbage);
    QVERIFY(host.quit());
}

// The client end is made at the line's speed, so that a client that sets none (cat) is at it; a
// client that sets another is warned about once, and counted; the next finds the line's again.
void TstKelvaneHost::clientSpeed()
{
    QFETCH(int, line);
    QFETCH(uint, lineCode);
    QFETCH(int, set);
    QFETCH(uint, setCode);
    const QString statsFile = path("line.json");
    Host host(arguments(KELVANE_SIMULATOR_PLUGIN,
                        {"--baud", QString::number(line), "--stats", statsFile}));
    QVERIFY2(host.ready(), host.err.constData());
    termios settings = {};
    {
        Peer client(openClient());
        QVERIFY(::tcgetattr(client.fd, &settings) == 0);
        QCOMPARE(uint(::cfgetospeed(&settings)), lineCode);
        QVERIFY(gets(client, "\n"));
        QVERIFY(::cfsetspeed(&settings, setCode) == 0 &&
                ::tcsetattr(client.fd, TCSANOW, &settings) == 0);
        const QByteArray warning = "kelvane-host: warning: " + QFile::encodeName(link("client")) +
            " is set to " + QByteArray::number(set) + " baud, but the line runs at " +
            QByteArray::number(line) + " baud: on a serial line the client would read garbage\n";
        QVERIFY2(host.wait(host.err, warning), host.err.constData());
        // Set again, the same speed is no change.
        QVERIFY(::tcsetattr(client.fd, TCSANOW, &settings) == 0);
        QVERIFY(gets(client, "\n", client.received.count('\n') + 3));
        QCOMPARE(host.err.count(" is set to "), 1);
    }
    int statuses = 0;
    QVERIFY(waitFor(
        [&] {
            return host.says("status", "\nEvents: ", ++statuses) &&
                !statistic(statsFile, "clients/pty/open").toBool();
        },
        Deadline));
    QCOMPARE(statistic(statsFile, "clients/pty/wrongBaud").toInt(), 1);
    Peer next(openClient());
    QVERIFY(::tcgetattr(next.fd, &settings) == 0);
    QCOMPARE(uint(::cfgetospeed(&settings)), lineCode);
    QVERIFY(host.quit());
}

// The client's device goes away: its reader sees a hangup, the name goes, and comes back after
// the time given, with the line working again.
void TstKelvaneHost::hangup()
{
    Host host(arguments(KELVANE_PROBE_PLUGIN));
    QVERIFY2(host.ready(), host.err.constData());
    {
        Peer client(openClient());
        QVERIFY(host.says("fault hangup 1.5",
                          "Fault: hangup for 1.5 s, every client loses the device\n"));
        QVERIFY(waitFor([&] { return client.ended; }, Deadline));
    }
    QVERIFY(waitFor([&] { return !QFileInfo(link("client")).isSymLink(); }, Deadline));
    QVERIFY(waitFor([&] { return QFileInfo::exists(link("client")); }, Deadline));
    QVERIFY(host.wait(host.err,
                      "kelvane-host: fault hangup over: " + QFile::encodeName(link("client")) +
                          " is back\n"));
    Peer client(openClient());
    QVERIFY(waitFor([&] { return client.write("hi\n"); }, Deadline));
    QVERIFY(waitFor([&] { return client.received == "hi\n"; }, Deadline));
    QVERIFY(host.says("status", "\nEvents: unplug 0, stall 0, hangup 1, garbage 0\n"));
    QVERIFY(host.quit());
}

// The instrument over the network: the TCP clients, the pty end and a UDP destination each get
// the same stream from when they joined, starting at a whole line; any client's write is a
// command; a client beyond the limit is refused and one that vanishes leaves the others be;
// status and --stats count the bytes each got.
void TstKelvaneHost::network()
{
    Peer udp(socket(SOCK_DGRAM));
    const QString statsFile = path("line.json");
    // Pinged every 5 ms, the line at 115200 baud is always busy and hands out pieces of lines: a
    // client joins mid-line.
    Host host(arguments(KELVANE_SIMULATOR_PLUGIN,
                        {"--tcp", "0", "--tcp-max-clients", "3", "--udp",
                         QStringLiteral("127.0.0.1:%1").arg(portOf(udp)), "--udp-from", "127.0.0.1",
                         "--stats", statsFile}));
    QVERIFY2(host.ready(), host.err.constData());
    QVERIFY(host.out.contains(" from 127.0.0.1:"));
    const quint16 port = tcpPort(host.out);
    Peer a(socket(SOCK_STREAM, port));
    // The first ping shows the simulator has its end open: commands before it go unheard.
    QVERIFY(gets(a, "\n") && a.write("interval 0.005 #go"));
    Peer pty(openClient());
    QVERIFY(gets(pty, "\n", 11) && gets(a, "\n", 11));
    Peer b(socket(SOCK_STREAM, port));
    {
        Peer vanishing(socket(SOCK_STREAM, port));
        QVERIFY(waitFor([&] { return vanishing.received.size() > 100; }, Deadline));
    }
    // Closed with bytes unread, it may reset the connection rather than end it.
    QVERIFY(waitFor(
        [&] { return host.err.contains(" left after ") || host.err.contains(" lost after "); },
        Deadline));
    Peer d(socket(SOCK_STREAM, port));
    Peer refused(socket(SOCK_STREAM, port));
    QVERIFY(waitFor([&] { return refused.ended; }, Deadline) && gets(d, "\n", 11));
    QVERIFY(host.err.contains(" refused: 3 clients already (--tcp-max-clients)\n"));
    // One byte from b stops the pinging: the instrument's reply is the last every end gets; each
    // got the tail of a's stream from a line's start, a that of the UDP destination's.
    QVERIFY(b.write("x"));
    for (Peer *later : {&udp, &a, &b, &d, &pty}) {
        QVERIFY(waitFor([&] { return later->received.endsWith("\r\n>\r\n"); }, Deadline));
        const QByteArray &whole = later == &a || later == &udp ? udp.received : a.received;
        QVERIFY(whole.endsWith(later->received));
        QVERIFY(whole.size() == later->received.size() ||
                whole.at(whole.size() - later->received.size() - 1) == '\n');
    }
    QVERIFY(oneLineEach(udp));

    QVERIFY(host.says("status", "\nEvents: "));
    for (Peer *peer : {&a, &b, &d})
        QVERIFY2(host.out.contains("\n  TCP client 127.0.0.1:" + QByteArray::number(portOf(*peer)) +
                                   ": " + QByteArray::number(peer->received.size()) + " bytes\n"),
                 host.out.constData());
    QCOMPARE(statistic(statsFile, "clients/tcp/accepted").toInt(), 4);
    QCOMPARE(statistic(statsFile, "clients/tcp/refused").toInt(), 1);
    QCOMPARE(statistic(statsFile, "clients/tcp/connected").toArray().size(), 3);
    QCOMPARE(statistic(statsFile, "clients/pty/bytes").toInt(), pty.received.size());
    QCOMPARE(statistic(statsFile, "clients/udp/0/datagrams").toInt(), udp.reads.size());
    QVERIFY(host.quit());
}

// A client that stops reading is dropped once 1 MiB waits for it; another reads on. Without the
// pty end there is nothing to hang up.
void TstKelvaneHost::stalledClient()
{
    Host host(arguments(KELVANE_SIMULATOR_PLUGIN, {"--baud", "0", "--tcp", "0", "--no-pty"}));
    QVERIFY2(host.ready(), host.err.constData());
    Peer a(socket(SOCK_STREAM, tcpPort(host.out)));
    QVERIFY(gets(a, "\n"));
    const int stalled = socket(SOCK_STREAM, tcpPort(host.out));
    QVERIFY(host.wait(host.err, " connected (2 of at most 16)"));
    // Frames every millisecond, about 5 MB/s: a client that reads keeps up, on a loaded machine
    // too, while at interval 0 the simulator outruns the test's own reading.
    QVERIFY(a.write("interval 0.001 #range 10000 #output 2 #go"));
    QVERIFY(host.wait(host.err, ": it reads slower than the line carries\n"));
    const QRegularExpression drop(QStringLiteral(
        "TCP client 127\\.0\\.0\\.1:\\d+ dropped after \\d+ bytes: (\\d+) bytes waited for it, "
        "more than the bound of 1048576: it reads"));
    const QRegularExpressionMatch dropped = drop.match(QString::fromLocal8Bit(host.err));
    QVERIFY2(dropped.hasMatch() && dropped.captured(1).toInt() > 1048576, host.err.constData());
    const int atDrop = a.received.size();
    QVERIFY(waitFor([&] { return a.received.size() > atDrop + (1 << 20); }, Deadline));
    ::close(stalled);

    // A hangup without the pty end: the TCP clients lose the device, and may come back after.
    QVERIFY(
        host.says("fault hangup 0.5", "Fault: hangup for 0.5 s, every client loses the device\n"));
    QVERIFY(waitFor([&] { return a.ended; }, Deadline));
    QVERIFY(host.wait(host.err, " closed by the hangup after "));
    Peer back(socket(SOCK_STREAM, tcpPort(host.out)));
    QVERIFY(
        host.wait(host.err, "kelvane-host: fault hangup over: the TCP port takes clients again\n"));
    QVERIFY(gets(back, "\n"));
    QVERIFY(host.quit());
}

// A replay to a UDP destination, which hears everything from the start: every line of the
// instrument, whole and in order; then the host ends by itself. (When each byte is due is
// LineReplay's, tested in tst_linereplay.)
void TstKelvaneHost::replayEnds()
{
    QFETCH(bool, record);
    QFETCH(int, baud);
    const QByteArray bytes = deviceBytes(testData("replay-depth.record"));
    const QString file = record ? QStringLiteral(KELVANE_TEST_DATA_DIR "/replay-depth.record")
                                : path("capture.nmea");
    QVERIFY(record || writeFile(file, bytes));
    Peer udp(socket(SOCK_DGRAM));
    Host host({"--replay", file, "--no-pty", "--no-console", "--baud", QString::number(baud),
               "--udp", QStringLiteral("127.0.0.1:%1").arg(portOf(udp))});
    QVERIFY2(host.exited(0), host.err.constData());
    QVERIFY(host.err.endsWith("kelvane-host: replay: end of " + QFile::encodeName(file) + '\n'));
    // Bound to the loopback address, not to every interface.
    QVERIFY2(host.out.contains(" from 127.0.0.1:"), host.out.constData());
    udp.take();
    QCOMPARE(udp.received, bytes);
    QVERIFY(oneLineEach(udp));
}

// A looped replay to a TCP client, which joins mid-replay at a whole line; the client's commands
// reach no instrument: one log line, and they are recorded. Its file cut short ends it, with one
// line, rather than leave the line spinning over nothing. (Its rounds are LineReplay's, tested in
// tst_linereplay.)
void TstKelvaneHost::replayLoops()
{
    const QString record = path("replayed.record");
    const QString played = path("played.record");
    QVERIFY(QFile::copy(QStringLiteral(KELVANE_TEST_DATA_DIR "/replay-depth.record"), played));
    Host host({"--replay", played, "--loop", "--no-pty", "--tcp", "0", "--record", record});
    QVERIFY2(host.ready(), host.err.constData());
    Peer client(socket(SOCK_STREAM, tcpPort(host.out)));
    QVERIFY(gets(client, "$SMDPT,", 3) && client.received.startsWith('$'));
    // Each is recorded, and noticed once.
    for (const char *command : {"#go\r\n", "#stop\r\n"}) {
        QVERIFY(client.write(command));
        // " client #go" and its line ending, as an entry of its own has them.
        const QByteArray entry = LineRecord::format(0, LineRecord::Client, command).mid(8);
        QVERIFY(waitFor([&] { return readFile(record).contains(entry); }, Deadline));
    }
    QVERIFY(host.says("status", "\nSource: "));
    QVERIFY(QFile::resize(played, LineRecord::header().size()));
    QVERIFY2(host.exited(0), host.err.constData());
    QCOMPARE(host.err.count("replay: commands from clients reach no instrument"), 1);
    QCOMPARE(host.err.count(" changed while it played ("), 1);
}

// The control channel on the host: the console's commands run for real, the statistics that
// --stats writes, the line's and the plug-in's events in the order they happened, and a quit
// that is answered before the host ends and removes the socket.
void TstKelvaneHost::controlChannel()
{
    const QString control = path("control"), statsFile = path("line.json");
    Host host(arguments(KELVANE_SIMULATOR_PLUGIN, {"--control", control, "--stats", statsFile}));
    QVERIFY2(host.ready(), host.err.constData());
    Peer channel(unixSocket(QFile::encodeName(control)));
    QVERIFY(channel.readUntil("\n").startsWith(R"({"hello":"kelvane-host","protocol":1,)"));
    QStringList events; // but the log's, as they came
    // Sends request (unless empty), then reads up to the line with key: value (an answer's id,
    // an event's name).
    const auto until = [&](const char *key, const QJsonValue &value, const QByteArray &request) {
        channel.write(request.isEmpty() ? request : request + '\n');
        for (int i = 0; i < 1000; ++i) {
            const QJsonObject line = QJsonDocument::fromJson(channel.readUntil("\n")).object();
            if (line.contains("event") && line.value("event") != QLatin1String("log"))
                events << line.value("event").toString() + ' ' + line.value("fault").toString();
            if (line.isEmpty() || line.value(key) == value)
                return line;
        }
        return QJsonObject();
    };
    QVERIFY(until("id", 1, R"({"cmd": "subscribe", "id": 1})").value("ok").toBool());
    QVERIFY(until("id", 2,
                  R"({"cmd": "set", "group": "ECHOSOUNDER", "name": "MAX_DEPTH_M", )"
                  R"("value": 12.5, "id": 2})")
                .value("ok")
                .toBool());
    QCOMPARE(ini("ECHOSOUNDER/MAX_DEPTH_M"), QStringLiteral("12.5"));
    QVERIFY(host.says("status", "\nEvents: "));
    const QJsonObject written = QJsonDocument::fromJson(readFile(statsFile)).object();
    QCOMPARE(until("id", 3, R"({"cmd": "stats", "id": 3})").value("stats").toObject().keys(),
             written.keys());
    {
        Peer client(openClient());
        QCOMPARE(until("event", "clientEndOpened", {}).value("path").toString(), link("client"));
        QCOMPARE(until("id", 4, R"({"cmd": "fault", "event": "unplug", "seconds": 0.05, "id": 4})")
                     .value("text"),
                 "Fault: unplug for 0.05 s, silence both ways");
        QVERIFY(!until("event", "faultEnded", {}).isEmpty());
    }
    QVERIFY(!until("event", "clientEndClosed", {}).isEmpty());
    QCOMPARE(events,
             QStringList({"clientEndOpened ", "faultBegan unplug", "faultEnded unplug",
                          "clientEndClosed "}));
    QVERIFY(until("id", 5, R"({"cmd": "start", "id": 5})").value("ok").toBool());
    QCOMPARE(until("event", "log", {}).value("text"),
             "[ECHO] Dbg: Start request is called for Kelvane simulator plugin");
    QCOMPARE(until("id", 6, R"({"cmd": "quit", "id": 6})").value("ok"), true);
    QVERIFY(host.exited(0));
    QVERIFY(!QFileInfo::exists(control));
}

// The pty end, which nobody reads, holds the line only while it is alone: beside a TCP client
// it loses what its reader leaves past 1 MiB (counted), and the TCP client reads on.
void TstKelvaneHost::ptyEndBesideOthers()
{
    QVERIFY(writeFile(path("capture.nmea"), deviceBytes(testData("replay-depth.record"))));
    Host host({"--replay", path("capture.nmea"), "--loop", "--baud", "0", "--tcp", "0",
               "--link-dir", links, "--stats", path("line.json")});
    QVERIFY2(host.ready(), host.err.constData());
    const int unread = openClient();
    Peer a(socket(SOCK_STREAM, tcpPort(host.out)));
    QVERIFY2(host.wait(host.err, ": its reader left "), host.err.constData());
    const int atDrop = a.received.size();
    QVERIFY(waitFor([&] { return a.received.size() > atDrop + (1 << 20); }, Deadline));
    ::close(unread);
    QVERIFY(host.quit());
    QVERIFY(statistic(path("line.json"), "clients/pty/unheardBytes").toDouble() > (1 << 20));
}

// A client that sends faster than the line carries is dropped once 64 KiB of its commands wait;
// one that closes its sending side after a command ("printf CMD | nc -N") reads on.
void TstKelvaneHost::commandFlood()
{
    ::signal(SIGPIPE, SIG_IGN);
    Host host({"--replay", KELVANE_TEST_DATA_DIR "/replay-depth.record", "--loop", "--baud", "9600",
               "--no-pty", "--tcp", "0"});
    QVERIFY2(host.ready(), host.err.constData());
    Peer flood(socket(SOCK_STREAM, tcpPort(host.out)));
    Peer halfClosed(socket(SOCK_STREAM, tcpPort(host.out)));
    QVERIFY(halfClosed.write("#go\r\n") && ::shutdown(halfClosed.fd, SHUT_WR) == 0);
    flood.write(QByteArray(256 * 1024, 'x'));
    QVERIFY2(host.wait(host.err,
                       " bytes of its commands waited for the line, more than the bound "
                       "of 65536: it sends faster than the line carries\n"),
             host.err.constData());
    const int before = halfClosed.received.size();
    QVERIFY(waitFor([&] { return halfClosed.received.size() > before + 200; }, Deadline));
    QVERIFY(host.quit());
    QCOMPARE(host.err.count(" dropped after "), 1);
    QVERIFY(!host.err.contains(" left after "));
}

// A record that cannot be written on (past a file size limit here, a full disk in the field) is
// said once; the line goes on, and the exit status says the record is incomplete.
void TstKelvaneHost::recordWriteFails()
{
    QVERIFY(writeFile(path("capture.nmea"), deviceBytes(testData("replay-depth.record"))));
    QVERIFY(writeFile(path("stop.script"), "1 quit\n"));
    Peer udp(socket(SOCK_DGRAM));
    rlimit unlimited = {}, limited = {};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &unlimited) == 0);
    limited = {8192, unlimited.rlim_max};
    // Inherited by the host only: the limit is the test's own again once it started.
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &limited) == 0);
    Host host({"--replay", path("capture.nmea"), "--loop", "--baud", "0", "--no-pty",
               "--no-console", "--udp", QStringLiteral("127.0.0.1:%1").arg(portOf(udp)), "--record",
               path("line.record"), "--stats", path("line.json"), "--script", path("stop.script")});
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &unlimited) == 0);
    QVERIFY2(host.exited(4), host.err.constData());
    QCOMPARE(host.err.count("cannot write"), 1);
    QVERIFY(host.err.contains("error: cannot write " + QFile::encodeName(path("line.record")) +
                              ": File too large; the record ends here, the line goes on\n"));
    QVERIFY(statistic(path("line.json"), "toClient/bytesOut").toDouble() > 8192);
}

// A host blocked in a write (a FIFO whose reader does not read) still ends on SIGTERM.
void TstKelvaneHost::signalWhileBlocked()
{
    QVERIFY(writeFile(path("capture.nmea"), deviceBytes(testData("replay-depth.record"))));
    const QByteArray fifo = QFile::encodeName(path("record.fifo"));
    QVERIFY(::mkfifo(fifo.constData(), 0600) == 0);
    const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK);
    Peer udp(socket(SOCK_DGRAM));
    Host host({"--replay", path("capture.nmea"), "--loop", "--baud", "0", "--no-pty",
               "--no-console", "--udp", QStringLiteral("127.0.0.1:%1").arg(portOf(udp)), "--record",
               path("record.fifo")});
    int queued = 0;
    QVERIFY(waitFor([&] { return ::ioctl(reader, FIONREAD, &queued) == 0 && queued >= 32768; },
                    Deadline));
    host.process.terminate();
    QVERIFY2(host.exited(1), host.err.constData());
    ::close(reader);
}

// A host in the background process group of its terminal ("kelvane-host &") leaves its console
// unread, says so, and is not stopped (SIGTTIN) by a line typed there; SIGTERM ends it. The
// terminal is a pty, made the controlling terminal of a session (setsid -c) whose shell runs the
// host as a background job (set -m).
void TstKelvaneHost::backgroundConsole()
{
    Pty terminal;
    QStringList host = QStringList(KELVANE_HOST_BINARY) + arguments(KELVANE_PROBE_PLUGIN);
    if (!qEnvironmentVariableIsEmpty("KELVANE_EMULATOR"))
        host.prepend(qEnvironmentVariable("KELVANE_EMULATOR"));
    QProcess session;
    session.setStandardInputFile(terminal.slavePath());
    session.setStandardOutputFile(terminal.slavePath());
    session.setStandardErrorFile(terminal.slavePath());
    session.start("setsid",
                  QStringList {"-w", "-c", "sh", "-c", "set -m; \"$@\" & wait $!", "sh"} + host);
    QVERIFY(!terminal.readUntil("Console: type help", Deadline).isEmpty());
    QVERIFY(terminal.write("status\n"));
    QVERIFY(!terminal.readUntil("the console is in the background", Deadline).isEmpty());
    // The pair's lock names the host's process.
    const pid_t pid = readFile(link("kelvane-host.lock")).split('\n').at(0).toInt();
    QVERIFY(pid > 0 && ::kill(pid, SIGTERM) == 0);
    QVERIFY(session.waitForFinished(Deadline));
    QCOMPARE(session.exitCode(), 0);
}

// The manual page lists exactly the options of --help, and the exit statuses it lists.
void TstKelvaneHost::manPage()
{
    Host help({"--help"});
    QVERIFY(help.exited(0));
    QStringList helpOptions, helpStatuses;
    bool options = false, statuses = false;
    for (const QByteArray &line : help.out.split('\n')) {
        options = (options || line == "Options:") && !line.isEmpty();
        statuses = statuses || line == "Exit status:";
        if (options && line.startsWith("  -")) {
            const QByteArray names = line.mid(2, line.indexOf("  ", 2) - 2);
            for (const QByteArray &name : names.split(','))
                helpOptions << QString::fromLatin1(name.trimmed().split(' ').at(0));
        } else if (statuses && line.size() > 3 && std::isdigit(uchar(line.at(2)))) {
            helpStatuses << QString::fromLatin1(line.mid(2, line.indexOf(' ', 2) - 2));
        }
    }

    // The tags of OPTIONS and EXIT STATUS: the line after each .TP.
    QStringList pageOptions, pageStatuses;
    QString section;
    const QStringList page = QString::fromUtf8(readFile(KELVANE_HOST_MANPAGE)).split('\n');
    const QRegularExpression option(QStringLiteral("(?:^|[ \"])(--?[A-Za-z?][A-Za-z-]*)"));
    for (int i = 0; i + 1 < page.size(); ++i) {
        if (page.at(i).startsWith(QLatin1String(".SH ")))
            section = page.at(i).mid(4).remove(QLatin1Char('"'));
        if (page.at(i) != QLatin1String(".TP"))
            continue;
        const QString tag =
            QString(page.at(i + 1)).replace(QLatin1String("\\-"), QLatin1String("-"));
        if (section == QLatin1String("OPTIONS")) {
            for (auto match = option.globalMatch(tag); match.hasNext();)
                pageOptions << match.next().captured(1);
        } else if (section == QLatin1String("EXIT STATUS")) {
            pageStatuses << tag.section(QLatin1Char(' '), -1);
        }
    }
    QVERIFY(helpOptions.size() > 20 && helpStatuses.size() == 5);
    std::sort(helpOptions.begin(), helpOptions.end());
    std::sort(pageOptions.begin(), pageOptions.end());
    QCOMPARE(pageOptions, helpOptions);
    QCOMPARE(pageStatuses, helpStatuses);
}

QTEST_GUILESS_MAIN(TstKelvaneHost)
#include "tst_kelvanehost.moc"
