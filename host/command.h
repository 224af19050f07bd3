#ifndef KELVANE_COMMAND_H
#define KELVANE_COMMAND_H

#include "lineconditioner.h"

#include <QByteArray>
#include <QString>

/// A fault event or new fault rates for the line, parsed.
struct FaultCommand
{
    enum Kind { Unplug, Stall, Hangup, Garbage, Rates };
    /// The longest event: a day, so that microseconds stay far from overflowing.
    static constexpr double MaxSeconds = 86400.0;
    static constexpr int MaxGarbage = 1000000;

    Kind kind = Rates;
    double seconds = 0.0; ///< Unplug, Stall, Hangup
    int count = 0; ///< Garbage: bytes
    /// Rates: the new rate of each kind named; -1 for the kinds that keep theirs.
    LineFaultRates rates;

    /// The rates of the output once this Rates command has changed current.
    LineFaultRates appliedTo(const LineFaultRates &current) const;

    /// "unplug SECONDS", "stall SECONDS", "hangup SECONDS", "garbage N" or
    /// "KIND=RATE[,KIND=RATE...]"; false with *error.
    static bool parse(const QString &text, FaultCommand *command, QString *error);
};

/// One command of the operator, parsed once, whoever gave it: a console line, a script's line.
/// Whatever runs it (CommandRunner) takes this value and parses nothing again.
struct Command
{
    enum Kind { Set, Prune, Save, Start, Stop, Status, Fault, Help, Quit };

    Kind kind = Help;
    QByteArray group; ///< Set
    QByteArray name; ///< Set
    QString value; ///< Set: checked against the setting's type
    FaultCommand fault; ///< Fault

    /// A console line (not empty). False with *error, and in *hint what the console adds to it
    /// ("type help for the commands", or "nothing changed" for a set it refuses).
    static bool parse(const QString &line, Command *command, QString *error, QString *hint);
    /// The console's commands, as help lists them.
    static QString list();
};

#endif // KELVANE_COMMAND_H
