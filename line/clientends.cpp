#include "clientends.h"

#include "ptypair.h"

#include <QJsonArray>
#include <QMutex>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

const int ReadChunk = 65536;
// Accepted in one pass of the loop at most, so that a flood of connections cannot starve the
// line; the rest are taken on the next pass.
const int AcceptsPerPass = 32;
const int UdpBatch = 64;

} // namespace

struct ClientEnds::End
{
    enum Kind { Pty, Tcp, Udp };
    Kind kind = Pty;
    int fd = -1;
    QString name;
    NetAddress to; ///< Udp: the destination
    bool present = false;
    bool gone = false; ///< Tcp: disconnected, to be removed
    bool skipToLine = false; ///< joined mid-line: its bytes start after the next LF
    QByteArray unwritten;
    QByteArray partial; ///< Udp: the line so far
    qint64 partialSinceUs = 0;
    qint64 bytes = 0; ///< taken by the system for this end
    qint64 datagrams = 0;
    qint64 lost = 0; ///< Udp: datagrams the system refused
    QSocketNotifier *reader = nullptr;
    QSocketNotifier *writer = nullptr;
};

ClientEnds::ClientEnds(PtyPair *pair, const Options &options, QMutex *lock, QObject *parent)
    : QObject(parent), pair(pair), options(options), lock(lock), ptySpeed(options.baud)
{
    if (pair && pair->clientFd() >= 0)
        pty = add(End::Pty, pair->clientFd(), pair->clientEnd());
    if (options.tcpFd >= 0)
        tcpAddress = NetAddress::ofSocket(options.tcpFd, true);
    for (const auto &udp : options.udp) {
        End *end = add(End::Udp, udp.first, udp.second.toString());
        end->to = udp.second;
        end->present = true;
    }
}

ClientEnds::~ClientEnds()
{
    for (const auto &end : ends) {
        if (end->kind != End::Pty && end->fd >= 0)
            ::close(end->fd);
    }
    if (options.tcpFd >= 0)
        ::close(options.tcpFd);
}

ClientEnds::End *ClientEnds::add(int kind, int fd, const QString &name)
{
    auto end = std::make_unique<End>();
    end->kind = End::Kind(kind);
    end->fd = fd;
    end->name = name;
    ends.push_back(std::move(end));
    return ends.back().get();
}

void ClientEnds::watch(End *end)
{
    end->reader = new QSocketNotifier(end->fd, QSocketNotifier::Read, this);
    end->writer = new QSocketNotifier(end->fd, QSocketNotifier::Write, this);
    end->reader->setEnabled(end->present);
    end->writer->setEnabled(false);
    connect(end->reader, &QSocketNotifier::activated, this, [this, end] {
        QMutexLocker locker(lock);
        readEnd(*end);
        onActivity();
    });
    connect(end->writer, &QSocketNotifier::activated, this, [this, end] {
        QMutexLocker locker(lock);
        flushEnd(*end);
        onActivity();
    });
}

void ClientEnds::begin()
{
    if (pty)
        watch(pty);
    if (options.tcpFd >= 0) {
        listener = new QSocketNotifier(options.tcpFd, QSocketNotifier::Read, this);
        connect(listener, &QSocketNotifier::activated, this, [this] {
            QMutexLocker locker(lock);
            acceptClients();
            onActivity();
        });
    }
    updateListening();
}

void ClientEnds::end()
{
    for (const auto &end : ends) {
        delete end->reader;
        delete end->writer;
        end->reader = end->writer = nullptr;
        if (end->kind == End::Tcp) {
            ::close(end->fd);
            end->fd = -1;
        }
    }
    delete listener;
    listener = nullptr;
}

