// kelvane-host: loads a payload plug-in the way the flight computer does and gives it a serial
// line, a pty pair of its own whose line it conditions or an existing device, plus a console for
// its settings and the line.

#include "app.h"
#include "console.h"
#include "linesession.h"
#include "payloadhost.h"
#include "ptypair.h"
#include "script.h"
#include "settingsfile.h"
#include "signalwatcher.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QSettings>
#include <QStandardPaths>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *const ProgramName = "kelvane-host";

struct Options
{
    QString settingsPath;
    QString pluginPath;
    QString device;
    QString linkDir;
    bool console = true;
    LineOptions line;
    QString scriptPath;
};

void fatal(const QString &text)
{
    Console::printError(QStringLiteral("%1: error: %2").arg(QLatin1String(ProgramName), text));
}

void warn(const QString &text)
{
    Console::printError(QStringLiteral("%1: warning: %2").arg(QLatin1String(ProgramName), text));
}

// The plug-in that belongs with this binary: an installed host takes the plug-in installed with
// it (found relative to itself, so that an install under another prefix works), a host run from
// the build tree takes the one built beside it, so that a fresh build is never shadowed by an
// older installed copy. Each falls back to the other when its own is missing.
QString defaultPlugin()
{
    const QString appDir = QCoreApplication::applicationDirPath();
    const QString beside =
        QDir::cleanPath(QDir(appDir).filePath(QStringLiteral(KELVANE_RELATIVE_PLUGIN)));
    const QString built = QStringLiteral(KELVANE_BUILD_PLUGIN);
    const bool inBuildTree = QDir(appDir) == QDir(QStringLiteral(KELVANE_BUILD_HOST_DIR));
    const QStringList candidates = inBuildTree
        ? QStringList {built, beside, QStringLiteral(KELVANE_INSTALLED_PLUGIN)}
        : QStringList {beside, QStringLiteral(KELVANE_INSTALLED_PLUGIN), built};
    for (const QString &candidate : candidates) {
        if (QFileInfo::exists(candidate))
            return candidate;
    }
    return candidates.constFirst();
}

// $XDG_RUNTIME_DIR/kelvane-host; without XDG_RUNTIME_DIR (sudo, a container) a folder of our
// own in the temporary folder rather than Qt's stand-in, which it makes with a warning. The
// folder is private (0700) and must be ours: a name in /tmp can be taken by anyone first.
// Empty, with the reason printed, when that folder cannot be had.
QString defaultLinkDir()
{
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        return QDir(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation))
            .filePath(QStringLiteral("kelvane-host"));
    }
    const QString dir =
        QDir(QDir::tempPath()).filePath(QStringLiteral("kelvane-host-%1").arg(::getuid()));
    const QByteArray path = QFile::encodeName(dir);
    struct stat info = {};
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        fatal(QStringLiteral("cannot create the folder %1: %2; pass --link-dir")
                  .arg(dir, QString::fromLocal8Bit(std::strerror(errno))));
        return QString();
    }
    if (::lstat(path.constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::getuid() || (info.st_mode & 077) != 0) {
        fatal(QStringLiteral("%1 is not a private folder of this user; pass --link-dir").arg(dir));
        return QString();
    }
    return dir;
}

