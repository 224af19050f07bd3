// kelvane-host: loads a payload plug-in the way the flight computer does and gives it a serial
// line, a pty pair of its own whose line it conditions or an existing device, plus a console for
// its settings and the line.

#include "app.h"
#include "console.h"
#include "exitstatus.h"
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

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char *const ProgramName = "kelvane-host";
// The device the host gives the plug-in, written into the run's settings for each run.
const QString DeviceKey = QStringLiteral("KELVANE_SIMULATOR/SERIAL_DEVICE");

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

// A mistake on the command line: the reason, a suggestion when there is one, and where to look.
[[noreturn]] void usageError(const QString &text, const QStringList &hints = {})
{
    fatal(text);
    for (const QString &hint : hints)
        Console::printError(hint);
    Console::printError(QStringLiteral("Try '%1 --help'.").arg(QLatin1String(ProgramName)));
    ::exit(ExitStatus::Usage);
}

// Edits from a to b, a swap of neighbours counting as one: "buad" is one edit from "baud".
int editDistance(const QString &a, const QString &b)
{
    std::vector<std::vector<int>> d(size_t(a.size() + 1), std::vector<int>(size_t(b.size() + 1)));
    for (int i = 0; i <= a.size(); ++i)
        d[size_t(i)][0] = i;
    for (int j = 0; j <= b.size(); ++j)
        d[0][size_t(j)] = j;
    for (int i = 1; i <= a.size(); ++i) {
        for (int j = 1; j <= b.size(); ++j) {
            const size_t x = size_t(i), y = size_t(j);
            d[x][y] = std::min({d[x - 1][y] + 1, d[x][y - 1] + 1,
                                d[x - 1][y - 1] + (a.at(i - 1) == b.at(j - 1) ? 0 : 1)});
            if (i > 1 && j > 1 && a.at(i - 1) == b.at(j - 2) && a.at(i - 2) == b.at(j - 1))
                d[x][y] = std::min(d[x][y], d[x - 2][y - 2] + 1);
        }
    }
    return d[size_t(a.size())][size_t(b.size())];
}

// The known options closest to an unknown one: one or two edits away (one for short names), or
// the only ones it begins (--tcp-max for --tcp-max-clients).
QStringList closestOptions(const QString &unknown, const QStringList &known)
{
    const int limit = unknown.size() >= 5 ? 2 : 1;
    int best = limit + 1;
    QStringList closest;
    for (const QString &name : known) {
        int distance = editDistance(unknown, name);
        if (unknown.size() >= 3 && name.startsWith(unknown))
            distance = std::min(distance, 1);
        if (distance < best)
            closest.clear();
        if (distance <= std::min(best, limit)) {
            best = distance;
            closest << name;
        }
    }
    return closest;
}

