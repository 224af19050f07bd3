#include "linerelay.h"

#include "linereplay.h"
#include "ptypair.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <unistd.h>

namespace {

// Deliveries are batched to at least this far apart: 250 wake-ups a second at most while the
// line is busy, none while it is idle.
const qint64 MinTickUs = 4000;
// A replayed record wakes the relay at its own times (at most two a delivery), to the ms.
const qint64 RecordTickUs = 1000;
// While an end has nobody on it, it is looked at this often.
const int PresencePollMs = 50;
const int ReadChunk = 65536;
// At the end of a replay, how long client ends that do not take their last bytes are waited for.
const qint64 DrainUs = 2000000;

} // namespace

LineRelay::LineRelay(PtyPair *pair, LineReplay *replay, const ClientEnds::Options &options,
                     LineConditioner *toClient, LineConditioner *toDevice)
    : pair(pair), replay(replay), toClient(toClient), toDevice(toDevice)
{
    clock.start();
    toClient->setListening(false);
    toDevice->setListening(false);
    ends = new ClientEnds(pair, options, &lock, this);
    ends->onCommand = [this](const QByteArray &bytes) {
        // Looked at now, not at the last presence poll: a command that follows the simulator's
        // opening of its end by less than a poll is heard.
        checkSimulatorPresence();
        this->toDevice->write(nowUs(), bytes);
    };
    ends->onListening = [this](bool on) { this->toClient->setListening(on); };
    ends->onActivity = [this] { pump(); };
    ends->onNotice = [this](const QString &text) { emit notice(text); };
    ends->onFailed = [this](const QString &reason) { emit failed(reason); };
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
                QMutexLocker locker(&lock);
                delete deviceReader;
                delete deviceWriter;
                deviceReader = deviceWriter = nullptr;
                ends->end();
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
    ends->begin();
    if (pair && pair->simulatorFd() >= 0) {
        deviceFd = pair->simulatorFd();
        deviceReader = new QSocketNotifier(deviceFd, QSocketNotifier::Read, this);
        deviceWriter = new QSocketNotifier(deviceFd, QSocketNotifier::Write, this);
        deviceReader->setEnabled(false);
        deviceWriter->setEnabled(false);
        connect(deviceReader, &QSocketNotifier::activated, this, [this] {
            QMutexLocker locker(&lock);
            readSource();
            pump();
        });
        connect(deviceWriter, &QSocketNotifier::activated, this, [this] {
            QMutexLocker locker(&lock);
            flushDevice();
            pump();
        });
    }
    if (replay) {
        // No instrument takes the commands: they cross the line (and are recorded) all the same.
        replay->start(nowUs());
        toDevice->setListening(true);
    }
    checkPresence();
}

void LineRelay::checkPresence()
{
    ends->checkPresence();
    checkSimulatorPresence();
    pump();
}

void LineRelay::checkSimulatorPresence()
{
    if (deviceFd < 0)
        return;
    const bool present = PtyPair::isPeerOpen(deviceFd);
    if (present != devicePresent)
        setSimulatorPresent(present);
}

bool LineRelay::isSimulatorOpen()
{
    QMutexLocker locker(&lock);
    return PtyPair::isPeerOpen(deviceFd);
}

void LineRelay::setSimulatorPresent(bool present)
{
    devicePresent = present;
    if (!present) {
        deviceUnwritten.clear();
        deviceWriter->setEnabled(false);
    }
    deviceReader->setEnabled(present);
    // Commands are heard only while the simulator has its end open.
    toDevice->setListening(present);
}

void LineRelay::readSource()
{
    const qint64 now = nowUs();
    qint64 room = ends->isHolding() ? 0 : toClient->room(now);
    if (replay) {
        while (room > 0) {
            const QByteArray bytes = replay->take(now, room);
            if (bytes.isEmpty())
                break;
            toClient->write(now, bytes);
            room = toClient->baud() == 0 ? qMin(room - bytes.size(), toClient->room(now))
                                         : room - bytes.size();
            replayCrossed.push_back(toClient->crossedUs());
        }
        return;
    }
    if (deviceFd < 0 || !devicePresent)
        return;
    if (room <= 0) {
        // The line is full: the rest waits in the simulator until it has crossed.
        deviceReader->setEnabled(false);
        return;
    }
    // Take all the simulator has written so far in one go, as far as the line has room.
    char buffer[ReadChunk];
    ssize_t n = 0;
    while (room > 0 && (n = ::read(deviceFd, buffer, size_t(qMin<qint64>(room, ReadChunk)))) > 0) {
        toClient->write(now, QByteArray(buffer, int(n)));
        room -= n;
        if (toClient->baud() == 0)
            room = qMin(room, toClient->room(now));
    }
    if (n < 0 && errno == EIO)
        setSimulatorPresent(false); // nobody has the slave open: its presence check follows
}

void LineRelay::sendToDevice(const QByteArray &bytes)
{
    if (deviceFd < 0 || !devicePresent)
        return;
    const ssize_t n = ::write(deviceFd, bytes.constData(), size_t(bytes.size()));
    if (n == bytes.size())
        return;
    if (n < 0 && errno != EAGAIN && errno != EINTR)
        return; // the end went away; its presence check follows
    deviceUnwritten = bytes.mid(int(qMax<ssize_t>(n, 0)));
    flushDevice();
}

