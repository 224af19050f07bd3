#include "command.h"

#include "reference.h"

#include <QRegularExpression>
#include <QStringList>

namespace {

// The commands that take no arguments, and their kinds.
const struct
{
    const char *name;
    Command::Kind kind;
} plainCommands[] = {
    {"prune", Command::Prune}, {"save", Command::Save},     {"start", Command::Start},
    {"stop", Command::Stop},   {"status", Command::Status}, {"help", Command::Help},
    {"quit", Command::Quit},
};

const char *const HelpHint = "type help for the commands";

} // namespace

LineFaultRates FaultCommand::appliedTo(const LineFaultRates &current) const
{
    LineFaultRates applied = current;
    for (size_t i = 0; i < applied.rate.size(); ++i) {
        if (rates.rate[i] >= 0.0)
            applied.rate[i] = rates.rate[i];
    }
    return applied;
}

bool FaultCommand::parse(const QString &text, FaultCommand *command, QString *error)
{
    const QString simple = text.simplified();
    const QStringList words = simple.isEmpty() ? QStringList() : simple.split(QLatin1Char(' '));
    const QString usage = QStringLiteral(
        "fault needs unplug SECONDS, stall SECONDS, hangup SECONDS, garbage N or KIND=RATE");
    if (words.size() == 1 && words.constFirst().contains(QLatin1Char('='))) {
        command->kind = Rates;
        // Parsed over "unchanged" marks: only the kinds named get a rate.
        command->rates.rate.fill(-1.0);
        return command->rates.parse(words.constFirst(), error);
    }
    if (words.size() != 2) {
        *error = usage;
        return false;
    }
    const QString &what = words.at(0);
    bool ok = false;
    if (what == QLatin1String("garbage")) {
        command->kind = Garbage;
        command->count = words.at(1).toInt(&ok);
        if (!ok || command->count < 1 || command->count > MaxGarbage) {
            *error = QStringLiteral("fault garbage needs a count from 1 to %1").arg(MaxGarbage);
            return false;
        }
        return true;
    }
    const QStringList timed = {QStringLiteral("unplug"), QStringLiteral("stall"),
                               QStringLiteral("hangup")};
    const int index = timed.indexOf(what);
    if (index < 0) {
        *error = usage;
        return false;
    }
    command->kind = Kind(index);
    command->seconds = words.at(1).toDouble(&ok);
    if (!ok || !(command->seconds >= 0.0 && command->seconds <= MaxSeconds)) {
        *error = QStringLiteral("fault %1 needs SECONDS from 0 to %2").arg(what).arg(MaxSeconds);
        return false;
    }
    return true;
}

bool Command::parse(const QString &text, Command *command, QString *error, QString *hint)
{
    *hint = QLatin1String(HelpHint);
    const QString line = text.trimmed();
    const QString word = line.section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty);
    const QString rest = line.mid(word.size()).trimmed();

    if (word == QLatin1String("set")) {
        // The value is the rest of the line, so that it may hold spaces (a device path).
        static const QRegularExpression form(
            QStringLiteral("^([A-Za-z0-9_]+)\\s+([A-Za-z0-9_]+)\\s+(\\S.*)$"));
        const QRegularExpressionMatch match = form.match(rest);
        if (!match.hasMatch()) {
            *error = QStringLiteral("set needs GROUP NAME VALUE (GROUP and NAME of letters, "
                                    "digits and _), got: %1")
                         .arg(line);
            return false;
        }
        command->kind = Set;
        command->group = match.captured(1).toLatin1();
        command->name = match.captured(2).toLatin1();
        command->value = match.captured(3);
        // App would warn and store nothing for a setting it does not know, and would store any
        // text for one it knows, announcing what its conversion makes of it (0 for abc).
        *error = Reference::refusal(command->group, command->name, command->value);
        if (Reference::settingType(command->group, command->name).isEmpty())
            *error = QStringLiteral("%1/%2 is no setting that App knows (it has no signal %1_%2)")
                         .arg(QLatin1String(command->group), QLatin1String(command->name));
        *hint = QStringLiteral("nothing changed");
        return error->isEmpty();
    }
    if (word == QLatin1String("fault")) {
        command->kind = Fault;
        return FaultCommand::parse(rest, &command->fault, error);
    }
    for (const auto &plain : plainCommands) {
        if (word != QLatin1String(plain.name))
            continue;
        if (!rest.isEmpty()) {
            *error = QStringLiteral("%1 takes no arguments, got: %2").arg(word, line);
            return false;
        }
        command->kind = plain.kind;
        return true;
    }
    *error = QStringLiteral("unknown command: %1").arg(word);
    return false;
}

QString Command::list()
{
    return QStringLiteral(
        "Commands:\n"
        "  set GROUP NAME VALUE  change a setting, e.g. set KELVANE_SIMULATOR CONST_MODE true\n"
        "  prune                 remove the settings that no setting signal backs\n"
        "  save                  write this run's settings into the settings file\n"
        "  start                 start the plug-in (ask it to start)\n"
        "  stop                  stop the plug-in\n"
        "  status                identity, device, the plug-in's serial port, settings, the line\n"
        "  fault unplug SECONDS  silence both ways (stall, hangup SECONDS likewise)\n"
        "  fault garbage N       N random bytes to the client now\n"
        "  fault KIND=RATE       change a fault rate of the output, e.g. fault drop=0.1\n"
        "  help                  this list and the simulator's reference\n"
        "  quit                  stop the plug-in and exit (also: end of input, Ctrl+C)");
}
