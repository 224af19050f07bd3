#include "settingsfile.h"

#include "outputfile.h"
#include "regularfile.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace SettingsFile {

QStringList removeStaleLocks(const QString &path, qint64 minAgeMs)
{
    // QSettings takes this lock with QLockFile, which writes its pid into the file right after
    // creating it. An empty lock is one whose owner died before the pid reached the disk (a
    // power cut); QLockFile cannot tell whose it is and waits out its 30 s stale time, which
    // blocks the first sync, and the event loop with it. QLockFile's ".rmlock", taken while it
    // removes a stale lock, is left behind the same way by a crash at that moment.
    QStringList removed;
    for (const QString &suffix : {QStringLiteral(".lock"), QStringLiteral(".lock.rmlock")}) {
        const QFileInfo lock(path + suffix);
        if (!lock.exists() || lock.isSymLink() || !lock.isFile() || lock.size() != 0)
            continue;
        const qint64 age = lock.lastModified().msecsTo(QDateTime::currentDateTime());
        if (qAbs(age) < minAgeMs)
            continue; // being written by a live QLockFile this very moment
        if (QFile::remove(lock.filePath()))
            removed.append(lock.filePath());
    }
    return removed;
}

QVector<QPair<int, QString>> droppedLines(const QString &path)
{
    QVector<QPair<int, QString>> dropped;
    // Opened as the settings file is read: a FIFO put at its path since the start would hold
    // save (and the event loop) in open().
    QFile file;
    QString error;
    if (!RegularFile::openForReading(&file, path, MaxBytes, &error))
        return dropped;
    int number = 0;
    while (!file.atEnd()) {
        const QByteArray raw = file.readLine();
        ++number;
        const QByteArray line = raw.trimmed();
        if (line.isEmpty() || line.startsWith('['))
            continue;
        // The INI reader keeps only NAME=VALUE lines; comments and anything else are read past
        // and are not written back.
        if (line.startsWith(';') || !line.contains('='))
            dropped.append(qMakePair(number, QString::fromUtf8(line)));
    }
    return dropped;
}

bool save(QSettings &run, const QString &path, const QString &keep, QString *error)
{
    run.sync();
    // The file as it is now, for the key it keeps and for its order of sections.
    QByteArray current;
    if (QFileInfo::exists(path)) {
        QFile file;
        if (!RegularFile::openForReading(&file, path, MaxBytes, error))
            return false;
        current = file.readAll();
    }
    const QString scratch = run.fileName() + QStringLiteral(".save");
    if (!OutputFile::writeWhole(scratch, current, error))
        return false;
    bool written = false;
    {
        QSettings file(scratch, QSettings::IniFormat);
        const QStringList keys = run.allKeys();
        for (const QString &key : file.allKeys()) {
            if (key != keep && !keys.contains(key))
                file.remove(key);
        }
        for (const QString &key : keys) {
            if (key != keep)
                file.setValue(key, run.value(key));
        }
        file.sync();
        // A format error is a line that the write dropped (the caller warned of it).
        written = file.status() != QSettings::AccessError;
    }
    QFile text(scratch);
    if (written && text.open(QIODevice::ReadOnly))
        written = OutputFile::writeWhole(path, text.readAll(), error);
    else
        *error = QStringLiteral("cannot write %1").arg(path);
    text.close();
    QFile::remove(scratch);
    removeStaleLocks(scratch, 0);
    return written;
}

} // namespace SettingsFile
