#include "linerelay.h"

#include "ptypair.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <termios.h>
#include <unistd.h>

namespace {

// Deliveries are batched to at least this far apart: 250 wake-ups a second at most while the
// line is busy, none while it is idle.
const qint64 MinTickUs = 4000;
// While an end has nobody on it, it is looked at this often.
const int PresencePollMs = 50;
const int ReadChunk = 65536;

} // namespace

LineRelay::LineRelay(PtyPair *pair, LineConditioner *toClient, LineConditioner *toDevice)
    : pair(pair), toClient(toClient), toDevice(toDevice)
{
    clock.start();
    toClient->setListening(false);
    toDevice->setListening(false);
    thread.setObjectName(QStringLiteral("line"));
    moveToThread(&thread);
}

LineRelay::~LineRelay()
{
    // The notifiers and timers belong to the relay's thread: they go there, then the thread.
    if (thread.isRunning()) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                detach(device);
                detach(client);
                delete tick;
                delete presence;
                tick = presence = nullptr;
                thread.quit();
            },
            Qt::QueuedConnection);
        thread.wait();
    }
}

void LineRelay::start()
{
    thread.start();
    later([this] { begin(); });
}

void LineRelay::later(const std::function<void()> &f)
{
    QMetaObject::invokeMethod(this, f, Qt::QueuedConnection);
}

void LineRelay::locked(const std::function<void()> &f)
{
    QMutexLocker locker(&lock);
    f();
}

void LineRelay::begin()
{
    tick = new QTimer(this);
    tick->setSingleShot(true);
    tick->setTimerType(Qt::PreciseTimer);
    connect(tick, &QTimer::timeout, this, [this] {
        QMutexLocker locker(&lock);
        pump();
    });
    presence = new QTimer(this);
    presence->setInterval(PresencePollMs);
    connect(presence, &QTimer::timeout, this, [this] {
        QMutexLocker locker(&lock);
        checkPresence();
    });
    QMutexLocker locker(&lock);
    attach(device, pair->simulatorFd());
    attach(client, pair->clientFd());
    checkPresence();
}

void LineRelay::attach(End &end, int fd)
{
    end.fd = fd;
    end.present = false;
    if (fd < 0)
        return;
    end.reader = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    end.writer = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    end.reader->setEnabled(false);
    end.writer->setEnabled(false);
    connect(end.reader, &QSocketNotifier::activated, this, [this, &end] {
        QMutexLocker locker(&lock);
        &end == &device ? readDevice() : readClient();
    });
    connect(end.writer, &QSocketNotifier::activated, this, [this, &end] {
        QMutexLocker locker(&lock);
        flushEnd(end);
        pump();
    });
}

void LineRelay::detach(End &end)
{
    delete end.reader;
    delete end.writer;
    end.reader = end.writer = nullptr;
    end.unwritten.clear();
    end.present = false;
    end.fd = -1;
}

void LineRelay::checkPresence()
{
    bool polling = false;
    for (End *end : {&device, &client}) {
        const bool present = PtyPair::isPeerOpen(end->fd);
        if (present != end->present)
            setPresent(*end, present);
        polling = polling || (end->fd >= 0 && !present);
    }
    if (polling && !presence->isActive())
        presence->start();
    else if (!polling)
        presence->stop();
    pump();
}

void LineRelay::setPresent(End &end, bool present)
{
    const bool isDevice = &end == &device;
    const bool was = end.present;
    end.present = present;
    if (!present) {
        // The last bytes the departed client wrote are still relayed; then its slave's unread
        // input goes, so that the next client starts afresh.
        if (was && !isDevice) {
            readClient();
            ::tcflush(end.fd, TCIOFLUSH);
        }
        end.unwritten.clear();
        if (end.writer)
            end.writer->setEnabled(false);
    }
    if (end.reader)
        end.reader->setEnabled(present);
    (isDevice ? simulatorOpen : clientOpen) = present;
    // What goes towards an end is heard only while someone has it open.
    (isDevice ? toDevice : toClient)->setListening(present);
}

void LineRelay::readDevice()
{
    if (device.fd < 0)
        return;
    const qint64 now = nowUs();
    const qint64 room = client.unwritten.isEmpty() ? toClient->room(now) : 0;
    if (room <= 0) {
        // The line is full: the rest waits in the simulator until it has crossed.
        device.reader->setEnabled(false);
        schedule();
        return;
    }
    // Take all the simulator has written so far in one go, as far as the line has room.
    char buffer[ReadChunk];
    ssize_t n = 0;
    qint64 left = room;
    while (left > 0 && (n = ::read(device.fd, buffer, size_t(qMin<qint64>(left, ReadChunk)))) > 0) {
        toClient->write(now, QByteArray(buffer, int(n)));
        left -= n;
        if (toClient->baud() == 0)
            left = qMin(left, toClient->room(now));
    }
    if (n < 0 && errno == EIO) {
        if (device.present)
            setPresent(device, false);
        presence->start();
        return;
    }
    pump();
}