Options parseOptions(const App &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Runs a payload plug-in (by default the Kelvane echo sounder simulator) the way the "
        "flight computer does, on a serial pty pair of its own or on an existing device, "
        "with a console on standard input (type help). On the pair the host carries the bytes "
        "between the two ends as a serial line would: paced at the baud rate, with the faults, "
        "talker, recording and statistics asked for below.\n"
        "The host writes KELVANE_SIMULATOR/SERIAL_DEVICE (the device it gives the plug-in) and, "
        "when it is missing, APP/TELEMETRY_PERIOD_MS=1000 into the settings file, so two hosts "
        "that run at once need a settings file each (--settings): with one file they overwrite "
        "each other's device. A settings file it creates also gets ECHOSOUNDER/MIN_DEPTH_M=2 and "
        "MAX_DEPTH_M=30."));
    parser.addHelpOption();
    parser.addVersionOption();

    const QString configDir = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    const QString settingsDefault = QDir(configDir).filePath(QStringLiteral("kelvane-host.ini"));
    const QString pluginDefault = defaultPlugin();
    const QCommandLineOption settings(
        QStringLiteral("settings"),
        QStringLiteral("The INI settings file (default: %1).").arg(settingsDefault),
        QStringLiteral("FILE"), settingsDefault);
    const QCommandLineOption plugin(
        QStringLiteral("plugin"),
        QStringLiteral("The plug-in library (default: %1).").arg(pluginDefault),
        QStringLiteral("FILE"), pluginDefault);
    const QCommandLineOption device(
        QStringLiteral("device"),
        QStringLiteral("Give the plug-in this existing serial device (a pty, a USB serial "
                       "adapter) instead of making a pty pair."),
        QStringLiteral("PATH"));
    const QCommandLineOption linkDir(
        QStringLiteral("link-dir"),
        QStringLiteral("Folder of the pair's names DIR/simulator and DIR/client (default: "
                       "$XDG_RUNTIME_DIR/kelvane-host, or without it kelvane-host-UID in the "
                       "temporary folder)."),
        QStringLiteral("DIR"));
    const QCommandLineOption noConsole(
        QStringLiteral("no-console"),
        QStringLiteral("Do not read commands from standard input (run until SIGINT or SIGTERM), "
                       "for a service whose standard input is empty."));
    const QCommandLineOption script(
        QStringLiteral("script"),
        QStringLiteral("Run the console commands of FILE, one \"SECONDS COMMAND\" a line, at "
                       "those times after the start, e.g. \"5 fault unplug 2\", \"20 quit\"."),
        QStringLiteral("FILE"));
    parser.addOptions({settings, plugin, device, linkDir, noConsole, script});
    LineOptions::addTo(parser);
    parser.process(app);

    if (!parser.positionalArguments().isEmpty()) {
        fatal(QStringLiteral("unexpected argument %1; see --help")
                  .arg(parser.positionalArguments().constFirst()));
        ::exit(2);
    }
    Options options;
    options.settingsPath = QFileInfo(parser.value(settings)).absoluteFilePath();
    if (QFileInfo(options.settingsPath).isDir()) {
        fatal(QStringLiteral("--settings %1 is a folder; give a file, e.g. %2")
                  .arg(options.settingsPath,
                       QDir(options.settingsPath).filePath(QStringLiteral("kelvane-host.ini"))));
        ::exit(2);
    }
    // A relative path means the file in the working folder, not one in Qt's library paths.
    options.pluginPath = QFileInfo(parser.value(plugin)).absoluteFilePath();
    options.device = parser.value(device);
    // Looked up only when a pair is made.
    if (parser.isSet(linkDir))
        options.linkDir = QFileInfo(parser.value(linkDir)).absoluteFilePath();
    options.console = !parser.isSet(noConsole);
    options.scriptPath = parser.value(script);
    const QString lineOption = LineOptions::anyGiven(parser);
    QString error;
    if (!options.device.isEmpty() && !lineOption.isEmpty()) {
        fatal(QStringLiteral("--%1 needs the host's pty pair; it does not apply to --device")
                  .arg(lineOption));
        ::exit(2);
    }
    if (!options.line.read(parser, &error)) {
        fatal(error);
        ::exit(2);
    }
    if (!options.line.replayPath.isEmpty() && parser.isSet(plugin)) {
        fatal(QStringLiteral("--plugin does not apply to --replay: a replay runs no plug-in"));
        ::exit(2);
    }
    return options;
}

