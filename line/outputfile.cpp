#include "outputfile.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// This process's own descriptors under the names shells and users give them. Opening these
// names would reopen the file behind the descriptor (and truncate a log that ">>" appends to):
// the descriptor itself is written instead.
int ownDescriptor(const QString &path)
{
    if (path == QLatin1String("/dev/stdout"))
        return 1;
    if (path == QLatin1String("/dev/stderr"))
        return 2;
    static const QRegularExpression fdPath(QStringLiteral("^/(?:dev|proc/self)/fd/(\\d{1,6})$"));
    const QRegularExpressionMatch match = fdPath.match(path);
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

} // namespace

OutputFile::OutputFile(const QString &path, Mode mode) : target(path), mode(mode) { }

OutputFile::~OutputFile()
{
    cancel();
}

bool OutputFile::fail(const QString &reason)
{
    failed = true;
    error = QStringLiteral("cannot write %1: %2").arg(target, reason);
    return false;
}

bool OutputFile::failErrno(int number)
{
    return fail(QString::fromLocal8Bit(std::strerror(number)));
}

bool OutputFile::open()
{
    const int own = ownDescriptor(target);
    if (own >= 0) {
        fd = ::fcntl(own, F_DUPFD_CLOEXEC, 3);
        inPlace = true;
        return fd >= 0 || failErrno(errno);
    }
    const QFileInfo info(target);
    name = QFile::encodeName(info.fileName());
    if (name.isEmpty() || name == "." || name == "..")
        return fail(QStringLiteral("it is a folder"));
    dirFd = ::open(QFile::encodeName(info.absolutePath()).constData(),
                   O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return failErrno(errno);

    struct stat st = {};
    const bool exists = ::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT)
        return failErrno(errno);
    if (exists && S_ISLNK(st.st_mode)) {
        char to[4096];
        const ssize_t n = ::readlinkat(dirFd, name.constData(), to, sizeof to - 1);
        return fail(QStringLiteral("it is a symbolic link (to %1); give the file itself")
                        .arg(n > 0 ? QFile::decodeName(QByteArray(to, int(n))) : QString()));
    }
    if (exists && S_ISDIR(st.st_mode))
        return fail(QStringLiteral("it is a folder"));
    if (exists && !S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode) && !S_ISFIFO(st.st_mode))
        return fail(QStringLiteral("it is neither a regular file, a character device nor a FIFO"));

    // O_NONBLOCK: a FIFO without a reader (or one put there since the look above) is refused at
    // once rather than waited for with every signal blocked behind the open.
    const int flags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if (exists && !S_ISREG(st.st_mode)) {
        fd = ::openat(dirFd, name.constData(), flags);
        inPlace = true;
    } else if (mode == Stream) {
        fd = ::openat(dirFd, name.constData(), flags | O_CREAT | O_TRUNC, 0666);
    } else {
        // The new file is private until it is complete, then gets the mode of the one it
        // replaces (or the umask's).
        for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
            tempName =
                "." + name + "." + QByteArray::number(QRandomGenerator::global()->generate(), 36);
            fd = ::openat(dirFd, tempName.constData(), flags | O_CREAT | O_EXCL,
                          exists ? 0600 : 0666);
            if (fd < 0 && errno != EEXIST)
                break;
        }
        if (fd >= 0 && exists)
            ::fchmod(fd, st.st_mode & 07777);
        else if (fd < 0)
            tempName.clear();
    }
    if (fd < 0) {
        const int number = errno;
        return number == ENXIO ? fail(QStringLiteral("no process reads the FIFO"))
                               : failErrno(number);
    }
    struct stat opened = {};
    if (::fstat(fd, &opened) != 0 || (!inPlace && !S_ISREG(opened.st_mode)))
        return fail(QStringLiteral("it changed while it was opened"));
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return true;
}

bool OutputFile::write(const QByteArray &bytes)
{
    if (fd < 0 || failed)
        return false;
    const char *data = bytes.constData();
    size_t left = size_t(bytes.size());
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return failErrno(n < 0 ? errno : ENOSPC);
        data += n;
        left -= size_t(n);
    }
    return true;
}

bool OutputFile::commit()
{
    if (fd < 0)
        return false;
    if (failed) {
        cancel();
        return false;
    }
    const int closing = fd;
    fd = -1;
    if (::close(closing) != 0) {
        const int number = errno;
        if (!tempName.isEmpty())
            ::unlinkat(dirFd, tempName.constData(), 0);
        tempName.clear();
        closeAll();
        return failErrno(number);
    }
    if (!tempName.isEmpty()) {
        // The name is replaced as a name: a link planted there since open() is replaced, not
        // followed.
        if (::renameat(dirFd, tempName.constData(), dirFd, name.constData()) != 0) {
            const int number = errno;
            ::unlinkat(dirFd, tempName.constData(), 0);
            tempName.clear();
            closeAll();
            return failErrno(number);
        }
        tempName.clear();
    }
    closeAll();
    return true;
}

void OutputFile::cancel()
{
    if (!tempName.isEmpty() && dirFd >= 0)
        ::unlinkat(dirFd, tempName.constData(), 0);
    tempName.clear();
    closeAll();
}

void OutputFile::closeAll()
{
    if (fd >= 0)
        ::close(fd);
    if (dirFd >= 0)
        ::close(dirFd);
    fd = dirFd = -1;
}

bool OutputFile::writeWhole(const QString &path, const QByteArray &bytes, QString *error)
{
    OutputFile file(path, Replace);
    if (file.open() && file.write(bytes) && file.commit())
        return true;
    *error = file.errorString();
    return false;
}
