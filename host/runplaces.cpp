#include "runplaces.h"

#include "report.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace RunPlaces {

// $XDG_RUNTIME_DIR/kelvane-host; without XDG_RUNTIME_DIR (sudo, a container) a folder of our
// own in the temporary folder rather than Qt's stand-in, which it makes with a warning. The
// folder is private (0700) and must be ours: a name in /tmp can be taken by anyone first.
// Empty, with the reason printed, when that folder cannot be had.
QString defaultLinkDir()
{
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        return QDir(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation))
            .filePath(QStringLiteral("kelvane-host"));
    }
    const QString dir =
        QDir(QDir::tempPath()).filePath(QStringLiteral("kelvane-host-%1").arg(::getuid()));
    const QByteArray path = QFile::encodeName(dir);
    struct stat info = {};
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        Report::error(QStringLiteral("cannot create the folder %1: %2; pass --link-dir")
                          .arg(dir, QString::fromLocal8Bit(std::strerror(errno))));
        return QString();
    }
    if (::lstat(path.constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::getuid() || (info.st_mode & 077) != 0) {
        Report::error(
            QStringLiteral("%1 is not a private folder of this user; pass --link-dir").arg(dir));
        return QString();
    }
    return dir;
}

// A folder given by name may be anyone's: one that another user owns, or may write in, could
// have names planted in it where the pair's links, the lock and the run's settings go.
bool checkLinkDir(const QString &dir)
{
    const QByteArray path = QFile::encodeName(dir);
    if (!QFileInfo::exists(dir)) {
        QDir().mkpath(QFileInfo(dir).absolutePath());
        if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
            Report::error(QStringLiteral("cannot create the folder %1: %2")
                              .arg(dir, QString::fromLocal8Bit(std::strerror(errno))));
            return false;
        }
    }
    struct stat info = {};
    if (::stat(path.constData(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        Report::error(QStringLiteral("--link-dir %1 is not a folder").arg(dir));
        return false;
    }
    if (info.st_uid != ::getuid() || (info.st_mode & 022) != 0) {
        Report::error(QStringLiteral("--link-dir %1 is not this user's own folder (owned by uid "
                                     "%2, mode %3): another user could plant names in it")
                          .arg(dir)
                          .arg(info.st_uid)
                          .arg(info.st_mode & 07777, 4, 8, QLatin1Char('0')));
        return false;
    }
    return true;
}

// The plug-in opens its device only in start(), where a failure is one log line and the host
// would run on without a serial line: the device is tried here first, as the plug-in opens it.
bool checkDevice(const QString &path)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        Report::error(QStringLiteral("device %1 does not exist").arg(path));
        return false;
    }
    if (!S_ISCHR(info.st_mode)) {
        Report::error(QStringLiteral("%1 is no serial device (not a character device)").arg(path));
        return false;
    }
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        Report::error(error == EBUSY
                          ? QStringLiteral("%1 is in use by another program").arg(path)
                          : QStringLiteral("cannot open %1: %2")
                                .arg(path, QString::fromLocal8Bit(std::strerror(error))));
        return false;
    }
    const bool terminal = ::isatty(fd);
    ::close(fd);
    if (!terminal) {
        Report::error(QStringLiteral("%1 is no serial port (not a terminal)").arg(path));
        return false;
    }
    // QSerialPort also takes the device's lock file, which another serial program may hold.
    QSerialPort port(path);
    if (!port.open(QIODevice::ReadWrite)) {
        Report::error(port.error() == QSerialPort::PermissionError
                          ? QStringLiteral("%1 is in use by another program").arg(path)
                          : QStringLiteral("cannot open %1: %2").arg(path, port.errorString()));
        return false;
    }
    return true;
}

} // namespace RunPlaces