// The plug-in opens its device only in start(), where a failure is one log line and the host
// would run on without a serial line: the device is tried here first, as the plug-in opens it.
bool checkDevice(const QString &path)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        fatal(QStringLiteral("device %1 does not exist").arg(path));
        return false;
    }
    if (!S_ISCHR(info.st_mode)) {
        fatal(QStringLiteral("%1 is no serial device (not a character device)").arg(path));
        return false;
    }
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        fatal(error == EBUSY ? QStringLiteral("%1 is in use by another program").arg(path)
                             : QStringLiteral("cannot open %1: %2")
                                   .arg(path, QString::fromLocal8Bit(std::strerror(error))));
        return false;
    }
    const bool terminal = ::isatty(fd);
    ::close(fd);
    if (!terminal) {
        fatal(QStringLiteral("%1 is no serial port (not a terminal)").arg(path));
        return false;
    }
    // QSerialPort also takes the device's lock file, which another serial program may hold.
    QSerialPort port(path);
    if (!port.open(QIODevice::ReadWrite)) {
        fatal(port.error() == QSerialPort::PermissionError
                  ? QStringLiteral("%1 is in use by another program").arg(path)
                  : QStringLiteral("cannot open %1: %2").arg(path, port.errorString()));
        return false;
    }
    return true;
}

// Before the store opens the file: a lock that would stall its first sync, and lines its next
// write would drop, of which a copy is kept.
void checkSettingsFile(const QString &path)
{
    const QStringList locks = SettingsFile::removeStaleLocks(path);
    for (const QString &lock : locks)
        warn(
            QStringLiteral("removed the empty lock file %1 left by a process that died").arg(lock));
    const auto dropped = SettingsFile::droppedLines(path);
    if (dropped.isEmpty())
        return;
    for (const auto &line : dropped) {
        warn(QStringLiteral("%1:%2: not NAME=VALUE, a [section] or blank; the next write of the "
                            "file drops it: %3")
                 .arg(path)
                 .arg(line.first)
                 .arg(line.second));
    }
    const QString copy = path + QStringLiteral(".bak");
    QFile::remove(copy);
    if (QFile::copy(path, copy))
        warn(QStringLiteral("kept a copy of the file as it was in %1").arg(copy));
    else
        warn(QStringLiteral("could not keep a copy of the file in %1").arg(copy));
}

// The settings file, with what the host writes into it for the plug-in; false when it cannot be
// had.
bool prepareSettings(App &app, const Options &options, const QString &simulatorDevice)
{
    if (!QDir().mkpath(QFileInfo(options.settingsPath).absolutePath())) {
        fatal(QStringLiteral("cannot create the folder of %1").arg(options.settingsPath));
        return false;
    }
    checkSettingsFile(options.settingsPath);
    const bool newSettingsFile = !QFileInfo::exists(options.settingsPath);
    app.loadSettings(options.settingsPath);

    // Written straight into the store, not through App::updateSetting: no component exists yet
    // to hear a setting signal, and these values are the host's configuration of the plug-in
    // rather than a change while it runs. The plug-in reads both in its constructor.
    QSettings *store = app.settings();
    const QString periodKey = QStringLiteral("APP/TELEMETRY_PERIOD_MS");
    // An empty period makes the base's telemetry timer fire on every pass of the event loop.
    if (!store->value(periodKey).isValid() || store->value(periodKey).toString().isEmpty())
        store->setValue(periodKey, 1000);
    // A first run shows a moving bottom rather than a depth of 0 m.
    if (newSettingsFile) {
        for (const auto &[key, value] :
             {std::pair<const char *, int> {"ECHOSOUNDER/MIN_DEPTH_M", 2},
              std::pair<const char *, int> {"ECHOSOUNDER/MAX_DEPTH_M", 30}}) {
            if (!store->contains(QLatin1String(key)))
                store->setValue(QLatin1String(key), value);
        }
    }
    store->setValue(QStringLiteral("KELVANE_SIMULATOR/SERIAL_DEVICE"), simulatorDevice);
    app.syncSettings();
    // The store keeps working in memory when it cannot write; say so, once, before it matters.
    if (store->status() == QSettings::AccessError)
        warn(QStringLiteral("cannot write %1: setting changes last only until the host ends")
                 .arg(options.settingsPath));
    return true;
}