void LineRelay::flushDevice()
{
    while (!deviceUnwritten.isEmpty() && deviceFd >= 0) {
        const ssize_t n =
            ::write(deviceFd, deviceUnwritten.constData(), size_t(deviceUnwritten.size()));
        if (n > 0) {
            deviceUnwritten.remove(0, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            deviceUnwritten.clear(); // the end went away; its presence check follows
        break;
    }
    if (deviceWriter)
        deviceWriter->setEnabled(!deviceUnwritten.isEmpty());
}

void LineRelay::pump()
{
    const qint64 now = nowUs();
    if (replay)
        readSource();
    for (QByteArray bytes; !(bytes = toClient->take(now)).isEmpty();) {
        emit deliveredToClient(now, bytes);
        ends->deliver(now, bytes);
    }
    ends->flush(now, toClient->pending() == 0);
    // Commands go one write at a time, each only once the last has left.
    while (deviceUnwritten.isEmpty()) {
        const QByteArray chunk = toDevice->take(now);
        if (chunk.isEmpty())
            break;
        emit deliveredToDevice(now, chunk);
        if (!replay) {
            sendToDevice(chunk);
        } else if (!commandsNoticed) {
            commandsNoticed = true;
            emit notice(QStringLiteral("replay: commands from clients reach no instrument; they "
                                       "are ignored (and recorded with --record)"));
        }
    }
    if (deviceReader)
        deviceReader->setEnabled(devicePresent && !ends->isHolding() && toClient->room(now) > 0);
    if (replay && replay->atEnd() && !ended && toClient->pending() == 0) {
        if (drainDeadlineUs < 0)
            drainDeadlineUs = now + DrainUs;
        if (!ends->hasUnwritten() || now >= drainDeadlineUs) {
            ended = true;
            emit replayEnded();
        }
    }
    schedule();
}

void LineRelay::schedule()
{
    const qint64 now = nowUs();
    qint64 next = -1;
    const auto consider = [&next](qint64 at) {
        if (at >= 0)
            next = next < 0 ? at : qMin(next, at);
    };
    // A record's delivery goes in one piece when it has crossed, at its recorded time, rather
    // than in pieces at ticks that fall while it crosses.
    const bool recordTimes = replay && replay->isRecord();
    while (!replayCrossed.empty() && replayCrossed.front() <= now)
        replayCrossed.pop_front();
    const qint64 toClientAt = toClient->nextUs();
    consider(recordTimes && toClientAt >= 0 && !replayCrossed.empty()
                 ? qMax(toClientAt, replayCrossed.front())
                 : toClientAt);
    consider(toDevice->nextUs());
    consider(ends->nextUs());
    // Room comes back as the line empties: wake to read once a tick's worth has crossed.
    const bool room = !ends->isHolding() && toClient->room(now) > 0;
    if (replay && !replay->atEnd())
        consider(room ? replay->nextUs() : now + MinTickUs);
    if (devicePresent && deviceReader && !deviceReader->isEnabled() && !ends->isHolding())
        consider(now + MinTickUs);
    if (replay && !ended && drainDeadlineUs >= 0)
        consider(drainDeadlineUs);

    const bool polling = ends->needsPolling() || (deviceFd >= 0 && !devicePresent);
    if (polling != presence->isActive())
        polling ? presence->start() : presence->stop();
    if (next < 0) {
        tick->stop();
        return;
    }
    const int delayMs =
        int((qMax(recordTimes ? RecordTickUs : MinTickUs, next - now) + 999) / 1000);
    // A wake-up that comes earlier than needed only looks again; restarting costs more.
    if (!tick->isActive() || tick->remainingTime() > delayMs)
        tick->start(delayMs);
}

void LineRelay::reportEnd(qint64 *untilUs, const QString &text)
{
    const qint64 now = nowUs();
    if (*untilUs < 0)
        return;
    if (now < *untilUs) {
        QTimer::singleShot(int((*untilUs - now + 999) / 1000), this,
                           [this, untilUs, text] { reportEnd(untilUs, text); });
        return;
    }
    *untilUs = -1;
    emit notice(text);
}

void LineRelay::unplug(double seconds)
{
    later([this, seconds] {
        QMutexLocker locker(&lock);
        const qint64 now = nowUs();
        const qint64 duration = qint64(seconds * 1e6);
        toClient->unplug(now, duration);
        toDevice->unplug(now, duration);
        ends->unplugged();
        pump();
        unplugUntilUs = qMax(unplugUntilUs, now + duration);
        reportEnd(&unplugUntilUs, QStringLiteral("fault unplug over: the line carries again"));
    });
}

void LineRelay::stall(double seconds)
{
    later([this, seconds] {
        QMutexLocker locker(&lock);
        const qint64 now = nowUs();
        toClient->stall(now, qint64(seconds * 1e6));
        pump();
        stallUntilUs = qMax(stallUntilUs, now + qint64(seconds * 1e6));
        reportEnd(&stallUntilUs,
                  QStringLiteral("fault stall over: what the line held reaches the clients"));
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
        ends->hangUp(seconds);
        pump();
    });
}