void ClientEnds::remove(End *end, const QString &verb, const QString &reason)
{
    // Its notifiers may be the ones calling: they go once control is back in the loop.
    for (QSocketNotifier *notifier : {end->reader, end->writer}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    end->reader = end->writer = nullptr;
    ::close(end->fd);
    end->fd = -1;
    end->present = false;
    end->gone = true;
    notice(QStringLiteral("TCP client %1 %2 after %3 bytes%4")
               .arg(end->name, verb)
               .arg(end->bytes)
               .arg(reason.isEmpty() ? QString() : QStringLiteral(": ") + reason));
}

void ClientEnds::prune()
{
    const auto gone = [](const std::unique_ptr<End> &end) { return end->gone; };
    ends.erase(std::remove_if(ends.begin(), ends.end(), gone), ends.end());
    updateListening();
}

int ClientEnds::tcpClients() const
{
    return int(std::count_if(ends.begin(), ends.end(), [](const std::unique_ptr<End> &end) {
        return end->kind == End::Tcp && !end->gone;
    }));
}

void ClientEnds::notice(const QString &text)
{
    if (onNotice)
        onNotice(text);
}

void ClientEnds::updateListening()
{
    const bool now = std::any_of(ends.begin(), ends.end(),
                                 [](const std::unique_ptr<End> &end) { return end->present; });
    if (now == listening)
        return;
    listening = now;
    // Whoever comes next starts where the line starts again: at its next whole line.
    if (!now)
        atLineStart = true;
    onListening(now);
}

void ClientEnds::acceptClients()
{
    for (int i = 0; i < AcceptsPerPass; ++i) {
        const int fd = ::accept4(options.tcpFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: the pending connection would wake the loop at once
                // again. Look again in a second.
                notice(QStringLiteral("TCP: cannot accept a client: %1; trying again in 1 s")
                           .arg(QString::fromLocal8Bit(std::strerror(errno))));
                listener->setEnabled(false);
                QTimer::singleShot(1000, listener, [this] { listener->setEnabled(!hungUp); });
            }
            return;
        }
        const QString name = NetAddress::ofSocket(fd, false).toString();
        if (tcpClients() >= options.maxTcpClients) {
            ::close(fd);
            ++refused;
            notice(QStringLiteral("TCP client %1 refused: %2 clients already (--tcp-max-clients)")
                       .arg(name)
                       .arg(options.maxTcpClients));
            continue;
        }
        // Lines are small and each should leave at once, not wait for more to fill a segment.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        End *end = add(End::Tcp, fd, name);
        end->present = true;
        end->skipToLine = listening && !atLineStart;
        watch(end);
        ++accepted;
        notice(QStringLiteral("TCP client %1 connected (%2 of at most %3)")
                   .arg(name)
                   .arg(tcpClients())
                   .arg(options.maxTcpClients));
        updateListening();
    }
}

