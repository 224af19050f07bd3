#ifndef KELVANE_REFERENCE_H
#define KELVANE_REFERENCE_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

class QSettings;

/// What the console knows of the simulator's settings and of the instrument's commands, each in
/// one table: the reference that help prints, and the checks of a value before it reaches
/// App::updateSetting. A value is checked against the type of App's signal GROUP_NAME, read from
/// App's meta-object (which the settings table's types must match).
namespace Reference {

/// A setting the simulator reads: its group and name, the type of App's signal GROUP_NAME, the
/// value the plug-in writes when the settings file lacks it ("" for an empty one) and what it
/// does.
struct Setting
{
    const char *group;
    const char *name;
    const char *type;
    const char *defaultValue;
    const char *meaning;
    const char *choices; ///< "A|B" for a setting with a fixed set of meanings (any case), or null
    const char *otherwise; ///< what a value outside choices does
};

/// A command of the instrument's, sent by the client on the serial line.
struct InstrumentCommand
{
    const char *command; ///< as typed, with its argument
    const char *meaning;
};

/// The simulator's settings, in the order it reads them.
const std::vector<Setting> &settings();
/// The instrument's commands.
const std::vector<InstrumentCommand> &commands();
/// A setting's default as help and docs/reference.md show it ("empty (0)" for an empty one).
QString shownDefault(const Setting &setting);

/// The parameter type of App's signal GROUP_NAME as the meta-object spells it ("bool", "float",
/// "uint", "QString", ...); empty when App has no such signal.
QString settingType(const QByteArray &group, const QByteArray &name);

/// Why value cannot be stored in setting group/name, naming its type; empty when it converts to
/// that type (and always for a setting that App does not know).
QString refusal(const QByteArray &group, const QByteArray &name, const QString &value);

/// A warning for a value that converts but that the simulator does not act on; empty otherwise.
QString warning(const QByteArray &group, const QByteArray &name, const QString &value);

/// A line for each value of store that the plug-in would not get as written: one that refusal()
/// refuses, or one that warning() warns of; an empty value is none. In the order of the keys.
QStringList valueWarnings(const QSettings &store);

/// The simulator's settings and the instrument's commands, as help prints them.
QString text();

} // namespace Reference

#endif // KELVANE_REFERENCE_H
