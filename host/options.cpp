#include "options.h"

#include "console.h"
#include "exitstatus.h"
#include "report.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

namespace {

// One option: how --help shows it and how its value is read into the options. A flag has no
// valueName and its reader gets an empty text. A reader returns false with *error for a bad value.
struct Option
{
    const char *name;
    const char *valueName; ///< null: a flag
    const char *help; ///< "%1" stands for the default of defaultValue()
    bool line; ///< a line option: it needs the host's own pty pair
    bool (*read)(const QString &value, Options *options, QString *error);
    QString (*defaultValue)();
};

QString settingsDefault()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation))
        .filePath(QStringLiteral("kelvane-host.ini"));
}

// The plug-in that belongs with this binary: an installed host takes the plug-in installed with
// it (found relative to itself, so that an install under another prefix works), a host run from
// the build tree takes the one built beside it, so that a fresh build is never shadowed by an
// older installed copy. Each falls back to the other when its own is missing.
QString pluginDefault()
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

bool readFaults(const char *name, const QString &value, LineFaultRates *rates, QString *error)
{
    QString why;
    if (rates->parse(value, &why))
        return true;
    *error = QStringLiteral("--%1: %2").arg(QLatin1String(name), why);
    return false;
}

const Option table[] = {
    {"settings", "FILE", "The INI settings file (default: %1).", false,
     [](const QString &value, Options *o, QString *error) {
         o->settingsPath = QFileInfo(value).absoluteFilePath();
         if (!QFileInfo(o->settingsPath).isDir())
             return true;
         *error = QStringLiteral("--settings %1 is a folder; give a file, e.g. %2")
                      .arg(o->settingsPath,
                           QDir(o->settingsPath).filePath(QStringLiteral("kelvane-host.ini")));
         return false;
     },
     settingsDefault},
    {"plugin", "FILE", "The plug-in library (default: %1).", false,
     [](const QString &value, Options *o, QString *) {
         // A relative path means the file in the working folder, not one in Qt's library paths.
         o->pluginPath = QFileInfo(value).absoluteFilePath();
         return true;
     },
     pluginDefault},
    {"device", "PATH",
     "Give the plug-in this existing serial device (a pty, a USB serial adapter) instead of "
     "making a pty pair; the line options below need the pair.",
     false,
     [](const QString &value, Options *o, QString *) {
         o->device = value;
         return true;
     },
     nullptr},
    {"link-dir", "DIR",
     "Folder of the pair's names DIR/simulator and DIR/client (default: "
     "$XDG_RUNTIME_DIR/kelvane-host, or without it kelvane-host-UID in the temporary folder).",
     false,
     [](const QString &value, Options *o, QString *) {
         o->linkDir = QFileInfo(value).absoluteFilePath();
         return true;
     },
     nullptr},
    {"no-console", nullptr,
     "Do not read commands from standard input (run until SIGINT or SIGTERM, or a script's "
     "quit), for a service or a CI job whose standard input is empty.",
     false,
     [](const QString &, Options *o, QString *) {
         o->console = false;
         return true;
     },
     nullptr},
    {"script", "FILE",
     "Run the console commands of FILE, one \"SECONDS COMMAND\" a line, at those times after the "
     "start, e.g. \"5 fault unplug 2\", \"20 quit\". Every line is checked first; the end of "
     "standard input closes the console but not the run while the script has lines to run; a "
     "command that fails makes the exit status 3.",
     false,
     [](const QString &value, Options *o, QString *) {
         o->scriptPath = value;
         return true;
     },
     nullptr},
    {"control", "PATH",
     "Listen on the Unix-domain socket PATH (mode 0600, removed at exit) for test programs: "
     "JSON lines with the console's commands, the statistics and the events of the run "
     "(docs/control.md). A socket left by a host that died is replaced; one in use is refused.",
     false,
     [](const QString &value, Options *o, QString *) {
         o->controlPath = value;
         return true;
     },
     nullptr},
    {"baud", "N", "Line speed the client end delivers at, 8N1 (default 115200); 0: unpaced.", true,
     [](const QString &value, Options *o, QString *error) {
         bool ok = false;
         const int baud = value.toInt(&ok);
         if (!ok || baud < 0 || (baud > 0 && baud < 50) || baud > 10000000) {
             *error = QStringLiteral("--baud needs 0 (unpaced) or a rate from 50 to 10000000, got "
                                     "\"%1\"")
                          .arg(value);
             return false;
         }
         o->line.baud = baud;
         return true;
     },
     nullptr},
    {"seed", "N", "Seed of the faults (default: random; printed at start).", true,
     [](const QString &value, Options *o, QString *error) {
         bool ok = false;
         o->line.seed = value.toULongLong(&ok);
         if (!ok)
             *error = QStringLiteral("--seed needs a whole number from 0 to "
                                     "18446744073709551615, got \"%1\"")
                          .arg(value);
         return ok;
     },
     nullptr},
    {"faults", "LIST",
     "Faults on the instrument's output, KIND=RATE[,KIND=RATE...] with KIND checksum, drop, "
     "truncate, duplicate, garbage (per line) or flip (per byte) and RATE from 0 to 1.",
     true,
     [](const QString &value, Options *o, QString *error) {
         return readFaults("faults", value, &o->line.faults, error);
     },
     nullptr},
    {"command-faults", "LIST", "The same for the client's commands to the instrument.", true,
     [](const QString &value, Options *o, QString *error) {
         return readFaults("command-faults", value, &o->line.commandFaults, error);
     },
     nullptr},
    {"talker", "XX",
     "Rewrite the talker of every NMEA sentence to XX (two letters) and its checksum, e.g. SD "
     "for depth sounder.",
     true,
     [](const QString &value, Options *o, QString *error) {
         const QByteArray talker = value.toLatin1().toUpper();
         if (talker.size() != 2 || !std::isalpha(uchar(talker.at(0))) ||
             !std::isalpha(uchar(talker.at(1))) || talker.at(0) == 'P') {
             *error = QStringLiteral("--talker needs two letters (not starting with P), got "
                                     "\"%1\"")
                          .arg(value);
             return false;
         }
         o->line.talker = talker;
         return true;
     },
     nullptr},
    {"record", "FILE",
     "Record both directions of the line with timestamps into FILE (kelvane-scope --from reads "
     "it).",
     true,
     [](const QString &value, Options *o, QString *) {
         o->line.recordPath = value;
         return true;
     },
     nullptr},
    {"stats", "FILE", "Write the line's statistics as JSON to FILE on every status and at exit.",
     true,
     [](const QString &value, Options *o, QString *) {
         o->line.statsPath = value;
         return true;
     },
     nullptr},
    {"tcp", "[ADDR:]PORT",
     "Serve the line to TCP clients on [ADDR:]PORT (ADDR 127.0.0.1 unless given, 0.0.0.0 for "
     "every interface; PORT 0 for any free one): each gets the instrument's output, and what "
     "each sends is a command to it.",
     true,
     [](const QString &value, Options *o, QString *error) {
         QString why;
         o->line.tcp = true;
         if (NetAddress::parse(value, "127.0.0.1", &o->line.tcpAddress, &why))
             return true;
         *error = QStringLiteral("--tcp: %1").arg(why);
         return false;
     },
     nullptr},
    {"tcp-max-clients", "N", "At most N TCP clients at once (default 16); the next is refused.",
     true,
     [](const QString &value, Options *o, QString *error) {
         bool ok = false;
         o->line.tcpMaxClients = value.toInt(&ok);
         if (ok && o->line.tcpMaxClients >= 1 && o->line.tcpMaxClients <= 1000)
             return true;
         *error = QStringLiteral("--tcp-max-clients needs a number from 1 to 1000, got \"%1\"")
                      .arg(value);
         return false;
     },
     nullptr},
    {"udp", "ADDR:PORT",
     "Send every line of the instrument's output as one datagram to ADDR:PORT (unicast, "
     "broadcast or multicast); may be given more than once.",
     true,
     [](const QString &value, Options *o, QString *error) {
         NetAddress address;
         QString why;
         if (!NetAddress::parse(value, "", &address, &why) || address.port() == 0) {
             *error = QStringLiteral("--udp needs ADDR:PORT with a numeric address and a port "
                                     "from 1 to 65535, got \"%1\"")
                          .arg(value);
             return false;
         }
         o->line.udp << address;
         return true;
     },
     nullptr},
    {"udp-from", "ADDR",
     "Send the datagrams of --udp from ADDR (0.0.0.0 or :: for every interface); without it "
     "each destination's socket is bound to the address the system sends to it from: the "
     "loopback address for a loopback destination, else the address of its interface.",
     true,
     [](const QString &value, Options *o, QString *error) {
         // An address alone, without brackets for IPv6; the system picks the port.
         const bool v6 = value.contains(QLatin1Char(':')) && !value.startsWith(QLatin1Char('['));
         const QString text =
             v6 ? QStringLiteral("[%1]:0").arg(value) : value + QLatin1String(":0");
         if (NetAddress::parse(text, "", &o->line.udpFrom, error))
             return true;
         *error = QStringLiteral("--udp-from needs a numeric address such as 127.0.0.1 or ::1, "
                                 "got \"%1\"")
                      .arg(value);
         return false;
     },
     nullptr},
    {"no-pty", nullptr, "Make no client end DIR/client (with --tcp or --udp).", true,
     [](const QString &, Options *o, QString *) {
         o->line.pty = false;
         return true;
     },
     nullptr},
    {"replay", "FILE",
     "Run no plug-in: play FILE to the client ends instead, a --record recording at its "
     "recorded times or a plain capture at the line rate.",
     true,
     [](const QString &value, Options *o, QString *) {
         o->line.replayPath = value;
         return true;
     },
     nullptr},
    {"loop", nullptr,
     "With --replay: start again at the end of FILE (without it the host ends there).", true,
     [](const QString &, Options *o, QString *) {
         o->line.loop = true;
         return true;
     },
     nullptr},
};

