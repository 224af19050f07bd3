#include "ptyclientend.h"

#include "ptypair.h"

#include <QSocketNotifier>

#include <cerrno>
#include <termios.h>
#include <unistd.h>

namespace {

const int ReadChunk = 65536;

} // namespace

PtyClientEnd::PtyClientEnd(PtyPair *pair, int baud)
    : ClientEnd(pair->clientEnd()), pair(pair), lineBaud(baud), fd(pair->clientFd()), speed(baud)
{
}

void PtyClientEnd::begin(QObject *owner)
{
    context = owner;
    watch();
}

void PtyClientEnd::end()
{
    unwatch();
}

void PtyClientEnd::watch()
{
    reader = new QSocketNotifier(fd, QSocketNotifier::Read, context);
    writer = new QSocketNotifier(fd, QSocketNotifier::Write, context);
    reader->setEnabled(isPresent());
    writer->setEnabled(false);
    QObject::connect(reader, &QSocketNotifier::activated, context, [this] {
        const auto activity = events.activity;
        read();
        activity();
    });
    QObject::connect(writer, &QSocketNotifier::activated, context, [this] {
        const auto activity = events.activity;
        if (fd >= 0)
            writeUnwritten();
        activity();
    });
}

void PtyClientEnd::unwatch()
{
    delete reader;
    delete writer;
    reader = writer = nullptr;
}

void PtyClientEnd::read()
{
    if (fd < 0)
        return;
    // While its commands fill their queue, the rest waits in the pty, and the writer with it.
    const qint64 room = qMin<qint64>(ReadChunk, MaxCommandBytes - commandBytes());
    if (room <= 0) {
        if (reader)
            reader->setEnabled(false);
        return;
    }
    char buffer[ReadChunk];
    const ssize_t n = ::read(fd, buffer, size_t(room));
    if (n > 0)
        events.command(QByteArray(buffer, int(n)));
    else if (n < 0 && errno == EIO && isPresent())
        changePresence(false); // nobody has the slave open any more
}

void PtyClientEnd::commandsTaken()
{
    if (reader && fd >= 0 && isPresent())
        reader->setEnabled(true);
}

void PtyClientEnd::checkPresence()
{
    if (fd < 0)
        return;
    const bool open = PtyPair::isPeerOpen(fd);
    if (open != isPresent())
        changePresence(open);
}

void PtyClientEnd::changePresence(bool on)
{
    if (!on) {
        // The last bytes the departed client wrote are still relayed; then its slave's unread
        // input goes, so that the next client starts afresh.
        if (isPresent()) {
            char buffer[ReadChunk];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0)
                events.command(QByteArray(buffer, int(n)));
            ::tcflush(fd, TCIOFLUSH);
        }
        unwritten.clear();
        if (writer)
            writer->setEnabled(false);
        // The next client finds the end at the line's speed again, as a new one does, also
        // when the one that left changed it after the last look.
        if (fd >= 0 && lineBaud > 0) {
            termios settings = {};
            if (::tcgetattr(fd, &settings) == 0 &&
                ::cfsetspeed(&settings, PtyPair::speedCode(lineBaud)) == 0)
                ::tcsetattr(fd, TCSANOW, &settings);
            speed = lineBaud;
        }
    }
    if (reader)
        reader->setEnabled(on);
    setPresent(on);
    if (on)
        checkSpeed();
}

void PtyClientEnd::checkSpeed()
{
    if (fd < 0 || !isPresent() || lineBaud <= 0)
        return;
    // The master reports the settings its slave's client made.
    termios settings = {};
    if (::tcgetattr(fd, &settings) != 0)
        return;
    const int now = PtyPair::baudOf(::cfgetospeed(&settings));
    if (now == speed)
        return;
    speed = now;
    if (now == lineBaud)
        return;
    ++wrongSpeeds;
    events.notice(QStringLiteral("warning: %1 is set to %2 baud, but the line runs at %3 baud: on "
                                 "a serial line the client would read garbage")
                      .arg(name())
                      .arg(now)
                      .arg(lineBaud));
}

void PtyClientEnd::send(qint64, const QByteArray &bytes)
{
    checkSpeed();
    // Most writes go whole: appended to nothing, the bytes are shared, not copied, and only a
    // remainder is kept.
    unwritten.append(bytes);
    writeUnwritten();
    if (!isShared() || unwritten.size() <= MaxQueuedBytes)
        return;
    // Others are served beside it: a reader that does not read loses what waits for it rather
    // than stopping them, as a TCP client would be dropped.
    if (!dropping)
        events.notice(QStringLiteral("%1: its reader left %2 bytes unread, more than the bound of "
                                     "%3, while other clients are served: they are dropped, and "
                                     "it gets the line again from its next whole line")
                          .arg(name())
                          .arg(unwritten.size())
                          .arg(MaxQueuedBytes));
    dropping = true;
    unheard += unwritten.size();
    unwritten.clear();
    startAtNextLine(true);
}

// Writes what waits until the system takes no more, and watches for room while some is left.
// On a failure the bytes go; the presence check follows.
bool PtyClientEnd::writeUnwritten()
{
    while (!unwritten.isEmpty()) {
        const ssize_t n = ::write(fd, unwritten.constData(), size_t(unwritten.size()));
        if (n > 0) {
            bytes += n;
            if (n == unwritten.size()) {
                unwritten.clear();
                dropping = false;
            } else
                unwritten.remove(0, int(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno != EAGAIN) {
            unwritten.clear();
            if (writer)
                writer->setEnabled(false);
            return false;
        } else {
            break;
        }
    }
    if (writer)
        writer->setEnabled(!unwritten.isEmpty());
    return true;
}

bool PtyClientEnd::hangUp()
{
    if (fd < 0)
        return false;
    changePresence(false);
    unwatch();
    fd = -1;
    pair->hangUpClient();
    return true;
}

bool PtyClientEnd::restore(QString *back, QString *error)
{
    if (!pair->restoreClient()) {
        *error = pair->errorString();
        return false;
    }
    fd = pair->clientFd();
    watch();
    checkPresence();
    *back = QStringLiteral("%1 is back").arg(name());
    return true;
}

void PtyClientEnd::status(QStringList *lines) const
{
    *lines
        << QStringLiteral("Client end %1: %2, %3 bytes%4%5")
               .arg(name(),
                    fd < 0            ? QStringLiteral("hung up")
                        : isPresent() ? QStringLiteral("open")
                                      : QStringLiteral("closed"))
               .arg(bytes)
               .arg(unheard > 0 ? QStringLiteral(", %1 unread bytes dropped").arg(unheard)
                                : QString())
               .arg(isPresent() && speed != lineBaud && lineBaud > 0
                        ? QStringLiteral(", set to %1 baud (the line: %2)").arg(speed).arg(lineBaud)
                        : QString());
}

QJsonObject PtyClientEnd::presenceEvent() const
{
    return {{QStringLiteral("event"),
             isPresent() ? QStringLiteral("clientEndOpened") : QStringLiteral("clientEndClosed")},
            {QStringLiteral("path"), name()}};
}

void PtyClientEnd::describe(QJsonObject *json) const
{
    json->insert(QStringLiteral("pty"),
                 QJsonObject {{QStringLiteral("end"), name()},
                              {QStringLiteral("open"), isPresent()},
                              {QStringLiteral("bytes"), double(bytes)},
                              {QStringLiteral("unheardBytes"), double(unheard)},
                              {QStringLiteral("baud"), speed},
                              {QStringLiteral("wrongBaud"), double(wrongSpeeds)}});
}
