#ifndef KELVANE_OUTPUTFILE_H
#define KELVANE_OUTPUTFILE_H

#include <QByteArray>
#include <QString>

/// A file a program writes as its output (statistics, a record, settings, an echogram, a table),
/// written the way the path the user gave asks for:
///
/// - a regular file, or none yet: Replace writes a new file in the same folder and renames it
///   over the path at commit() (readers see the old file or the new one, never half of one);
///   Stream truncates the file in place and writes as it goes. Neither follows a symbolic link
///   at the path: the folder is opened and the name is opened or renamed in it with
///   O_NOFOLLOW.
/// - a symbolic link at the path is refused, in one line naming where it points, so that a link
///   planted where the output goes cannot send it over another file; /dev/stdout, /dev/stderr,
///   /dev/fd/N and /proc/self/fd/N are the exception: they are this process's own descriptors,
///   written in place at their own offset (">>" keeps appending).
/// - a character device or a FIFO is written in place, never replaced; a FIFO without a reader
///   is refused rather than waited for. Anything else (a folder, a socket) is refused.
///
/// Every failure comes back as false with errorString() ("cannot write PATH: REASON").
class OutputFile
{
public:
    enum Mode { Replace, Stream };

    OutputFile(const QString &path, Mode mode);
    /// Leaves a Replace file that was not committed as it was (its new file is removed).
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    bool open();
    bool isOpen() const { return fd >= 0; }
    /// The open file's descriptor (it stays the unit's), for a writer of its own; -1 when shut.
    int handle() const { return fd; }
    /// Whether the path is written in place (a device, a FIFO, a descriptor of this process).
    bool isInPlace() const { return inPlace; }
    /// Writes all of bytes (waiting while a device or FIFO takes them); false on a failure, and
    /// every write after a failure fails too.
    bool write(const QByteArray &bytes);
    /// Replace: makes the new file the path's (its mode that of the file it replaces, or
    /// 0666 less the umask). Stream: closes. False when the file could not be completed.
    bool commit();
    /// Replace: drops what was written, the path keeps its file. Stream: closes.
    void cancel();
    QString errorString() const { return error; }
    QString path() const { return target; }

    /// Writes bytes as the whole of path: open(), write(), commit().
    static bool writeWhole(const QString &path, const QByteArray &bytes, QString *error);

private:
    bool fail(const QString &reason);
    bool failErrno(int number);
    void closeAll();

    QString target;
    Mode mode;
    int fd = -1;
    int dirFd = -1;
    bool inPlace = false;
    bool failed = false;
    QByteArray tempName; ///< Replace, a regular file: the new file's name in the folder
    QByteArray name; ///< the path's last component
    unsigned int fileMode = 0; ///< Replace: the mode the new file gets
    QString error;
};

#endif // KELVANE_OUTPUTFILE_H