// The only option that may be given more than once.
const char *const Repeatable = "udp";

const char *const Description =
    "Runs a payload plug-in (by default the Kelvane echo sounder simulator) the way the flight "
    "computer does, on a serial pty pair of its own or on an existing device, with a console on "
    "standard input (type help). On the pair the host carries the bytes between the two ends as "
    "a serial line would: paced at the baud rate, with the faults, talker, recording and "
    "statistics asked for below.\n"
    "Settings: the host runs on a copy of the settings file (--settings), DIR/settings.ini in the "
    "pair's folder (--link-dir; with --device DIR/settings-NAME.ini, NAME the device's), made at "
    "the start and left there after the run. The plug-in's defaults, the device the host gives it "
    "(KELVANE_SIMULATOR/SERIAL_DEVICE), APP/TELEMETRY_PERIOD_MS=1000 when it is missing, and the "
    "console's set and prune go to the copy only; the console's save (also a script line) writes "
    "the copy into the file, all but the device. Without a settings file a run starts with "
    "ECHOSOUNDER/MIN_DEPTH_M=2 and MAX_DEPTH_M=30.";

QString dashed(const QString &name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

// "--a", "--a and --b", "--a, --b or --c".
QString dashedList(const QStringList &names, const QString &last)
{
    QStringList options;
    for (const QString &name : names)
        options << dashed(name);
    const QString head = QStringList(options.mid(0, options.size() - 1)).join(QStringLiteral(", "));
    return options.size() < 2 ? options.value(0)
                              : QStringLiteral("%1 %2 %3").arg(head, last, options.last());
}

// A mistake on the command line: the reason, a suggestion when there is one, and where to look.
[[noreturn]] void usageError(const QString &text, const QStringList &hints = {},
                             bool pointToHelp = true)
{
    Report::error(text);
    for (const QString &hint : hints)
        Console::printError(hint);
    if (pointToHelp)
        Console::printError(
            QStringLiteral("Try '%1 --help'.").arg(QLatin1String(Report::ProgramName)));
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

// Every rule that ties one option to another; empty when the options go together.
QString crossOptionError(const Options &options, const QStringList &given)
{
    QStringList lineGiven;
    for (const Option &option : table) {
        if (option.line && given.contains(QLatin1String(option.name)))
            lineGiven << QLatin1String(option.name);
    }
    if (!options.device.isEmpty() && !lineGiven.isEmpty()) {
        const bool one = lineGiven.size() == 1;
        return QStringLiteral("%1 %2 the host's own pty pair: with --device the plug-in writes "
                              "straight to the device, and no line runs between it and the "
                              "client to pace, fault, record, count or serve over the network; "
                              "leave out --device to use %3")
            .arg(dashedList(lineGiven, QStringLiteral("and")),
                 one ? QStringLiteral("needs") : QStringLiteral("need"),
                 one ? QStringLiteral("it") : QStringLiteral("them"));
    }
    const LineOptions &line = options.line;
    if (given.contains(QStringLiteral("tcp-max-clients")) && !line.tcp)
        return QStringLiteral("--tcp-max-clients needs --tcp");
    if (given.contains(QStringLiteral("udp-from")) && line.udp.isEmpty())
        return QStringLiteral("--udp-from needs --udp");
    if (!line.pty && !line.tcp && line.udp.isEmpty())
        return QStringLiteral("--no-pty needs --tcp or --udp: no client could reach the line");
    if (line.loop && line.replayPath.isEmpty())
        return QStringLiteral("--loop needs --replay");
    if (!line.replayPath.isEmpty() && options.pluginGiven)
        return QStringLiteral("--plugin does not apply to --replay: a replay runs no plug-in");
    return QString();
}

} // namespace

Options Options::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    // -baud means --baud: no option of the host is a cluster of single letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QLatin1String(Description));
    const QCommandLineOption help = parser.addHelpOption();
    parser.addVersionOption();
    QStringList known = {QStringLiteral("help"), QStringLiteral("version")};
    for (const Option &option : table) {
        const QString name = QLatin1String(option.name);
        const QString defaultValue = option.defaultValue ? option.defaultValue() : QString();
        QCommandLineOption declared(name, QLatin1String(option.help));
        if (option.defaultValue)
            declared.setDescription(QString::fromLatin1(option.help).arg(defaultValue));
        if (option.valueName) {
            declared.setValueName(QLatin1String(option.valueName));
            declared.setDefaultValue(defaultValue);
        }
        parser.addOption(declared);
        known << name;
    }

    if (!parser.parse(arguments))
        refuseArguments(parser, known);
    if (parser.isSet(help) || parser.optionNames().contains(QStringLiteral("help-all"))) {
        std::fputs(qPrintable(parser.helpText() + QLatin1Char('\n') + ExitStatus::helpText()),
                   stdout);
        ::exit(ExitStatus::Ok);
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("%s %s\n", qPrintable(QCoreApplication::applicationName()),
                    qPrintable(QCoreApplication::applicationVersion()));
        ::exit(ExitStatus::Ok);
    }
    if (!parser.positionalArguments().isEmpty())
        usageError(QStringLiteral("unexpected argument %1")
                       .arg(parser.positionalArguments().constFirst()));

    Options options;
    QStringList given;
    for (const Option &option : table) {
        const QString name = QLatin1String(option.name);
        // A value given twice would silently replace the first: only --udp takes several.
        const QStringList values = parser.values(name);
        if (name != QLatin1String(Repeatable) && values.size() > 1)
            usageError(QStringLiteral("--%1 is given %2 times (%3); it takes one value (only "
                                      "--udp may be given more than once)")
                           .arg(name)
                           .arg(values.size())
                           .arg(values.join(QStringLiteral(", "))));
        if (parser.isSet(name))
            given << name;
    }
    for (const Option &option : table) {
        const QString name = QLatin1String(option.name);
        // Options with a default are read also when not given, so that the default is read
        // the same way.
        if (!given.contains(name) && !option.defaultValue)
            continue;
        const QStringList values = option.valueName ? parser.values(name) : QStringList {QString()};
        for (const QString &value : values) {
            QString error;
            if (!option.read(value, &options, &error))
                usageError(error, {}, false);
        }
    }
    options.pluginGiven = given.contains(QStringLiteral("plugin"));
    if (!given.contains(QStringLiteral("seed")))
        options.line.seed = QRandomGenerator::system()->generate64();
    const QString error = crossOptionError(options, given);
    if (!error.isEmpty())
        usageError(error, {}, false);
    return options;
}
