#ifndef KELVANE_TESTS_PTY_H
#define KELVANE_TESTS_PTY_H

// The far end of a line in a test, read and written through the event loop: a descriptor of the
// test's (a socket, a pty), or the master of a pseudo-terminal pair made here.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

/// Runs the event loop until done() holds or timeoutMs have passed; whether done() held. Objects
/// deleted later are deleted on the way; done() is asked after every pass of the loop, and at
/// least every 10 ms for what no event announces (a file, a process that ended).
template<typename Predicate> bool waitFor(Predicate done, int timeoutMs = 5000)
{
    QElapsedTimer clock;
    clock.start();
    QTimer wake;
    wake.start(10);
    bool held = done();
    while (!held && !clock.hasExpired(timeoutMs)) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        held = done();
    }
    return held;
}

/// A socket connected to the Unix-domain socket at path (a name of the local 8-bit encoding);
/// -1 when it cannot connect.
inline int unixSocket(const QByteArray &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
        return fd;
    ::close(fd);
    return -1;
}

/// Reads its descriptor (made non-blocking, closed at the end) as bytes come: into received, with
/// the size of each read, one datagram for UDP; ended at its end of file or hangup.
class Peer
{
public:
    explicit Peer(int fd) : fd(fd), notifier(fd, QSocketNotifier::Read)
    {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        QObject::connect(&notifier, &QSocketNotifier::activated, [this] { take(); });
    }
    ~Peer()
    {
        notifier.setEnabled(false);
        ::close(fd);
    }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    /// Reads what arrives, or leaves it unread, as a client that stops reading.
    void setReading(bool on)
    {
        notifier.setEnabled(on && !ended);
        if (on)
            take();
    }

    /// Writes all of data, letting the event loop run while the other end is full.
    bool write(const QByteArray &data)
    {
        int done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
            if (n > 0)
                done += int(n);
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
        return read(received.indexOf(terminator) + terminator.size(), 0);
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
        take();
        return std::exchange(received, QByteArray());
    }

    /// Reads all there is now.
    void take()
    {
        char chunk[65536];
        ssize_t n;
        while ((n = ::read(fd, chunk, sizeof chunk)) > 0) {
            received.append(chunk, int(n));
            reads.append(int(n));
        }
        ended = n == 0 || (n < 0 && errno != EAGAIN);
        if (ended)
            notifier.setEnabled(false);
    }

    const int fd;
    QByteArray received; ///< what was read and not taken yet
    QList<int> reads;
    bool ended = false;

private:
    QSocketNotifier notifier;
};

/// A fresh pty pair, raw; the simulator opens slavePath(). A slave descriptor stays open here, so
/// that the master never reads as hung up while the simulator is closed; both close at the end:
/// the simulator's side of the line hangs up.
class Pty : public Peer
{
public:
    Pty() : Peer(rawMaster()), slave(::open(ptsname(fd), O_RDWR | O_NOCTTY | O_NONBLOCK)) { }
    ~Pty() { ::close(slave); }

    bool isOpen() const { return slave >= 0; }
    QString slavePath() const { return QString::fromLocal8Bit(ptsname(fd)); }

    /// Bytes written here that the simulator has not read yet.
    int unreadBySlave() const
    {
        int queued = 0;
        return ::ioctl(slave, FIONREAD, &queued) == 0 ? queued : -1;
    }

private:
    static int rawMaster()
    {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        termios tio;
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 &&
            tcgetattr(master, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(master, TCSANOW, &tio);
        }
        return master;
    }

    const int slave;
};

#endif // KELVANE_TESTS_PTY_H
