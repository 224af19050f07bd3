#ifndef KELVANE_SETTINGSFILE_H
#define KELVANE_SETTINGSFILE_H

#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

/// Checks of the INI settings file made before the store opens it.
namespace SettingsFile {

/// Removes path + ".lock" and path + ".lock.rmlock" when empty and last changed at least minAgeMs
/// ago (either way, for a clock that jumped). Returns the files it removed.
QStringList removeStaleLocks(const QString &path, qint64 minAgeMs = 2000);

/// The lines (1-based number, text) that the store's INI reader skips, so that its next write
/// of the file drops them: text that is neither blank, nor a [section], nor NAME=VALUE, and
/// comment lines starting with ';'.
QVector<QPair<int, QString>> droppedLines(const QString &path);

} // namespace SettingsFile

#endif // KELVANE_SETTINGSFILE_H
