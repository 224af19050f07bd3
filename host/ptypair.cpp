#include "ptypair.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// socat prints this once both ptys and their links exist and it starts copying bytes.
const QByteArray ReadyLine = QByteArrayLiteral("starting data transfer loop");
const int KeptLogLines = 20;

// socat in a process group of its own, so that Ctrl+C in the terminal reaches only the host,
// which then ends socat in order; and ended by the kernel if the host dies without doing so.
class SocatProcess : public QProcess
{
public:
    using QProcess::QProcess;

protected:
    void setupChildProcess() override
    {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    }
};

} // namespace

PtyPair::PtyPair(const QString &linkDir, QObject *parent) : QObject(parent), dir(linkDir) { }

PtyPair::~PtyPair()
{
    close();
}

QString PtyPair::socatProgram()
{
    return QStandardPaths::findExecutable(QStringLiteral("socat"));
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
    error = reason;
    if (socat) {
        socat->disconnect(this);
        socat->kill();
        socat->waitForFinished(1000);
        socat.reset();
    }
    removeStaleName(simulatorEnd());
    removeStaleName(clientEnd());
    lock.reset();
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

bool PtyPair::open(int timeoutMs)
{
    return begin() && waitUntilReady(timeoutMs);
}

bool PtyPair::begin()
{
    if (opened || socat)
        return true;
    error.clear();
    socatLog.clear();

    const QString program = socatProgram();
    if (program.isEmpty()) {
        error = QStringLiteral("socat was not found in PATH; it makes the serial pair. Install "
                               "the Debian package \"socat\" (apt-get install socat), or pass "
                               "--device PATH");
        return false;
    }
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
    if (!removeStaleName(simulatorEnd()) || !removeStaleName(clientEnd())) {
        const QString reason = error;
        return fail(reason);
    }

    const QStringList arguments = {QStringLiteral("-d"), QStringLiteral("-d"),
                                   QStringLiteral("pty,raw,echo=0,link=%1").arg(simulatorEnd()),
                                   QStringLiteral("pty,raw,echo=0,link=%1").arg(clientEnd())};
    socat = std::make_unique<SocatProcess>();
    socat->setStandardOutputFile(QProcess::nullDevice());
    socat->setReadChannel(QProcess::StandardError);
    socat->start(program, arguments, QIODevice::ReadOnly);
    return true;
}

bool PtyPair::waitUntilReady(int timeoutMs)
{
    if (opened)
        return true;
    if (!socat)
        return false;
    const QDeadlineTimer deadline(timeoutMs);
    if (!socat->waitForStarted(int(deadline.remainingTime())))
        return fail(
            QStringLiteral("cannot start %1: %2").arg(socat->program(), socat->errorString()));

    // Ready once socat says so and both names resolve; it prints the line after making the links.
    bool ready = false;
    while (!ready) {
        if (!socat->canReadLine() && !socat->waitForReadyRead(int(deadline.remainingTime()))) {
            drainLog();
            if (socat->state() == QProcess::NotRunning)
                return fail(QStringLiteral("socat ended before the pair was ready: %1")
                                .arg(socatLog.join(QStringLiteral(" | "))));
            if (deadline.hasExpired())
                return fail(QStringLiteral("socat did not make the pair within %1 ms: %2")
                                .arg(timeoutMs)
                                .arg(socatLog.join(QStringLiteral(" | "))));
            continue;
        }
        while (socat->canReadLine()) {
            const QByteArray line = socat->readLine().trimmed();
            socatLog.append(QString::fromLocal8Bit(line));
            if (line.contains(ReadyLine))
                ready = QFileInfo::exists(simulatorEnd()) && QFileInfo::exists(clientEnd());
        }
        if (!ready && deadline.hasExpired())
            return fail(QStringLiteral("socat did not make the pair within %1 ms").arg(timeoutMs));
    }

    connect(socat.get(), &QProcess::readyReadStandardError, this, &PtyPair::drainLog);
    connect(socat.get(), qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            [this](int exitCode, QProcess::ExitStatus status) {
                drainLog();
                const QString how = status == QProcess::CrashExit
                    ? QStringLiteral("was killed")
                    : QStringLiteral("exited with status %1").arg(exitCode);
                const QString reason = QStringLiteral("socat %1; the serial pair is gone (%2)")
                                           .arg(how, socatLog.join(QStringLiteral(" | ")));
                // Inside socat's own signal: let the loop delete it.
                opened = false;
                socat->disconnect(this);
                socat.release()->deleteLater();
                removeStaleName(simulatorEnd());
                removeStaleName(clientEnd());
                lock.reset();
                emit lost(reason);
            });
    opened = true;
    return true;
}

void PtyPair::drainLog()
{
    if (!socat)
        return;
    const QList<QByteArray> lines = socat->readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (!line.trimmed().isEmpty())
            socatLog.append(QString::fromLocal8Bit(line.trimmed()));
    }
    while (socatLog.size() > KeptLogLines)
        socatLog.removeFirst();
}

void PtyPair::close()
{
    if (!opened && !socat)
        return;
    opened = false;
    if (socat) {
        socat->disconnect(this);
        if (socat->state() != QProcess::NotRunning) {
            socat->terminate();
            if (!socat->waitForFinished(2000)) {
                socat->kill();
                socat->waitForFinished(1000);
            }
        }
        socat.reset();
    }
    // socat removes its links when it ends on SIGTERM; not when it was killed.
    removeStaleName(simulatorEnd());
    removeStaleName(clientEnd());
    lock.reset();
}
