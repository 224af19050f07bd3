#include "ptypair.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair(const QString &linkDir) : dir(linkDir) { }

PtyPair::~PtyPair()
{
    close();
}

QString PtyPair::simulatorEnd() const
{
    return QDir(dir).filePath(QStringLiteral("simulator"));
}

QString PtyPair::clientEnd() const
{
    return QDir(dir).filePath(QStringLiteral("client"));
}

bool PtyPair::fail(const QString &reason)
{
    close();
    error = reason;
    return false;
}

bool PtyPair::removeStaleName(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isSymLink() && !info.exists())
        return true;
    if (!info.isSymLink()) {
        error =
            QStringLiteral("%1 exists and is not a link; remove it or pass --link-dir").arg(path);
        return false;
    }
    return QFile::remove(path);
}

bool PtyPair::makePty(const QString &link, int *master)
{
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || ::grantpt(fd) != 0 || ::unlockpt(fd) != 0) {
        error = QStringLiteral("cannot make a pseudo-terminal: %1")
                    .arg(QString::fromLocal8Bit(std::strerror(errno)));
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    const QByteArray slave = ::ptsname(fd);
    // Raw and without echo, like a serial line, for whoever opens it: the slave keeps its
    // settings while the master lives.
    const int slaveFd = ::open(slave.constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings = {};
    if (slaveFd < 0 || ::tcgetattr(slaveFd, &settings) != 0) {
        error =
            QStringLiteral("cannot open %1: %2")
                .arg(QString::fromLocal8Bit(slave), QString::fromLocal8Bit(std::strerror(errno)));
        if (slaveFd >= 0)
            ::close(slaveFd);
        ::close(fd);
        return false;
    }
    ::cfmakeraw(&settings);
    ::cfsetspeed(&settings, B115200);
    ::tcsetattr(slaveFd, TCSANOW, &settings);
    ::close(slaveFd);
    if (!QFile::link(QString::fromLocal8Bit(slave), link)) {
        error = QStringLiteral("cannot make the link %1").arg(link);
        ::close(fd);
        return false;
    }
    *master = fd;
    return true;
}

bool PtyPair::open(bool simulator, bool client)
{
    if (lock)
        return true;
    error.clear();
    if (!QDir().mkpath(dir)) {
        error = QStringLiteral("cannot create the folder %1").arg(dir);
        return false;
    }
    // The lock records our pid: a host that died leaves a lock that QLockFile sees as stale,
    // and then its names are stale too.
    lock = std::make_unique<QLockFile>(QDir(dir).filePath(QStringLiteral("kelvane-host.lock")));
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0)) {
        qint64 pid = 0;
        QString host, app;
        lock->getLockInfo(&pid, &host, &app);
        const QString reason = lock->error() == QLockFile::LockFailedError
            ? QStringLiteral("%1 is in use by another kelvane-host (pid %2); pass --link-dir "
                             "to make a second pair elsewhere, and --settings for a settings file "
                             "of its own (each host writes its device into the file)")
                  .arg(dir)
                  .arg(pid)
            : QStringLiteral("cannot create a lock file in %1").arg(dir);
        lock.reset();
        error = reason;
        return false;
    }
    if (!removeStaleName(simulatorEnd()) || !removeStaleName(clientEnd()) ||
        (simulator && !makePty(simulatorEnd(), &simulatorMaster)) ||
        (client && !makePty(clientEnd(), &clientMaster))) {
        const QString reason = error;
        return fail(reason);
    }
    return true;
}

void PtyPair::close()
{
    if (!lock)
        return;
    for (int *fd : {&simulatorMaster, &clientMaster}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    removeStaleName(simulatorEnd());
    removeStaleName(clientEnd());
    lock.reset();
}

void PtyPair::hangUpClient()
{
    if (clientMaster < 0)
        return;
    ::close(clientMaster);
    clientMaster = -1;
    removeStaleName(clientEnd());
}

bool PtyPair::restoreClient()
{
    if (!lock || clientMaster >= 0)
        return clientMaster >= 0;
    return removeStaleName(clientEnd()) && makePty(clientEnd(), &clientMaster);
}

bool PtyPair::isPeerOpen(int masterFd)
{
    // The master reports a hangup while no process has the slave open.
    pollfd entry = {masterFd, POLLIN, 0};
    return masterFd >= 0 && ::poll(&entry, 1, 0) >= 0 && !(entry.revents & (POLLHUP | POLLNVAL));
}
