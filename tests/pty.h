#ifndef KELVANE_TESTS_PTY_H
#define KELVANE_TESTS_PTY_H

// The far end of a serial line in a test: the master of a pseudo-terminal pair, read and written
// through the event loop.

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

/// Runs the event loop until done() holds or timeoutMs have passed; whether done() held. Objects
/// deleted later are deleted on the way.
template<typename Predicate> bool waitFor(Predicate done, int timeoutMs = 5000)
{
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(timeoutMs);
    bool held = done();
    while (!held && deadline.isActive()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        held = done();
    }
    return held;
}

class Pty
{
public:
    /// A fresh pair; the simulator opens slavePath(). A slave descriptor stays open here, so
    /// that the master never reads as hung up while the simulator is closed.
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return;
        termios tio;
        tcgetattr(master, &tio);
        cfmakeraw(&tio);
        tcsetattr(master, TCSANOW, &tio);
        path = QString::fromLocal8Bit(ptsname(master));
        slave = ::open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
        notifier = new QSocketNotifier(master, QSocketNotifier::Read);
        QObject::connect(notifier, &QSocketNotifier::activated, [this] { drain(); });
    }
    /// Closes both ends held here: the simulator's side of the line hangs up.
    ~Pty()
    {
        delete notifier;
        if (slave >= 0)
            ::close(slave);
        if (master >= 0)
            ::close(master);
    }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    bool isOpen() const { return master >= 0; }
    QString slavePath() const { return path; }

    /// Reads what arrives (from the start) or leaves it in the pty, as a client that stops
    /// reading.
    void setReading(bool on)
    {
        notifier->setEnabled(on);
        if (on)
            drain();
    }

    /// Writes all of data, letting the event loop run while the pty is full.
    bool write(const QByteArray &data)
    {
        qsizetype done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(master, data.constData() + done, size_t(data.size() - done));
            if (n > 0)
                done += n;
            else if (n < 0 && errno != EAGAIN)
                return false;
            else
                QCoreApplication::processEvents();
        }
        return true;
    }

    /// The bytes up to and including the first terminator; empty when none came in time.
    QByteArray readUntil(const QByteArray &terminator, int timeoutMs = 5000)
    {
        if (!waitFor([&] { return received.contains(terminator); }, timeoutMs))
            return QByteArray();
        const int end = received.indexOf(terminator) + terminator.size();
        const QByteArray head = received.left(end);
        received.remove(0, end);
        return head;
    }

    /// Exactly count bytes; fewer when they did not come in time.
    QByteArray read(int count, int timeoutMs = 5000)
    {
        waitFor([&] { return received.size() >= count; }, timeoutMs);
        const QByteArray head = received.left(count);
        received.remove(0, head.size());
        return head;
    }

    /// Everything received so far.
    QByteArray takeAll()
    {
        drain();
        return std::exchange(received, QByteArray());
    }

    /// Bytes written here that the simulator has not read yet.
    int unreadBySlave() const
    {
        int queued = 0;
        return ::ioctl(slave, FIONREAD, &queued) == 0 ? queued : -1;
    }

    /// What was read and not taken yet.
    QByteArray received;

private:
    void drain()
    {
        char chunk[65536];
        ssize_t n;
        while ((n = ::read(master, chunk, sizeof chunk)) > 0)
            received.append(chunk, int(n));
    }

    int master = -1;
    int slave = -1;
    QString path;
    QSocketNotifier *notifier = nullptr;
};

#endif // KELVANE_TESTS_PTY_H
