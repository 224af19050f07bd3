#ifndef KELVANE_CLIENTENDS_H
#define KELVANE_CLIENTENDS_H

#include "netaddress.h"

#include <QJsonObject>
#include <QObject>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>
#include <vector>

class PtyPair;
class QMutex;
class QSocketNotifier;

/// Where clients meet the line: the pty pair's client end, the clients of a TCP port and UDP
/// destinations. Every end gets the same bytes (the instrument's output as it crossed the line)
/// from the moment it joins, starting with the next whole line; what any client writes is one
/// command for the instrument. The pty end holds the line while its reader does not read, as a
/// serial port does; a TCP client never holds it: one that leaves more than MaxQueuedBytes
/// unread is disconnected. A UDP end sends each line as one datagram. A client that sets the pty
/// end to a speed other than the line's is warned about, once per change.
///
/// Lives on the relay's thread; every call is made, and every notifier handled, under the
/// relay's lock.
class ClientEnds : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxQueuedBytes = 1 << 20;
    static constexpr int MaxDatagramBytes = 4096;
    /// A UDP line without its LF is sent after this long without more bytes.
    static constexpr qint64 PartialLineUs = 100000;

    struct Options
    {
        int tcpFd = -1; ///< a listening socket, taken over; -1: no TCP
        int maxTcpClients = 16;
        int baud = 0; ///< the line's speed, which the pty end should be set to; 0: any
        QVector<QPair<int, NetAddress>> udp; ///< sockets and their destinations, taken over
    };

    /// pair: its client end is served while it has one (null: no pty end).
    ClientEnds(PtyPair *pair, const Options &options, QMutex *lock, QObject *parent = nullptr);
    ~ClientEnds() override;

    /// A client's command (one read of its), for the instrument.
    std::function<void(const QByteArray &)> onCommand;
    /// Somebody listens now, or nobody any more.
    std::function<void(bool)> onListening;
    /// After any activity of the ends, to deliver what is due.
    std::function<void()> onActivity;
    /// One line for the host's log.
    std::function<void(const QString &)> onNotice;
    /// The pty end could not be made again after a hangup.
    std::function<void(const QString &)> onFailed;

    /// Makes the notifiers, on the thread that calls it.
    void begin();
    /// Disconnects every client and deletes the notifiers.
    void end();

    void deliver(qint64 nowUs, const QByteArray &bytes);
    /// Sends the UDP lines that got no more bytes for PartialLineUs, when nothing more is on its
    /// way (lineIdle): a line that lost its LF, or the last one of a source that fell silent.
    void flush(qint64 nowUs, bool lineIdle);
    /// When flush() has something to send, or -1.
    qint64 nextUs() const;
    bool isListening() const { return listening; }
    /// The pty end has bytes its reader has not taken: the line waits for it.
    bool isHolding() const;
    /// Some end has bytes it has not taken.
    bool hasUnwritten() const;
    bool isPtyOpen() const;
    /// Looks whether somebody has the pty end open.
    void checkPresence();
    /// The pty end has nobody on it: checkPresence() should look again soon.
    bool needsPolling() const;
    /// An unplugged line loses what the pty end had not taken.
    void unplugged();
    /// The pty end goes away and comes back after seconds; the TCP clients are disconnected,
    /// and new ones wait until then.
    void hangUp(double seconds);
    /// Whether hangUp() has anything to hang up.
    bool canHangUp() const { return pty || options.tcpFd >= 0; }

    /// One line per end and client, for status.
    QStringList status() const;
    /// {"pty": {...}, "tcp": {..., "connected": [...]}, "udp": [...]}
    QJsonObject toJson() const;

private:
    struct End;

    End *add(int kind, int fd, const QString &name);
    void watch(End *end);
    /// Disconnects a TCP client: "TCP client ADDR <verb> after N bytes[: reason]" in the log.
    void remove(End *end, const QString &verb, const QString &reason = QString());
    void prune();
    void setPresent(End &end, bool present);
    void updateListening();
    void acceptClients();
    void readEnd(End &end);
    void send(End &end, const QByteArray &bytes);
    void flushEnd(End &end);
    bool writeUnwritten(End &end);
    void sendLines(End &end, qint64 nowUs, const QByteArray &bytes, bool all);
    int tcpClients() const;
    void notice(const QString &text);
    /// Looks at the speed the pty end's client has set it to, and warns when it changed to one
    /// that is not the line's.
    void checkSpeed();

    PtyPair *pair;
    Options options;
    QMutex *lock;
    std::vector<std::unique_ptr<End>> ends;
    End *pty = nullptr;
    QSocketNotifier *listener = nullptr;
    NetAddress tcpAddress;
    bool listening = false;
    bool atLineStart = true; ///< the bytes delivered so far end with a whole line
    qint64 accepted = 0;
    qint64 refused = 0;
    qint64 dropped = 0;
    bool hungUp = false;
    int ptySpeed = 0; ///< the speed the pty end was last seen at, in baud
    qint64 wrongSpeeds = 0; ///< changes to a speed that is not the line's
};

#endif // KELVANE_CLIENTENDS_H