void ClientEnds::readEnd(End &end)
{
    if (end.fd < 0 || end.gone)
        return;
    char buffer[ReadChunk];
    const ssize_t n = ::read(end.fd, buffer, sizeof buffer);
    if (n > 0) {
        // One read is one write of the client's: it stays one piece on its way.
        onCommand(QByteArray(buffer, int(n)));
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (end.kind == End::Tcp) {
        if (n == 0)
            remove(&end, QStringLiteral("left"));
        else
            remove(&end, QStringLiteral("lost"), QString::fromLocal8Bit(std::strerror(errno)));
        prune();
    } else if (end.kind == End::Pty && n < 0 && errno == EIO && end.present) {
        setPresent(end, false); // nobody has the slave open any more
    }
}

void ClientEnds::setPresent(End &end, bool present)
{
    const bool was = end.present;
    end.present = present;
    if (!present) {
        // The last bytes the departed client wrote are still relayed; then its slave's unread
        // input goes, so that the next client starts afresh.
        if (was) {
            char buffer[ReadChunk];
            const ssize_t n = ::read(end.fd, buffer, sizeof buffer);
            if (n > 0)
                onCommand(QByteArray(buffer, int(n)));
            ::tcflush(end.fd, TCIOFLUSH);
        }
        end.unwritten.clear();
        if (end.writer)
            end.writer->setEnabled(false);
        // The next client finds the end at the line's speed again, as a new one does, also
        // when the one that left changed it after the last look.
        if (end.kind == End::Pty && end.fd >= 0 && options.baud > 0) {
            termios settings = {};
            if (::tcgetattr(end.fd, &settings) == 0 &&
                ::cfsetspeed(&settings, PtyPair::speedCode(options.baud)) == 0)
                ::tcsetattr(end.fd, TCSANOW, &settings);
            ptySpeed = options.baud;
        }
    } else {
        end.skipToLine = listening && !atLineStart;
    }
    if (end.reader)
        end.reader->setEnabled(present);
    updateListening();
    if (present)
        checkSpeed();
}

void ClientEnds::checkSpeed()
{
    if (!pty || pty->fd < 0 || !pty->present || options.baud <= 0)
        return;
    // The master reports the settings its slave's client made.
    termios settings = {};
    if (::tcgetattr(pty->fd, &settings) != 0)
        return;
    const int speed = PtyPair::baudOf(::cfgetospeed(&settings));
    if (speed == ptySpeed)
        return;
    ptySpeed = speed;
    if (speed == options.baud)
        return;
    ++wrongSpeeds;
    notice(QStringLiteral("warning: %1 is set to %2 baud, but the line runs at %3 baud: on a "
                          "serial line the client would read garbage")
               .arg(pty->name)
               .arg(speed)
               .arg(options.baud));
}

void ClientEnds::checkPresence()
{
    if (!pty || pty->fd < 0)
        return;
    const bool present = PtyPair::isPeerOpen(pty->fd);
    if (present != pty->present)
        setPresent(*pty, present);
}

bool ClientEnds::needsPolling() const
{
    return pty && pty->fd >= 0 && !pty->present;
}

void ClientEnds::deliver(qint64 nowUs, const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    checkSpeed();
    for (const auto &owned : ends) {
        End &end = *owned;
        if (!end.present)
            continue;
        QByteArray piece = bytes;
        if (end.skipToLine) {
            const int lf = bytes.indexOf('\n');
            if (lf < 0)
                continue;
            end.skipToLine = false;
            piece = bytes.mid(lf + 1);
        }
        if (piece.isEmpty())
            continue;
        if (end.kind == End::Udp)
            sendLines(end, nowUs, piece, false);
        else
            send(end, piece);
    }
    atLineStart = bytes.endsWith('\n');
    prune();
}

void ClientEnds::send(End &end, const QByteArray &bytes)
{
    // Most writes go whole: appended to nothing, the bytes are shared, not copied, and only a
    // remainder is kept.
    end.unwritten.append(bytes);
    if (!writeUnwritten(end))
        return;
    if (end.kind == End::Tcp && end.unwritten.size() > MaxQueuedBytes) {
        ++dropped;
        remove(&end, QStringLiteral("dropped"),
               QStringLiteral("%1 bytes waited for it, more than the bound of %2: it reads "
                              "slower than the line carries")
                   .arg(end.unwritten.size())
                   .arg(MaxQueuedBytes));
    }
}

void ClientEnds::flushEnd(End &end)
{
    if (end.fd >= 0 && !writeUnwritten(end) && end.kind == End::Tcp)
        prune();
}

// Writes what waits for end until the system takes no more, and watches for room while some is
// left. False when the end failed: a TCP client is removed (not pruned: the caller may be going
// through the ends); a pty end's bytes go, its presence check follows.
bool ClientEnds::writeUnwritten(End &end)
{
    while (!end.unwritten.isEmpty()) {
        const char *data = end.unwritten.constData();
        const size_t size = size_t(end.unwritten.size());
        const ssize_t n = end.kind == End::Tcp ? ::send(end.fd, data, size, MSG_NOSIGNAL)
                                               : ::write(end.fd, data, size);
        if (n > 0) {
            end.bytes += n;
            if (size_t(n) == size)
                end.unwritten.clear();
            else
                end.unwritten.remove(0, int(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno != EAGAIN) {
            const QString reason = QString::fromLocal8Bit(std::strerror(errno));
            end.unwritten.clear();
            if (end.kind == End::Tcp)
                remove(&end, QStringLiteral("lost"), reason);
            else if (end.writer)
                end.writer->setEnabled(false);
            return false;
        } else {
            break;
        }
    }
    if (end.writer)
        end.writer->setEnabled(!end.unwritten.isEmpty());
    return true;
}

void ClientEnds::sendLines(End &end, qint64 nowUs, const QByteArray &bytes, bool all)
{
    end.partialSinceUs = nowUs;
    end.partial.append(bytes);
    // The lines of a delivery leave in batches, one system call each: a datagram per line
    // would otherwise cost a call per line.
    mmsghdr messages[UdpBatch];
    iovec pieces[UdpBatch];
    int count = 0;
    int from = 0;
    const auto send = [&] {
        for (int i = 0; i < count;) {
            const int sent = ::sendmmsg(end.fd, messages + i, uint(count - i), 0);
            if (sent <= 0) {
                end.lost += count - i;
                break;
            }
            for (int k = i; k < i + sent; ++k)
                end.bytes += messages[k].msg_len;
            end.datagrams += sent;
            i += sent;
        }
        count = 0;
    };
    while (from < end.partial.size()) {
        const int lf = end.partial.indexOf('\n', from);
        int stop = lf >= 0 ? lf + 1 : (all ? end.partial.size() : -1);
        if ((stop < 0 && end.partial.size() - from >= MaxDatagramBytes) ||
            stop - from > MaxDatagramBytes)
            stop = from + MaxDatagramBytes;
        if (stop < 0)
            break;
        pieces[count] = {const_cast<char *>(end.partial.constData()) + from, size_t(stop - from)};
        messages[count] = {};
        messages[count].msg_hdr.msg_name = const_cast<sockaddr *>(end.to.data());
        messages[count].msg_hdr.msg_namelen = end.to.size();
        messages[count].msg_hdr.msg_iov = &pieces[count];
        messages[count].msg_hdr.msg_iovlen = 1;
        if (++count == UdpBatch)
            send();
        from = stop;
    }
    send();
    if (from > 0)
        end.partial.remove(0, from);
}

void ClientEnds::flush(qint64 nowUs, bool lineIdle)
{
    for (const auto &end : ends) {
        if (!lineIdle)
            break;
        if (end->kind == End::Udp && !end->partial.isEmpty() &&
            nowUs - end->partialSinceUs >= PartialLineUs)
            sendLines(*end, nowUs, QByteArray(), true);
    }
}

qint64 ClientEnds::nextUs() const
{
    qint64 next = -1;
    for (const auto &end : ends) {
        if (end->kind == End::Udp && !end->partial.isEmpty()) {
            const qint64 at = end->partialSinceUs + PartialLineUs;
            next = next < 0 ? at : qMin(next, at);
        }
    }
    return next;
}

bool ClientEnds::isHolding() const
{
    return pty && !pty->unwritten.isEmpty();
}

bool ClientEnds::hasUnwritten() const
{
    return std::any_of(ends.begin(), ends.end(), [](const std::unique_ptr<End> &end) {
        return !end->unwritten.isEmpty() || !end->partial.isEmpty();
    });
}

bool ClientEnds::isPtyOpen() const
{
    return pty && pty->present;
}

void ClientEnds::unplugged()
{
    if (pty)
        pty->unwritten.clear();
}

void ClientEnds::hangUp(double seconds)
{
    // The instrument's device goes away: every client loses it, whichever end it reads.
    hungUp = true;
    for (const auto &end : ends) {
        if (end->kind == End::Tcp && !end->gone)
            remove(end.get(), QStringLiteral("closed by the hangup"));
    }
    prune();
    if (listener)
        listener->setEnabled(false);
    const bool ptyGone = pty && pty->fd >= 0;
    if (ptyGone) {
        setPresent(*pty, false);
        delete pty->reader;
        delete pty->writer;
        pty->reader = pty->writer = nullptr;
        pty->fd = -1;
        pair->hangUpClient();
    }
    QTimer::singleShot(int(seconds * 1000), this, [this, ptyGone] {
        QMutexLocker locker(lock);
        hungUp = false;
        QStringList back;
        if (ptyGone) {
            if (!pair->restoreClient()) {
                onFailed(pair->errorString());
                return;
            }
            pty->fd = pair->clientFd();
            watch(pty);
            checkPresence();
            back << QStringLiteral("%1 is back").arg(pty->name);
        }
        if (listener) {
            listener->setEnabled(true);
            back << QStringLiteral("the TCP port takes clients again");
        }
        notice(QStringLiteral("fault hangup over: %1").arg(back.join(QStringLiteral(", "))));
        onActivity();
    });
}

QStringList ClientEnds::status() const
{
    QStringList lines;
    for (const auto &end : ends) {
        switch (end->kind) {
        case End::Pty:
            lines << QStringLiteral("Client end %1: %2, %3 bytes%4")
                         .arg(end->name,
                              end->fd < 0        ? QStringLiteral("hung up")
                                  : end->present ? QStringLiteral("open")
                                                 : QStringLiteral("closed"))
                         .arg(end->bytes)
                         .arg(end->present && ptySpeed != options.baud && options.baud > 0
                                  ? QStringLiteral(", set to %1 baud (the line: %2)")
                                        .arg(ptySpeed)
                                        .arg(options.baud)
                                  : QString());
            break;
        case End::Tcp:
            break;
        case End::Udp:
            lines << QStringLiteral("UDP to %1: %2 bytes in %3 datagrams, %4 not sent")
                         .arg(end->name)
                         .arg(end->bytes)
                         .arg(end->datagrams)
                         .arg(end->lost);
            break;
        }
    }
    if (options.tcpFd < 0)
        return lines;
    lines << QStringLiteral("TCP %1: %2 clients (at most %3); %4 accepted, %5 refused, %6 dropped")
                 .arg(tcpAddress.toString())
                 .arg(tcpClients())
                 .arg(options.maxTcpClients)
                 .arg(accepted)
                 .arg(refused)
                 .arg(dropped);
    for (const auto &end : ends) {
        if (end->kind == End::Tcp && !end->gone)
            lines << QStringLiteral("  TCP client %1: %2 bytes").arg(end->name).arg(end->bytes);
    }
    return lines;
}

QJsonObject ClientEnds::toJson() const
{
    QJsonObject json;
    QJsonArray connected;
    QJsonArray udp;
    for (const auto &end : ends) {
        if (end->kind == End::Pty)
            json.insert(QStringLiteral("pty"),
                        QJsonObject {{QStringLiteral("end"), end->name},
                                     {QStringLiteral("open"), end->present},
                                     {QStringLiteral("bytes"), double(end->bytes)},
                                     {QStringLiteral("baud"), ptySpeed},
                                     {QStringLiteral("wrongBaud"), double(wrongSpeeds)}});
        else if (end->kind == End::Tcp && !end->gone)
            connected.append(QJsonObject {{QStringLiteral("address"), end->name},
                                          {QStringLiteral("bytes"), double(end->bytes)}});
        else if (end->kind == End::Udp)
            udp.append(QJsonObject {{QStringLiteral("address"), end->name},
                                    {QStringLiteral("bytes"), double(end->bytes)},
                                    {QStringLiteral("datagrams"), double(end->datagrams)},
                                    {QStringLiteral("notSent"), double(end->lost)}});
    }
    if (options.tcpFd >= 0)
        json.insert(QStringLiteral("tcp"),
                    QJsonObject {{QStringLiteral("listen"), tcpAddress.toString()},
                                 {QStringLiteral("maxClients"), options.maxTcpClients},
                                 {QStringLiteral("accepted"), double(accepted)},
                                 {QStringLiteral("refused"), double(refused)},
                                 {QStringLiteral("dropped"), double(dropped)},
                                 {QStringLiteral("connected"), connected}});
    if (!udp.isEmpty())
        json.insert(QStringLiteral("udp"), udp);
    return json;
}
