#ifndef KELVANE_REGULARFILE_H
#define KELVANE_REGULARFILE_H

#include <QString>

class QFile;

/// Files the programs read whole or seek in (a replay, a settings file, a script): they must be
/// regular files. A FIFO or a device given instead is refused at once, never waited for in
/// open(), where a blocked open would also hold off the signals that should end the program.
namespace RegularFile {

/// Opens path for reading into *file. False with *error ("cannot read PATH: REASON") when it
/// cannot be opened, is not a regular file, or holds more than maxBytes (when maxBytes >= 0).
bool openForReading(QFile *file, const QString &path, qint64 maxBytes, QString *error);

} // namespace RegularFile

#endif // KELVANE_REGULARFILE_H
