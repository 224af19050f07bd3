#include "tcpclientend.h"

#include "tcplistener.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int ReadChunk = 65536;

} // namespace

TcpClientEnd::TcpClientEnd(TcpListener *listener, int fd, const QString &name)
    : ClientEnd(name), listener(listener), fd(fd)
{
}

TcpClientEnd::~TcpClientEnd()
{
    if (fd >= 0)
        ::close(fd);
    if (listener)
        listener->forget(this);
}

void TcpClientEnd::begin(QObject *context)
{
    reader = new QSocketNotifier(fd, QSocketNotifier::Read, context);
    writer = new QSocketNotifier(fd, QSocketNotifier::Write, context);
    writer->setEnabled(false);
    QObject::connect(reader, &QSocketNotifier::activated, context, [this] {
        // The set may delete this end once it has gone: what runs after comes from copies.
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
    setPresent(true);
}

void TcpClientEnd::end()
{
    delete reader;
    delete writer;
    reader = writer = nullptr;
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

void TcpClientEnd::disconnect(const QString &verb, const QString &reason)
{
    // Its notifiers may be the ones calling: they go once control is back in the loop.
    for (QSocketNotifier *notifier : {reader, writer}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    reader = writer = nullptr;
    ::close(fd);
    fd = -1;
    setGone();
    how = verb;
    why = reason;
    if (listener)
        listener->forget(this);
    events.notice(QStringLiteral("TCP client %1 %2 after %3 bytes%4")
                      .arg(name(), verb)
                      .arg(sent)
                      .arg(reason.isEmpty() ? QString() : QStringLiteral(": ") + reason));
    setPresent(false);
}

QJsonObject TcpClientEnd::presenceEvent() const
{
    if (isPresent())
        return {{QStringLiteral("event"), QStringLiteral("tcpClientJoined")},
                {QStringLiteral("address"), name()}};
    return {{QStringLiteral("event"), QStringLiteral("tcpClientLeft")},
            {QStringLiteral("address"), name()},
            {QStringLiteral("bytes"), double(sent)},
            {QStringLiteral("how"), how},
            {QStringLiteral("reason"), why}};
}

void TcpClientEnd::read()
{
    if (fd < 0 || isGone())
        return;
    char buffer[ReadChunk];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
        commanded = true;
        events.command(QByteArray(buffer, int(n)));
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n == 0 && !commanded) {
        disconnect(QStringLiteral("left"));
    } else if (n == 0) {
        // It closed its sending side after commands ("printf CMD | nc -N"): it may still read,
        // and the replies are on their way. Once it has closed the rest, a write to it fails
        // and it has left.
        halfClosed = true;
        if (reader)
            reader->setEnabled(false);
    } else {
        disconnect(QStringLiteral("lost"), QString::fromLocal8Bit(std::strerror(errno)));
    }
}

void TcpClientEnd::tooManyCommands(const QString &reason)
{
    if (listener)
        listener->clientDropped();
    disconnect(QStringLiteral("dropped"), reason);
}

void TcpClientEnd::send(qint64, const QByteArray &bytes)
{
    unwritten.append(bytes);
    if (!writeUnwritten())
        return;
    if (unwritten.size() > MaxQueuedBytes) {
        if (listener)
            listener->clientDropped();
        disconnect(QStringLiteral("dropped"),
                   QStringLiteral("%1 bytes waited for it, more than the bound of %2: it reads "
                                  "slower than the line carries")
                       .arg(unwritten.size())
                       .arg(MaxQueuedBytes));
    }
}

// Writes what waits until the system takes no more, and watches for room while some is left.
// False when the connection failed: the client is disconnected.
bool TcpClientEnd::writeUnwritten()
{
    while (!unwritten.isEmpty()) {
        const ssize_t n = ::send(fd, unwritten.constData(), size_t(unwritten.size()), MSG_NOSIGNAL);
        if (n > 0) {
            sent += n;
            if (n == unwritten.size())
                unwritten.clear();
            else
                unwritten.remove(0, int(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno != EAGAIN) {
            const QString reason = QString::fromLocal8Bit(std::strerror(errno));
            unwritten.clear();
            if (halfClosed)
                disconnect(QStringLiteral("left"));
            else
                disconnect(QStringLiteral("lost"), reason);
            return false;
        } else {
            break;
        }
    }
    if (writer)
        writer->setEnabled(!unwritten.isEmpty());
    return true;
}
