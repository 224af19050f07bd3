#ifndef KELVANE_CONTROLSERVER_H
#define KELVANE_CONTROLSERVER_H

#include "commandrunner.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <sys/types.h>
#include <vector>

class QSocketNotifier;

/// The control channel of kelvane-host (--control PATH): a Unix-domain socket on which test
/// programs run the console's commands and follow what happens, in JSON lines both ways. Each
/// client is greeted with a hello line ({"hello": "kelvane-host", "protocol": N, ...}); each
/// request line, {"cmd": NAME, "id": ANY, ...}, gets one answer line that echoes its id, with
/// "ok": true and the command's data, or "ok": false and "error"; after {"cmd": "subscribe"} the
/// client also gets every published event, one line each, in order. No request ends the host
/// but quit. docs/control.md is the protocol's reference.
///
/// Lives on the main thread and never blocks it: every socket is non-blocking, and a client
/// that leaves more than MaxQueuedBytes unread is dropped (one notice), so that a client that
/// stops reading slows neither the others nor the host.
class ControlServer : public QObject
{
    Q_OBJECT

public:
    static constexpr int ProtocolVersion = 1;
    /// The longest request line: a longer one is answered with an error and skipped to its end.
    static constexpr int MaxRequestBytes = 65536;
    /// A client with more than this waiting for it is dropped.
    static constexpr int MaxQueuedBytes = 1 << 20;
    /// Clients at once; the next is told so and closed.
    static constexpr int MaxClients = 32;

    /// Runs a parsed command; false with *error.
    using Runner =
        std::function<bool(const Command &command, CommandRunner::Result *result, QString *error)>;

    explicit ControlServer(QObject *parent = nullptr);
    /// Closes every connection, after a last try to send what waits, and removes the socket.
    ~ControlServer() override;

    /// Makes the socket at path, mode 0600, and listens, not accepting yet. A socket nobody
    /// listens on (left by a host that died) is replaced; a live one, or a file of another kind,
    /// is refused. False with *error. Call it before other threads of the process make files:
    /// the mode is set through the process's umask while the socket is made.
    bool listen(const QString &path, QString *error);
    /// Accepts clients from now on and runs their requests with runner.
    void start(const Runner &runner);
    /// Sends event to every subscribed client.
    void publish(const QJsonObject &event);
    /// The clients connected now.
    int clientCount() const { return int(clients.size()); }

signals:
    /// A line for the host's log (a client dropped).
    void notice(const QString &text);

private:
    struct Client;

    void accept();
    void read(Client *client);
    void handle(Client *client, const QByteArray &line);
    void refuseLong(Client *client);
    QJsonObject answer(Client *client, const QJsonObject &request);
    void send(Client *client, const QJsonObject &object);
    void sendLine(Client *client, const QByteArray &line);
    void flush(Client *client);
    void close(Client *client);
    void prune();

    Runner runner;
    QByteArray socketPath;
    int listener = -1;
    dev_t device = 0;
    ino_t inode = 0;
    QSocketNotifier *accepting = nullptr;
    std::vector<std::unique_ptr<Client>> clients;
};

#endif // KELVANE_CONTROLSERVER_H