QString dashed(const QString &name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

QString dashedList(const QStringList &names, const QString &last)
{
    QStringList options;
    for (const QString &name : names)
        options << dashed(name);
    const QString head = QStringList(options.mid(0, options.size() - 1)).join(QStringLiteral(", "));
    return options.size() < 2 ? options.value(0)
                              : QStringLiteral("%1 %2 %3").arg(head, last, options.last());
}

// The parse errors of QCommandLineParser, with the hints a user needs to fix them.
[[noreturn]] void refuseArguments(const QCommandLineParser &parser, const QStringList &known)
{
    const QStringList unknown = parser.unknownOptionNames();
    if (unknown.isEmpty())
        usageError(parser.errorText());
    QStringList hints;
    for (const QString &name : unknown) {
        const QStringList closest = closestOptions(name, known);
        if (closest.isEmpty())
            continue;
        hints << (unknown.size() == 1
                      ? QStringLiteral("Did you mean %1?")
                            .arg(dashedList(closest, QStringLiteral("or")))
                      : QStringLiteral("Did you mean %1 for %2?")
                            .arg(dashedList(closest, QStringLiteral("or")), dashed(name)));
    }
    usageError(QStringLiteral("unknown option%1 %2")
                   .arg(unknown.size() == 1 ? QString() : QStringLiteral("s"),
                        dashedList(unknown, QStringLiteral("and"))),
               hints);
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
    // -baud means --baud: no option of the host is a cluster of single letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral(
        "Runs a payload plug-in (by default the Kelvane echo sounder simulator) the way the "
        "flight computer does, on a serial pty pair of its own or on an existing device, "
        "with a console on standard input (type help). On the pair the host carries the bytes "
        "between the two ends as a serial line would: paced at the baud rate, with the faults, "
        "talker, recording and statistics asked for below.\n"
        "Settings: the host runs on a copy of the settings file (--settings), DIR/settings.ini "
        "in the pair's folder (--link-dir; with --device DIR/settings-NAME.ini, NAME the "
        "device's), made at the start and left there after the run. "
        "The plug-in's defaults, the device the host gives it (KELVANE_SIMULATOR/SERIAL_DEVICE), "
        "APP/TELEMETRY_PERIOD_MS=1000 when it is missing, and the console's set and prune go to "
        "the copy only; the console's save (also a script line) writes the copy into the file, "
        "all but the device. Without a settings file a run starts with "
        "ECHOSOUNDER/MIN_DEPTH_M=2 and MAX_DEPTH_M=30."));
    const QCommandLineOption help = parser.addHelpOption();
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
                       "adapter) instead of making a pty pair; the line options below need the "
                       "pair."),
        QStringLiteral("PATH"));
    const QCommandLineOption linkDir(
        QStringLiteral("link-dir"),
        QStringLiteral("Folder of the pair's names DIR/simulator and DIR/client (default: "
                       "$XDG_RUNTIME_DIR/kelvane-host, or without it kelvane-host-UID in the "
                       "temporary folder)."),
        QStringLiteral("DIR"));
    const QCommandLineOption noConsole(
        QStringLiteral("no-console"),
        QStringLiteral("Do not read commands from standard input (run until SIGINT or SIGTERM, "
                       "or a script's quit), for a service or a CI job whose standard input is "
                       "empty."));
    const QCommandLineOption script(
        QStringLiteral("script"),
        QStringLiteral("Run the console commands of FILE, one \"SECONDS COMMAND\" a line, at "
                       "those times after the start, e.g. \"5 fault unplug 2\", \"20 quit\". "
                       "Every line is checked first; the end of standard input closes the "
                       "console but not the run while the script has lines to run; a command "
                       "that fails makes the exit status 3."),
        QStringLiteral("FILE"));
    parser.addOptions({settings, plugin, device, linkDir, noConsole, script});
    LineOptions::addTo(parser);

    QStringList known = LineOptions::names();
    known << QStringLiteral("help") << QStringLiteral("version") << QStringLiteral("settings")
          << QStringLiteral("plugin") << QStringLiteral("device") << QStringLiteral("link-dir")
          << QStringLiteral("no-console") << QStringLiteral("script");
    if (!parser.parse(app.arguments()))
        refuseArguments(parser, known);
    if (parser.isSet(help) || parser.optionNames().contains(QStringLiteral("help-all"))) {
        std::fputs(qPrintable(parser.helpText() + QLatin1Char('\n') + ExitStatus::helpText()),
                   stdout);
        ::exit(ExitStatus::Ok);
    }
    parser.process(app); // --version
    if (!parser.positionalArguments().isEmpty())
        usageError(QStringLiteral("unexpected argument %1")
                       .arg(parser.positionalArguments().constFirst()));
    // A value given twice would silently replace the first: only --udp takes several.
    for (const QString &name : qAsConst(known)) {
        const QStringList values = parser.values(name);
        if (name != QLatin1String("udp") && values.size() > 1)
            usageError(QStringLiteral("--%1 is given %2 times (%3); it takes one value (only "
                                      "--udp may be given more than once)")
                           .arg(name)
                           .arg(values.size())
                           .arg(values.join(QStringLiteral(", "))));
    }

    Options options;
    options.settingsPath = QFileInfo(parser.value(settings)).absoluteFilePath();
    if (QFileInfo(options.settingsPath).isDir()) {
        fatal(QStringLiteral("--settings %1 is a folder; give a file, e.g. %2")
                  .arg(options.settingsPath,
                       QDir(options.settingsPath).filePath(QStringLiteral("kelvane-host.ini"))));
        ::exit(ExitStatus::Usage);
    }
    // A relative path means the file in the working folder, not one in Qt's library paths.
    options.pluginPath = QFileInfo(parser.value(plugin)).absoluteFilePath();
    options.device = parser.value(device);
    // Looked up only when a pair is made.
    if (parser.isSet(linkDir))
        options.linkDir = QFileInfo(parser.value(linkDir)).absoluteFilePath();
    options.console = !parser.isSet(noConsole);
    options.scriptPath = parser.value(script);
    const QStringList lineOptions = LineOptions::given(parser);
    QString error;
    if (!options.device.isEmpty() && !lineOptions.isEmpty()) {
        fatal(QStringLiteral("%1 %2 the host's own pty pair: with --device the plug-in writes "
                             "straight to the device, and no line runs between it and the client "
                             "to pace, fault, record, count or serve over the network; leave out "
                             "--device to use %3")
                  .arg(dashedList(lineOptions, QStringLiteral("and")),
                       lineOptions.size() == 1 ? QStringLiteral("needs") : QStringLiteral("need"),
                       lineOptions.size() == 1 ? QStringLiteral("it") : QStringLiteral("them")));
        ::exit(ExitStatus::Usage);
    }
    if (!options.line.read(parser, &error)) {
        fatal(error);
        ::exit(ExitStatus::Usage);
    }
    if (!options.line.replayPath.isEmpty() && parser.isSet(plugin)) {
        fatal(QStringLiteral("--plugin does not apply to --replay: a replay runs no plug-in"));
        ::exit(ExitStatus::Usage);
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

// A warning for each line of the settings file that its INI reader reads past, saying what
// becomes of it.
QStringList droppedLineWarnings(const QString &path, const QString &why)
{
    QStringList warnings;
    for (const auto &line : SettingsFile::droppedLines(path)) {
        warnings << QStringLiteral("%1:%2: not NAME=VALUE, a [section] or blank; %3: %4")
                        .arg(path)
                        .arg(line.first)
                        .arg(why, line.second);
    }
    return warnings;
}

// The run's settings: a copy of the settings file in the run folder, so that nothing a run does
// (the plug-in writing its defaults back, set, prune, the device the host gives it) reaches the
// file itself unless save asks for it. The copy stays after the run, for a look at what the run
// ended with. False when it cannot be had.
bool prepareSettings(App &app, const Options &options, const QString &copyPath,
                     const QString &simulatorDevice)
{
    // The copy of a run before this one, and the locks its sync may have left.
    SettingsFile::removeStaleLocks(copyPath, 0);
    QFile::remove(copyPath);
    const bool newSettingsFile = !QFileInfo::exists(options.settingsPath);
    if (!newSettingsFile) {
        for (const QString &warning : droppedLineWarnings(options.settingsPath,
                                                          QStringLiteral("the host reads past it, "
                                                                         "and save would drop it")))
            warn(warning);
        QFile file(options.settingsPath);
        if (!file.copy(copyPath)) {
            fatal(QStringLiteral("cannot copy %1 to %2: %3")
                      .arg(options.settingsPath, copyPath, file.errorString()));
            return false;
        }
        QFile::setPermissions(copyPath, QFile::ReadOwner | QFile::WriteOwner);
    }
    app.loadSettings(copyPath);

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
    store->setValue(DeviceKey, simulatorDevice);
    app.syncSettings();
    // A format error is the lines warned about above, which the copy goes without.
    if (store->status() == QSettings::AccessError) {
        fatal(QStringLiteral("cannot write %1").arg(copyPath));
        return false;
    }
    return true;
}

// The console's save: the run's settings into the settings file, all but the device of this run
// (the file keeps its own). False with *error when the file cannot be written.
bool saveSettings(App &app, const QString &path, QString *error)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        *error = QStringLiteral("cannot create the folder of %1").arg(path);
        return false;
    }
    // A lock that would stall the write, and lines the write drops, of which a copy is kept.
    for (const QString &lock : SettingsFile::removeStaleLocks(path))
        warn(
            QStringLiteral("removed the empty lock file %1 left by a process that died").arg(lock));
    const QStringList dropped = droppedLineWarnings(path, QStringLiteral("save drops it"));
    for (const QString &warning : dropped)
        warn(warning);
    if (!dropped.isEmpty()) {
        const QString copy = path + QStringLiteral(".bak");
        QFile::remove(copy);
        if (QFile::copy(path, copy))
            warn(QStringLiteral("kept a copy of the file as it was in %1").arg(copy));
        else
            warn(QStringLiteral("could not keep a copy of the file in %1").arg(copy));
    }
    return SettingsFile::save(*app.settings(), path, DeviceKey, error);
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
        return ExitStatus::Failure;
    }

    // A bad script is a usage error, found before anything starts, every bad line at once.
    Script script;
    QStringList scriptErrors;
    if (!options.scriptPath.isEmpty() && !script.load(options.scriptPath, &scriptErrors)) {
        for (const QString &error : qAsConst(scriptErrors))
            fatal(error);
        return ExitStatus::Usage;
    }
    if (!options.scriptPath.isEmpty() && !script.hasQuit())
        warn(QStringLiteral("%1 has no quit: the host runs on after its last line until quit, "
                            "SIGINT or SIGTERM")
                 .arg(options.scriptPath));

    // A pair of ptys, or one: the simulator's end unless it replays, the client's unless
    // --no-pty. Their folder is the run's, which also holds the run's settings (none in a
    // replay): with the pair, under the pair's lock; with --device, named after the device,
    // which is one host's at a time.
    const bool simulatorPty = options.device.isEmpty() && !replaying;
    const bool clientPty = options.device.isEmpty() && options.line.pty;
    const bool runFolder = simulatorPty || clientPty || !replaying;
    const QString linkDir =
        runFolder && options.linkDir.isEmpty() ? defaultLinkDir() : options.linkDir;
    if (runFolder && linkDir.isEmpty())
        return ExitStatus::Failure;
    PtyPair pair(linkDir);
    pair.setClientBaud(options.line.baud);
    QString simulatorDevice = options.device;
    if (!simulatorDevice.isEmpty()) {
        if (!checkDevice(simulatorDevice))
            return ExitStatus::Failure;
        if (!QDir().mkpath(linkDir)) {
            fatal(QStringLiteral("cannot create the folder %1").arg(linkDir));
            return ExitStatus::Failure;
        }
    } else if (simulatorPty || clientPty) {
        if (!pair.open(simulatorPty, clientPty)) {
            fatal(pair.errorString());
            return ExitStatus::Failure;
        }
        if (simulatorPty)
            simulatorDevice = pair.simulatorEnd();
    }
    const QString runSettings = QDir(linkDir).filePath(
        options.device.isEmpty()
            ? QStringLiteral("settings.ini")
            : QStringLiteral("settings-%1.ini").arg(QFileInfo(options.device).fileName()));
    // The line between the source and the client ends, relaying from the start: the plug-in's
    // first bytes already cross it.
    std::unique_ptr<LineSession> line;
    if (options.device.isEmpty()) {
        line = std::make_unique<LineSession>(options.line, pair.isOpen() ? &pair : nullptr);
        QString error;
        int status = ExitStatus::Failure;
        if (!line->open(&error, &status)) {
            fatal(error);
            return status;
        }
    }

    if (!replaying) {
        if (!prepareSettings(app, options, runSettings, simulatorDevice))
            return ExitStatus::Failure;
        if (!host.load()) {
            fatal(host.errorString());
            return ExitStatus::Failure;
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
        Console::print(QStringLiteral("Settings: %1, run on a copy in %2 (save writes it back)")
                           .arg(options.settingsPath, runSettings));
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
        const QString exposure = line->exposure();
        if (!exposure.isEmpty())
            warn(exposure);
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
            app.exit(ExitStatus::Failure);
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
    bool scriptFailed = false;
    bool unsaved = false; ///< a set or prune since the start or the last save
    if (options.console || !options.scriptPath.isEmpty()) {
        console = std::make_unique<Console>(options.console ? 0 : -1);
        Console *commands = console.get();
        if (options.console)
            Console::print(QStringLiteral("Console: type help for the commands."));
        if (replaying) {
            const auto refuse = [commands] {
                commands->fail(QStringLiteral("no plug-in runs in a replay"));
            };
            QObject::connect(commands, &Console::setRequested, &host, refuse);
            QObject::connect(commands, &Console::pruneRequested, &host, refuse);
            QObject::connect(commands, &Console::saveRequested, &host, refuse);
            QObject::connect(commands, &Console::startRequested, &host, refuse);
            QObject::connect(commands, &Console::stopRequested, &host, refuse);
        } else {
            QObject::connect(commands, &Console::setRequested, &host,
                             [&host, &unsaved](const QByteArray &group, const QByteArray &name,
                                               const QString &value) {
                                 host.updateSetting(group, name, value);
                                 unsaved = true;
                             });
            QObject::connect(commands, &Console::pruneRequested, &host,
                             [&host, &unsaved] { unsaved = host.prune() || unsaved; });
            QObject::connect(
                commands, &Console::saveRequested, &host, [&app, &options, &unsaved, commands] {
                    QString error;
                    if (!saveSettings(app, options.settingsPath, &error)) {
                        commands->fail(error);
                        return;
                    }
                    unsaved = false;
                    Console::print(
                        QStringLiteral("Saved the settings into %1").arg(options.settingsPath));
                });
            QObject::connect(commands, &Console::startRequested, &host, [&host] {
                host.requestStart();
                Console::print(
                    QStringLiteral("Start requested; serial port: %1").arg(host.portState()));
            });
            QObject::connect(commands, &Console::stopRequested, &host, [&host] {
                host.stop();
                Console::print(QStringLiteral("Stopped; serial port: %1").arg(host.portState()));
            });
        }
        QObject::connect(commands, &Console::statusRequested, &host,
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
            commands, &Console::faultRequested, &host, [&line, commands](const QString &arguments) {
                QString error, done;
                if (!line)
                    commands->fail(QStringLiteral("fault needs the host's pty pair, not --device"));
                else if (!line->fault(arguments, &error, &done))
                    commands->fail(error);
                else
                    Console::print(done);
            });
        // A script's command that fails is reported with its line, and fails the run.
        QObject::connect(&script, &Script::due, commands,
                         [commands, &script, &scriptFailed](const Script::Line &scriptLine) {
                             QString error;
                             if (!commands->run(scriptLine.command, &error)) {
                                 fatal(script.describe(scriptLine, error));
                                 scriptFailed = true;
                             }
                         });
        QObject::connect(commands, &Console::quitRequested, &app,
                         [&app] { app.exit(ExitStatus::Ok); });
        QObject::connect(commands, &Console::inputClosed, &app, [&app, &script, &options] {
            if (script.isRunning()) {
                // A CI job's standard input is often empty: the script is what it runs.
                Console::printError(
                    QStringLiteral("%1: end of input: the console is closed; the run goes on with "
                                   "%2 until its quit (or SIGINT, SIGTERM)")
                        .arg(QLatin1String(ProgramName), options.scriptPath));
                return;
            }
            // Often standard input that was empty from the start: </dev/null, docker without -i.
            Console::printError(QStringLiteral("%1: end of input: stopping (use --no-console to "
                                               "keep running)")
                                    .arg(QLatin1String(ProgramName)));
            app.exit(ExitStatus::Ok);
        });
    }

    host.requestStart();
    script.start();
    int status = app.exec();
    if (unsaved)
        Console::printError(QStringLiteral("%1: the settings changed in this run were not saved "
                                           "into %2 (save writes them)")
                                .arg(QLatin1String(ProgramName), options.settingsPath));
    if (scriptFailed) {
        fatal(QStringLiteral("a command of %1 failed (see above)").arg(options.scriptPath));
        if (status == ExitStatus::Ok)
            status = ExitStatus::ScriptFailed;
    }

    // In the flight computer's order: stop, delete the plug-in; App, destroyed by the caller,
    // then flushes the run's settings. The pair goes once nothing uses it.
    console.reset();
    host.unload();
    if (line) {
        line->stop();
        QString error;
        if (!line->writeStats(&error)) {
            fatal(error);
            status = status == ExitStatus::Ok ? ExitStatus::Failure : status;
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
