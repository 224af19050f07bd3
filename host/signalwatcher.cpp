#include "signalwatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// The write end for the handler; a plain int is all an async-signal-safe handler may touch.
volatile sig_atomic_t writeFd = -1;

// A host whose loop cannot get to a signal's byte (blocked in a write to a FIFO nobody reads, a
// device that takes nothing) is ended this long after the first signal, without its clean-up.
const unsigned int GraceSeconds = 2;

void endNow(int)
{
    _exit(1);
}
} // namespace

SignalWatcher::SignalWatcher(const QList<int> &signalNumbers, QObject *parent)
    : QObject(parent), watched(signalNumbers)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return;
    // A full buffer must never block the handler: a dropped byte only loses a repeated signal.
    ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    writeFd = fds[0];

    notifier = new QSocketNotifier(fds[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SignalWatcher::readSignals);

    struct sigaction action = {};
    action.sa_handler = &SignalWatcher::handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : qAsConst(watched))
        ::sigaction(number, &action, nullptr);
    struct sigaction grace = {};
    grace.sa_handler = &endNow;
    sigemptyset(&grace.sa_mask);
    ::sigaction(SIGALRM, &grace, nullptr);
}

SignalWatcher::~SignalWatcher()
{
    for (int number : qAsConst(watched))
        ::signal(number, SIG_DFL);
    ::alarm(0);
    ::signal(SIGALRM, SIG_DFL);
    writeFd = -1;
    delete notifier;
    for (int fd : fds) {
        if (fd >= 0)
            ::close(fd);
    }
}

QString SignalWatcher::signalName(int signalNumber)
{
    switch (signalNumber) {
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    default:
        return QString::number(signalNumber);
    }
}

void SignalWatcher::handle(int signalNumber)
{
    const int savedErrno = errno;
    const int fd = writeFd;
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signalNumber);
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
        // The first signal arms the grace; later ones leave it running.
        const unsigned int left = ::alarm(GraceSeconds);
        if (left != 0)
            ::alarm(left);
    }
    errno = savedErrno;
}

void SignalWatcher::readSignals()
{
    unsigned char bytes[16];
    ssize_t count;
    while ((count = ::read(fds[1], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < count; ++i)
            emit caught(bytes[i]);
    }
}
