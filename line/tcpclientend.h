#ifndef KELVANE_TCPCLIENTEND_H
#define KELVANE_TCPCLIENTEND_H

#include "clientend.h"

class QSocketNotifier;
class TcpListener;

/// One client of a listening TCP port (made by TcpListener, which reports it in status). It never
/// holds the line: a client that leaves more than MaxQueuedBytes unread is disconnected, and so
/// is one whose commands wait beyond their bound (ClientEnd::MaxCommandBytes). A client that
/// closes its sending side after commands (shutdown, "nc -N") still gets the line, its replies
/// included, until a write finds the connection closed; one that sent none has left. It goes when
/// the client leaves, when its connection fails, or with a hangup.
class TcpClientEnd : public ClientEnd
{
public:
    /// fd: the accepted connection, taken over.
    TcpClientEnd(TcpListener *listener, int fd, const QString &name);
    ~TcpClientEnd() override;

    void begin(QObject *context) override;
    void end() override;
    bool hasUnwritten() const override { return !unwritten.isEmpty(); }
    /// Bytes the system took for this client.
    qint64 bytes() const { return sent; }
    /// Disconnects: "TCP client ADDR <verb> after N bytes[: reason]" in the log.
    void disconnect(const QString &verb, const QString &reason = QString());
    /// Its listener goes first (at the end of the relay).
    void disown() { listener = nullptr; }
    /// {"event": "tcpClientJoined", "address"}, or once it has gone {"event": "tcpClientLeft",
    /// "address", "bytes", "how": "left", "lost", "dropped" or "closed by the hangup", "reason"}
    QJsonObject presenceEvent() const override;
    void tooManyCommands(const QString &reason) override;

protected:
    void send(qint64 nowUs, const QByteArray &bytes) override;

private:
    void read();
    bool writeUnwritten();

    TcpListener *listener;
    int fd;
    QSocketNotifier *reader = nullptr;
    QSocketNotifier *writer = nullptr;
    QByteArray unwritten;
    qint64 sent = 0;
    QString how; ///< how it went, once it has
    QString why;
    bool commanded = false; ///< the client sent a command
    bool halfClosed = false; ///< the client sends no more
};

#endif // KELVANE_TCPCLIENTEND_H
