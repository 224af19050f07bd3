#ifndef KELVANE_TCPLISTENER_H
#define KELVANE_TCPLISTENER_H

#include "clientend.h"
#include "netaddress.h"

#include <QVector>

class QSocketNotifier;
class TcpClientEnd;

/// A listening TCP port: it has nobody on it itself, but makes a TcpClientEnd for each client
/// that connects, up to maxClients at once (the next is refused), and reports them all in status.
/// A hangup disconnects its clients and takes none until it is over.
class TcpListener : public ClientEnd
{
public:
    /// fd: a listening socket, taken over.
    TcpListener(int fd, int maxClients);
    ~TcpListener() override;

    NetAddress address() const { return bound; }

    void begin(QObject *context) override;
    void end() override;
    bool hangUp() override;
    bool restore(QString *back, QString *error) override;
    /// "TCP ADDR: N clients (at most M); A accepted, R refused, D dropped" and a line per client.
    void status(QStringList *lines) const override;
    /// "tcp": {"listen", "maxClients", "accepted", "refused", "dropped", "connected": [...]}
    void describe(QJsonObject *json) const override;

    /// For its clients: one was dropped for reading too slowly; one has gone.
    void clientDropped() { ++dropped; }
    void forget(TcpClientEnd *client);

protected:
    void send(qint64, const QByteArray &) override { }

private:
    void accept();

    int fd;
    int maxClients;
    NetAddress bound;
    QSocketNotifier *notifier = nullptr;
    QVector<TcpClientEnd *> clients;
    bool hungUp = false;
    qint64 accepted = 0;
    qint64 refused = 0;
    qint64 dropped = 0;
};

#endif // KELVANE_TCPLISTENER_H
