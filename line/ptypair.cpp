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

bool PtyPair::makePty(const QString &link, int baud, int *master)
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
    ::cfsetspeed(&settings, speedCode(baud) != B0 ? speedCode(baud) : speed_t(B115200));
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
                             "to run a second host in a folder of its own")
                  .arg(dir)
                  .arg(pid)
            : QStringLiteral("cannot create a lock file in %1").arg(dir);
        lock.reset();
        error = reason;
        return false;
    }
    if (!removeStaleName(simulatorEnd()) || !removeStaleName(clientEnd()) ||
        (simulator && !makePty(simulatorEnd(), 115200, &simulatorMaster)) ||
        (client && !makePty(clientEnd(), clientBaud, &clientMaster))) {
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
    return removeStaleName(clientEnd()) && makePty(clientEnd(), clientBaud, &clientMaster);
}

bool PtyPair::isPeerOpen(int masterFd)
{
    // The master reports a hangup while no process has the slave open.
    pollfd entry = {masterFd, POLLIN, 0};
    return masterFd >= 0 && ::poll(&entry, 1, 0) >= 0 && !(entry.revents & (POLLHUP | POLLNVAL));
}

namespace {

const std::pair<int, speed_t> Speeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

} // namespace

speed_t PtyPair::speedCode(int baud)
{
    for (const auto &speed : Speeds) {
        if (speed.first == baud)
            return speed.second;
    }
    return B0;
}

int PtyPair::baudOf(speed_t code)
{
    for (const auto &speed : Speeds) {
        if (speed.second == code)
            return speed.first;
    }
    return 0;
}
