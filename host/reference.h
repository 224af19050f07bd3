#ifndef KELVANE_REFERENCE_H
#define KELVANE_REFERENCE_H

#include <QByteArray>
#include <QString>

/// What the console knows of the simulator's settings and of the instrument's commands: the
/// reference that help prints, and the checks of a value before it reaches App::updateSetting.
/// A setting's type is that of its App signal GROUP_NAME, read from App's meta-object.
namespace Reference {

/// The parameter type of App's signal GROUP_NAME as the meta-object spells it ("bool", "float",
/// "uint", "QString", ...); empty when App has no such signal.
QString settingType(const QByteArray &group, const QByteArray &name);

/// Why value cannot be stored in setting group/name, naming its type; empty when it converts to
/// that type (and always for a setting that App does not know).
QString refusal(const QByteArray &group, const QByteArray &name, const QString &value);

/// A warning for a value that converts but that the simulator does not act on; empty otherwise.
QString warning(const QByteArray &group, const QByteArray &name, const QString &value);

/// The simulator's settings and the instrument's commands, as help prints them.
QString text();

} // namespace Reference

#endif // KELVANE_REFERENCE_H
