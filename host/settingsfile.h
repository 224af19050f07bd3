#ifndef KELVANE_SETTINGSFILE_H
#define KELVANE_SETTINGSFILE_H

#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

class QSettings;

/// The INI settings file: checks made before a store opens it, and writing a run's settings
/// back into it.
namespace SettingsFile {

/// A settings file larger than this is refused at the start: a real one holds a few KiB.
constexpr qint64 MaxBytes = 1 << 20;

/// Removes path + ".lock" and path + ".lock.rmlock" when empty and last changed at least minAgeMs
/// ago (either way, for a clock that jumped). Returns the files it removed.
QStringList removeStaleLocks(const QString &path, qint64 minAgeMs = 2000);

/// The lines (1-based number, text) that the store's INI reader skips, so that its next write
/// of the file drops them: text that is neither blank, nor a [section], nor NAME=VALUE, and
/// comment lines starting with ';'. None when path is no regular file of at most MaxBytes.
QVector<QPair<int, QString>> droppedLines(const QString &path);

/// Makes path hold the settings of run, except the key keep, which keeps its value in path (or
/// its absence): every other key of run is written, and every key that run does not have is
/// removed. The store writes its INI text into a scratch file beside run's own (in the run's
/// private folder), and path gets that text through OutputFile: never through a symbolic link,
/// and a device or FIFO is never replaced. False with *error when path cannot be written.
bool save(QSettings &run, const QString &path, const QString &keep, QString *error);

} // namespace SettingsFile

#endif // KELVANE_SETTINGSFILE_H
