#include "tcplistener.h"

#include "tcpclientend.h"

#include <QJsonArray>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Accepted in one pass of the loop at most, so that a flood of connections cannot starve the
// line; the rest are taken on the next pass.
const int AcceptsPerPass = 32;

} // namespace

TcpListener::TcpListener(int fd, int maxClients)
    : ClientEnd(QString()), fd(fd), maxClients(maxClients), bound(NetAddress::ofSocket(fd, true))
{
}

TcpListener::~TcpListener()
{
    for (TcpClientEnd *client : qAsConst(clients))
        client->disown();
    ::close(fd);
}

void TcpListener::begin(QObject *context)
{
    notifier = new QSocketNotifier(fd, QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [this] {
        accept();
        events.activity();
    });
}

void TcpListener::end()
{
    delete notifier;
    notifier = nullptr;
}

void TcpListener::forget(TcpClientEnd *client)
{
    clients.removeOne(client);
}

void TcpListener::accept()
{
    for (int i = 0; i < AcceptsPerPass; ++i) {
        const int client = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: the pending connection would wake the loop at once
                // again. Look again in a second.
                events.notice(QStringLiteral("TCP: cannot accept a client: %1; trying again in 1 s")
                                  .arg(QString::fromLocal8Bit(std::strerror(errno))));
                notifier->setEnabled(false);
                QTimer::singleShot(1000, notifier, [this] { notifier->setEnabled(!hungUp); });
            }
            return;
        }
        const QString name = NetAddress::ofSocket(client, false).toString();
        if (clients.size() >= maxClients) {
            ::close(client);
            ++refused;
            events.notice(
                QStringLiteral("TCP client %1 refused: %2 clients already (--tcp-max-clients)")
                    .arg(name)
                    .arg(maxClients));
            continue;
        }
        // Lines are small and each should leave at once, not wait for more to fill a segment.
        const int on = 1;
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        auto end = std::make_unique<TcpClientEnd>(this, client, name);
        clients << end.get();
        ++accepted;
        events.notice(QStringLiteral("TCP client %1 connected (%2 of at most %3)")
                          .arg(name)
                          .arg(clients.size())
                          .arg(maxClients));
        events.joined(std::move(end));
    }
}

bool TcpListener::hangUp()
{
    // The instrument's device goes away: every client loses it.
    hungUp = true;
    for (TcpClientEnd *client : QVector<TcpClientEnd *>(clients))
        client->disconnect(QStringLiteral("closed by the hangup"));
    if (notifier)
        notifier->setEnabled(false);
    return notifier != nullptr;
}

bool TcpListener::restore(QString *back, QString *)
{
    hungUp = false;
    notifier->setEnabled(true);
    *back = QStringLiteral("the TCP port takes clients again");
    return true;
}

void TcpListener::status(QStringList *lines) const
{
    *lines << QStringLiteral("TCP %1: %2 clients (at most %3); %4 accepted, %5 refused, %6 dropped")
                  .arg(bound.toString())
                  .arg(clients.size())
                  .arg(maxClients)
                  .arg(accepted)
                  .arg(refused)
                  .arg(dropped);
    for (const TcpClientEnd *client : clients)
        *lines
            << QStringLiteral("  TCP client %1: %2 bytes").arg(client->name()).arg(client->bytes());
}

void TcpListener::describe(QJsonObject *json) const
{
    QJsonArray connected;
    for (const TcpClientEnd *client : clients)
        connected.append(QJsonObject {{QStringLiteral("address"), client->name()},
                                      {QStringLiteral("bytes"), double(client->bytes())}});
    json->insert(QStringLiteral("tcp"),
                 QJsonObject {{QStringLiteral("listen"), bound.toString()},
                              {QStringLiteral("maxClients"), maxClients},
                              {QStringLiteral("accepted"), double(accepted)},
                              {QStringLiteral("refused"), double(refused)},
                              {QStringLiteral("dropped"), double(dropped)},
                              {QStringLiteral("connected"), connected}});
}
