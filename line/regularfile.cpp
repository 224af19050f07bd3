#include "regularfile.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace RegularFile {

bool openForReading(QFile *file, const QString &path, qint64 maxBytes, QString *error)
{
    const auto fail = [&](const QString &reason) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, reason);
        return false;
    };
    // O_NONBLOCK: opening a FIFO for reading waits for a writer otherwise.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return fail(S_ISDIR(info.st_mode) ? QStringLiteral("it is a folder")
                                          : QStringLiteral("not a regular file"));
    }
    if (maxBytes >= 0 && info.st_size > maxBytes) {
        ::close(fd);
        return fail(QStringLiteral("%1 bytes, more than the %2 it may hold")
                        .arg(qint64(info.st_size))
                        .arg(maxBytes));
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return fail(file->errorString());
    }
    return true;
}

} // namespace RegularFile