void LineRelay::readClient()
{
    if (client.fd < 0)
        return;
    char buffer[ReadChunk];
    const ssize_t n = ::read(client.fd, buffer, sizeof buffer);
    if (n > 0) {
        // One read is one write of the client's: it stays one piece on its way.
        toDevice->write(nowUs(), QByteArray(buffer, int(n)));
        pump();
    } else if (n < 0 && errno == EIO) {
        if (client.present)
            setPresent(client, false);
        presence->start();
    }
}

void LineRelay::send(End &end, const QByteArray &bytes)
{
    if (end.fd < 0 || !end.present)
        return;
    if (end.unwritten.isEmpty()) {
        // Most writes go whole: only a remainder is kept.
        const ssize_t n = ::write(end.fd, bytes.constData(), size_t(bytes.size()));
        if (n == bytes.size())
            return;
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return; // the end went away; its presence check follows
        end.unwritten = bytes.mid(int(qMax<ssize_t>(n, 0)));
    } else {
        end.unwritten.append(bytes);
    }
    flushEnd(end);
}

void LineRelay::flushEnd(End &end)
{
    while (!end.unwritten.isEmpty() && end.fd >= 0) {
        const ssize_t n = ::write(end.fd, end.unwritten.constData(), size_t(end.unwritten.size()));
        if (n > 0) {
            end.unwritten.remove(0, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            end.unwritten.clear(); // the end went away; its presence check follows
        break;
    }
    if (end.writer)
        end.writer->setEnabled(!end.unwritten.isEmpty());
}

void LineRelay::pump()
{
    const qint64 now = nowUs();
    for (QByteArray bytes; !(bytes = toClient->take(now)).isEmpty();) {
        emit deliveredToClient(now, bytes);
        send(client, bytes);
    }
    // Commands go one write at a time, each only once the last has left.
    while (device.unwritten.isEmpty()) {
        const QByteArray chunk = toDevice->take(now);
        if (chunk.isEmpty())
            break;
        emit deliveredToDevice(now, chunk);
        send(device, chunk);
    }
    if (device.reader)
        device.reader->setEnabled(device.present && client.unwritten.isEmpty() &&
                                  toClient->room(now) > 0);
    schedule();
}

void LineRelay::schedule()
{
    const qint64 now = nowUs();
    qint64 next = -1;
    for (const LineConditioner *line : {toClient, toDevice}) {
        const qint64 at = line->nextUs();
        if (at >= 0)
            next = next < 0 ? at : qMin(next, at);
    }
    // Room comes back as the line empties: wake to read once a tick's worth has crossed.
    if (device.present && device.reader && !device.reader->isEnabled() &&
        client.unwritten.isEmpty())
        next = next < 0 ? now + MinTickUs : qMin(next, now + MinTickUs);
    if (next < 0) {
        tick->stop();
        return;
    }
    const int delayMs = int((qMax(MinTickUs, next - now) + 999) / 1000);
    // A wake-up that comes earlier than needed only looks again; restarting costs more.
    if (!tick->isActive() || tick->remainingTime() > delayMs)
        tick->start(delayMs);
}

void LineRelay::unplug(double seconds)
{
    later([this, seconds] {
        QMutexLocker locker(&lock);
        const qint64 now = nowUs();
        const qint64 duration = qint64(seconds * 1e6);
        toClient->unplug(now, duration);
        toDevice->unplug(now, duration);
        client.unwritten.clear();
        pump();
    });
}

void LineRelay::stall(double seconds)
{
    later([this, seconds] {
        QMutexLocker locker(&lock);
        toClient->stall(nowUs(), qint64(seconds * 1e6));
        pump();
    });
}

void LineRelay::garbage(int count)
{
    later([this, count] {
        QMutexLocker locker(&lock);
        toClient->injectGarbage(nowUs(), count);
        pump();
    });
}

void LineRelay::hangUp(double seconds)
{
    later([this, seconds] {
        QMutexLocker locker(&lock);
        if (client.fd < 0)
            return;
        setPresent(client, false);
        detach(client);
        pair->hangUpClient();
        QTimer::singleShot(int(seconds * 1000), this, [this] {
            QMutexLocker locker(&lock);
            if (!pair->restoreClient()) {
                emit failed(pair->errorString());
                return;
            }
            attach(client, pair->clientFd());
            checkPresence();
        });
    });
}
