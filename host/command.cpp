#include "command.h"

#include "reference.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// The commands that take no arguments, and their kinds.
const struct
{
    const char *name;
    Command::Kind kind;
} plainCommands[] = {
    {"prune", Command::Prune}, {"save", Command::Save},     {"start", Command::Start},
    {"stop", Command::Stop},   {"status", Command::Status}, {"stats", Command::Stats},
    {"help", Command::Help},   {"quit", Command::Quit},
};

const char *const HelpHint = "type help for the commands";

const char *const TimedEvents[] = {"unplug", "stall", "hangup"};

const double NotANumber = std::numeric_limits<double>::quiet_NaN();

// A value as its JSON text, for an error that shows what came.
QString jsonText(const QJsonValue &value)
{
    const QByteArray array = QJsonDocument(QJsonArray {value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

QString typeError(const QString &field, const char *expected, const QJsonValue &value)
{
    return QStringLiteral("\"%1\" must be %2, got %3")
        .arg(field, QLatin1String(expected), jsonText(value));
}

// A JSON number as the console would have typed it: 12.5, 300, 0.1.
QString numberText(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

// The fields of request besides "cmd" and "id" that are not in takes; the first, or empty.
QString unexpectedField(const QJsonObject &request, const QStringList &takes)
{
    for (auto it = request.begin(); it != request.end(); ++it) {
        const QString &key = it.key();
        if (key != QLatin1String("cmd") && key != QLatin1String("id") && !takes.contains(key))
            return key;
    }
    return QString();
}

bool fieldsFit(const QJsonObject &request, const QString &what, const QStringList &takes,
               QString *error)
{
    const QString extra = unexpectedField(request, takes);
    if (extra.isEmpty())
        return true;
    *error = QStringLiteral("%1 takes no field \"%2\"").arg(what, extra);
    return false;
}

bool setFromJson(const QJsonObject &request, Command *command, QString *error)
{
    if (!fieldsFit(request, QStringLiteral("set"),
                   {QStringLiteral("group"), QStringLiteral("name"), QStringLiteral("value")},
                   error))
        return false;
    QString texts[3];
    const char *const fields[3] = {"group", "name", "value"};
    for (int i = 0; i < 3; ++i) {
        const QJsonValue value = request.value(QLatin1String(fields[i]));
        if (value.isUndefined()) {
            *error = QStringLiteral("set needs \"group\", \"name\" and \"value\"");
            return false;
        }
        if (value.isString())
            texts[i] = value.toString();
        else if (i == 2 && value.isDouble())
            texts[i] = numberText(value.toDouble());
        else if (i == 2 && value.isBool())
            texts[i] = value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
        else {
            *error = typeError(QLatin1String(fields[i]),
                               i == 2 ? "a string, a number, true or false" : "a string", value);
            return false;
        }
    }
    return Command::set(texts[0], texts[1], texts[2], command, error);
}

bool faultFromJson(const QJsonObject &request, FaultCommand *fault, QString *error)
{
    const QJsonValue event = request.value(QLatin1String("event"));
    const QJsonValue rates = request.value(QLatin1String("rates"));
    if (event.isUndefined() == rates.isUndefined()) {
        *error = QStringLiteral("fault needs either \"event\" (unplug, stall, hangup or garbage) "
                                "or \"rates\"");
        return false;
    }
    if (!rates.isUndefined()) {
        if (!fieldsFit(request, QStringLiteral("fault with rates"),
                       {QStringLiteral("rates"), QStringLiteral("direction")}, error))
            return false;
        if (!rates.isObject() || rates.toObject().isEmpty()) {
            *error = typeError(QStringLiteral("rates"),
                               "an object of rates such as {\"drop\": 0.1}", rates);
            return false;
        }
        FaultCommand::Direction direction = FaultCommand::Output;
        const QJsonValue to = request.value(QLatin1String("direction"));
        if (to == QJsonValue(QStringLiteral("commands")))
            direction = FaultCommand::Commands;
        else if (!to.isUndefined() && to != QJsonValue(QStringLiteral("output"))) {
            *error = typeError(QStringLiteral("direction"), "\"output\" or \"commands\"", to);
            return false;
        }
        if (!FaultCommand::newRates(direction, QString(), fault, error))
            return false;
        const QJsonObject each = rates.toObject();
        for (auto it = each.begin(); it != each.end(); ++it) {
            if (!it.value().isDouble()) {
                *error =
                    typeError(QStringLiteral("rates.%1").arg(it.key()), "a number", it.value());
                return false;
            }
            if (!fault->rates.set(it.key(), numberText(it.value().toDouble()), error))
                return false;
        }
        return true;
    }

    const QString what = event.toString();
    const bool isGarbage = what == QLatin1String("garbage");
    const auto named = [&what](const char *timed) { return what == QLatin1String(timed); };
    if (!isGarbage && std::none_of(std::begin(TimedEvents), std::end(TimedEvents), named)) {
        *error = typeError(QStringLiteral("event"), "unplug, stall, hangup or garbage", event);
        return false;
    }
    const QString field = isGarbage ? QStringLiteral("bytes") : QStringLiteral("seconds");
    if (!fieldsFit(request, QStringLiteral("fault %1").arg(what), {QStringLiteral("event"), field},
                   error))
        return false;
    const QJsonValue amount = request.value(field);
    if (!amount.isDouble()) {
        *error = amount.isUndefined() ? QStringLiteral("fault %1 needs \"%2\"").arg(what, field)
                                      : typeError(field, "a number", amount);
        return false;
    }
    return isGarbage ? FaultCommand::garbage(amount.toDouble(), fault, error)
                     : FaultCommand::timed(what, amount.toDouble(), fault, error);
}

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

bool FaultCommand::timed(const QString &what, double seconds, FaultCommand *command, QString *error)
{
    int index = -1;
    for (int i = 0; i < 3; ++i) {
        if (what == QLatin1String(TimedEvents[i]))
            index = i;
    }
    if (index < 0) {
        *error = QStringLiteral("fault needs unplug SECONDS, stall SECONDS, hangup SECONDS, "
                                "garbage N or [commands] KIND=RATE");
        return false;
    }
    if (!(seconds >= 0.0 && seconds <= MaxSeconds)) {
        *error = QStringLiteral("fault %1 needs SECONDS from 0 to %2").arg(what).arg(MaxSeconds);
        return false;
    }
    command->kind = Kind(index);
    command->seconds = seconds;
    return true;
}

bool FaultCommand::garbage(double count, FaultCommand *command, QString *error)
{
    if (!(count >= 1 && count <= MaxGarbage) || count != std::floor(count)) {
        *error = QStringLiteral("fault garbage needs a count from 1 to %1").arg(MaxGarbage);
        return false;
    }
    command->kind = Garbage;
    command->count = int(count);
    return true;
}

bool FaultCommand::newRates(Direction direction, const QString &list, FaultCommand *command,
                            QString *error)
{
    command->kind = Rates;
    command->direction = direction;
    // Parsed over "unchanged" marks: only the kinds named get a rate.
    command->rates.rate.fill(-1.0);
    return list.isEmpty() || command->rates.parse(list, error);
}

bool FaultCommand::parse(const QString &text, FaultCommand *command, QString *error)
{
    const QString simple = text.simplified();
    const QStringList words = simple.isEmpty() ? QStringList() : simple.split(QLatin1Char(' '));
    const bool commands = words.size() == 2 && words.at(0) == QLatin1String("commands");
    if ((words.size() == 1 || commands) && words.constLast().contains(QLatin1Char('='))) {
        return newRates(commands ? Commands : Output, words.constLast(), command, error);
    }
    if (words.size() != 2)
        return timed(QString(), 0.0, command, error);
    bool ok = false;
    if (words.at(0) == QLatin1String("garbage")) {
        const int count = words.at(1).toInt(&ok);
        return garbage(ok ? count : NotANumber, command, error);
    }
    const double seconds = words.at(1).toDouble(&ok);
    return timed(words.at(0), ok ? seconds : NotANumber, command, error);
}

bool Command::set(const QString &group, const QString &name, const QString &value, Command *command,
                  QString *error)
{
    static const QRegularExpression word(QStringLiteral("^[A-Za-z0-9_]+$"));
    if (!word.match(group).hasMatch() || !word.match(name).hasMatch()) {
        *error = QStringLiteral("set needs GROUP and NAME of letters, digits and _, got: %1/%2")
                     .arg(group, name);
        return false;
    }
    command->kind = Set;
    command->group = group.toLatin1();
    command->name = name.toLatin1();
    command->value = value;
    // App would warn and store nothing for a setting it does not know, and would store any
    // text for one it knows, announcing what its conversion makes of it (0 for abc).
    *error = Reference::refusal(command->group, command->name, command->value);
    if (Reference::settingType(command->group, command->name).isEmpty())
        *error = QStringLiteral("%1/%2 is no setting that App knows (it has no signal %1_%2)")
                     .arg(QLatin1String(command->group), QLatin1String(command->name));
    return error->isEmpty();
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
        *hint = QStringLiteral("nothing changed");
        return set(match.captured(1), match.captured(2), match.captured(3), command, error);
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

bool Command::fromJson(const QJsonObject &request, Command *command, QString *error)
{
    const QJsonValue cmd = request.value(QLatin1String("cmd"));
    if (!cmd.isString()) {
        *error = cmd.isUndefined() ? QStringLiteral("a request needs \"cmd\"")
                                   : typeError(QStringLiteral("cmd"), "a string", cmd);
        return false;
    }
    const QString word = cmd.toString();
    if (word == QLatin1String("set"))
        return setFromJson(request, command, error);
    if (word == QLatin1String("fault")) {
        command->kind = Fault;
        return faultFromJson(request, &command->fault, error);
    }
    for (const auto &plain : plainCommands) {
        if (word != QLatin1String(plain.name))
            continue;
        if (!fieldsFit(request, word, {}, error))
            return false;
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
        "  stats                 the line's statistics as JSON, as --stats writes them\n"
        "  fault unplug SECONDS  silence both ways (stall, hangup SECONDS likewise)\n"
        "  fault garbage N       N random bytes to the client now\n"
        "  fault KIND=RATE       change a fault rate of the output, e.g. fault drop=0.1\n"
        "  fault commands KIND=RATE  the same for the client's commands\n"
        "  help                  this list and the simulator's reference\n"
        "  quit                  stop the plug-in and exit (also: end of input, Ctrl+C)");
}