int run(App &app)
{
    const Options options = parseOptions(app);
    const bool replaying = !options.line.replayPath.isEmpty();

    // Watched from here on, so that a signal during start-up still ends the host in order.
    SignalWatcher signalWatcher({SIGINT, SIGTERM, SIGHUP});
    ::signal(SIGPIPE, SIG_IGN);

    PayloadHost host(&app);
    if (!replaying && !host.check(options.pluginPath)) {
        fatal(host.errorString());
        return 1;
    }

    // A bad script is a usage error, found before anything starts.
    Script script;
    QString scriptError;
    if (!options.scriptPath.isEmpty() && !script.load(options.scriptPath, &scriptError)) {
        fatal(scriptError);
        return 2;
    }

    // A pair of ptys, or one: the simulator's end unless it replays, the client's unless
    // --no-pty.
    const bool simulatorPty = options.device.isEmpty() && !replaying;
    const bool clientPty = options.device.isEmpty() && options.line.pty;
    const QString linkDir = (simulatorPty || clientPty) && options.linkDir.isEmpty()
        ? defaultLinkDir()
        : options.linkDir;
    if ((simulatorPty || clientPty) && linkDir.isEmpty())
        return 1;
    PtyPair pair(linkDir);
    QString simulatorDevice = options.device;
    if (!simulatorDevice.isEmpty()) {
        if (!checkDevice(simulatorDevice))
            return 1;
    } else if (simulatorPty || clientPty) {
        if (!pair.open(simulatorPty, clientPty)) {
            fatal(pair.errorString());
            return 1;
        }
        if (simulatorPty)
            simulatorDevice = pair.simulatorEnd();
    }
    // The line between the source and the client ends, relaying from the start: the plug-in's
    // first bytes already cross it.
    std::unique_ptr<LineSession> line;
    if (options.device.isEmpty()) {
        line = std::make_unique<LineSession>(options.line, pair.isOpen() ? &pair : nullptr);
        QString error;
        int status = 1;
        if (!line->open(&error, &status)) {
            fatal(error);
            return status;
        }
    }

    if (!replaying) {
        if (!prepareSettings(app, options, simulatorDevice))
            return 1;
        if (!host.load()) {
            fatal(host.errorString());
            return 1;
        }
    }

    QStringList deviceLines;
    if (!replaying)
        deviceLines << QStringLiteral("Simulator device: %1").arg(simulatorDevice);
    if (clientPty)
        deviceLines << QStringLiteral("Client device: %1").arg(pair.clientEnd());
    if (!replaying) {
        Console::print(QStringLiteral("Plug-in: %1").arg(host.identity()));
        Console::print(QStringLiteral("Metadata: %1").arg(host.metaDataText()));
        Console::print(QStringLiteral("Settings: %1").arg(options.settingsPath));
    }
    for (const QString &deviceLine : qAsConst(deviceLines))
        Console::print(deviceLine);
    if (line) {
        // Not a terminal program: it would send each key as one command text.
        if (clientPty)
            Console::print(QStringLiteral("Connect your client to %1 (%2 baud), e.g. "
                                          "kelvane-scope %1 or cat %1; to type commands a line "
                                          "at a time: socat -,icanon=1 %1,raw,echo=0")
                               .arg(pair.clientEnd())
                               .arg(options.line.baud == 0 ? 115200 : options.line.baud));
        for (const QString &endLine : line->endLines())
            Console::print(endLine);
        Console::print(line->description());
    }

    host.connectSignals();
    QObject::connect(&signalWatcher, &SignalWatcher::caught, &app, [&app](int number) {
        Console::printError(
            QStringLiteral("%1: %2 received, stopping")
                .arg(QLatin1String(ProgramName), SignalWatcher::signalName(number)));
        app.exit(0);
    });
    if (line) {
        QObject::connect(line.get(), &LineSession::failed, &app, [&app](const QString &reason) {
            fatal(reason);
            app.exit(1);
        });
        QObject::connect(line.get(), &LineSession::notice, &app, [](const QString &text) {
            Console::printError(QStringLiteral("%1: %2").arg(QLatin1String(ProgramName), text));
        });
        QObject::connect(line.get(), &LineSession::replayEnded, &app, [&app, &options] {
            Console::printError(QStringLiteral("%1: replay: end of %2")
                                    .arg(QLatin1String(ProgramName), options.line.replayPath));
            app.exit(0);
        });
    }

    // Without a console on standard input, a script still runs its commands through one.
    std::unique_ptr<Console> console;
    if (options.console || !options.scriptPath.isEmpty()) {
        console = std::make_unique<Console>(options.console ? 0 : -1);
        if (options.console)
            Console::print(QStringLiteral("Console: type help for the commands."));
        if (replaying) {
            const auto refuse = [] {
                Console::printError(QStringLiteral("error: no plug-in runs in a replay"));
            };
            QObject::connect(console.get(), &Console::setRequested, &host, refuse);
            QObject::connect(console.get(), &Console::pruneRequested, &host, refuse);
            QObject::connect(console.get(), &Console::startRequested, &host, refuse);
            QObject::connect(console.get(), &Console::stopRequested, &host, refuse);
        } else {
            QObject::connect(console.get(), &Console::setRequested, &host,
                             &PayloadHost::updateSetting);
            QObject::connect(console.get(), &Console::pruneRequested, &host, &PayloadHost::prune);
            QObject::connect(console.get(), &Console::startRequested, &host,
                             &PayloadHost::requestStart);
            QObject::connect(console.get(), &Console::stopRequested, &host, &PayloadHost::stop);
        }
        QObject::connect(console.get(), &Console::statusRequested, &host,
                         [&host, &line, deviceLines, replaying] {
                             QStringList lines = replaying ? deviceLines : host.status(deviceLines);
                             if (line) {
                                 lines << line->status();
                                 QString error;
                                 if (!line->writeStats(&error))
                                     warn(error);
                             }
                             Console::print(lines.join(QLatin1Char('\n')));
                         });
        QObject::connect(
            console.get(), &Console::faultRequested, &host, [&line](const QString &arguments) {
                QString error;
                if (!line)
                    Console::printError(
                        QStringLiteral("error: fault needs the host's pty pair, not --device"));
                else if (!line->fault(arguments, &error))
                    Console::printError(QStringLiteral("error: %1").arg(error));
            });
        QObject::connect(&script, &Script::due, console.get(), &Console::execute);
        QObject::connect(console.get(), &Console::quitRequested, &app, [&app] { app.exit(0); });
        QObject::connect(console.get(), &Console::inputClosed, &app, [&app] {
            // Often standard input that was empty from the start: </dev/null, docker without -i.
            Console::printError(QStringLiteral("%1: end of input: stopping (use --no-console to "
                                               "keep running)")
                                    .arg(QLatin1String(ProgramName)));
            app.exit(0);
        });
    }

    host.requestStart();
    script.start();
    int status = app.exec();

    // In the flight computer's order: stop, delete the plug-in; App, destroyed by the caller,
    // then flushes the settings file. The pair goes once nothing uses it.
    console.reset();
    host.unload();
    if (line) {
        line->stop();
        QString error;
        if (!line->writeStats(&error)) {
            fatal(error);
            status = status == 0 ? 1 : status;
        }
        line.reset();
    }
    pair.close();
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication::setApplicationName(QLatin1String(ProgramName));
    QCoreApplication::setApplicationVersion(QStringLiteral(KELVANE_VERSION));
    int status;
    {
        App app(argc, argv);
        status = run(app);
    }
    return status;
}
