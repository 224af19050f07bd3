#ifndef KELVANE_COMMAND_H
#define KELVANE_COMMAND_H

#include "lineconditioner.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

/// A fault event or new fault rates for the line, parsed.
struct FaultCommand
{
    enum Kind { Unplug, Stall, Hangup, Garbage, Rates };
    /// Whose rates a Rates command changes: the instrument's output or the clients' commands.
    enum Direction { Output, Commands };
    /// The longest event: a day, so that microseconds stay far from overflowing.
    static constexpr double MaxSeconds = 86400.0;
    static constexpr int MaxGarbage = 1000000;

    Kind kind = Rates;
    double seconds = 0.0; ///< Unplug, Stall, Hangup
    int count = 0; ///< Garbage: bytes
    Direction direction = Output; ///< Rates
    /// Rates: the new rate of each kind named; -1 for the kinds that keep theirs.
    LineFaultRates rates;

    /// The rates of the direction once this Rates command has changed current.
    LineFaultRates appliedTo(const LineFaultRates &current) const;

    /// "unplug SECONDS", "stall SECONDS", "hangup SECONDS", "garbage N" or
    /// "[commands] KIND=RATE[,KIND=RATE...]"; false with *error.
    static bool parse(const QString &text, FaultCommand *command, QString *error);
    /// The event named what ("unplug", "stall", "hangup") for seconds (NaN for a time that did
    /// not read as a number); false with *error. Both front ends check a time here.
    static bool timed(const QString &what, double seconds, FaultCommand *command, QString *error);
    /// count random bytes (NaN for a count that did not read as a number); false with *error.
    static bool garbage(double count, FaultCommand *command, QString *error);
    /// New rates "KIND=RATE[,KIND=RATE...]" for direction; false with *error.
    static bool newRates(Direction direction, const QString &list, FaultCommand *command,
                         QString *error);
};

/// One command of the operator, parsed once, whoever gave it: a console line, a script's line, a
/// request on the control channel. Whatever runs it (CommandRunner) takes this value and parses
/// nothing again; the two parsers share the checks of every value.
struct Command
{
    enum Kind { Set, Prune, Save, Start, Stop, Status, Stats, Fault, Help, Quit };

    Kind kind = Help;
    QByteArray group; ///< Set
    QByteArray name; ///< Set
    QString value; ///< Set: checked against the setting's type
    FaultCommand fault; ///< Fault

    /// A console line (not empty). False with *error, and in *hint what the console adds to it
    /// ("type help for the commands", or "nothing changed" for a set it refuses).
    static bool parse(const QString &line, Command *command, QString *error, QString *hint);
    /// A request of the control channel, {"cmd": NAME, ...} (its "id" is the channel's); false
    /// with *error for an unknown command, a field it does not take, a field of the wrong type
    /// or a value the console would refuse too (with the console's words).
    static bool fromJson(const QJsonObject &request, Command *command, QString *error);
    /// A set of value to group/name: both known to App (GROUP_NAME is a signal of App) and the
    /// value of the setting's type; false with *error.
    static bool set(const QString &group, const QString &name, const QString &value,
                    Command *command, QString *error);
    /// The console's commands, as help lists them.
    static QString list();
};

#endif // KELVANE_COMMAND_H
