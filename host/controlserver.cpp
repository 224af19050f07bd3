#include "controlserver.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Reads of one client in one pass of the loop at most, so that a client that floods the
// channel cannot starve the rest; what is left is read on the next pass.
const int ReadsPerPass = 16;
const int ReadChunk = 65536;

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

struct ControlServer::Client
{
    int fd = -1;
    QString name; ///< "pid 1234", for the log
    QSocketNotifier *reader = nullptr;
    QSocketNotifier *writer = nullptr;
    QByteArray input; ///< the request line so far
    bool skipping = false; ///< the line is over the bound: its rest goes, up to its LF
    QByteArray output; ///< not yet taken by the system
    bool subscribed = false;
    bool closed = false;
};

ControlServer::ControlServer(QObject *parent) : QObject(parent) { }

ControlServer::~ControlServer()
{
    // A quit's answer, or a replay's last event, is still sent if the system takes it now.
    for (const auto &client : clients) {
        if (!client->closed)
            flush(client.get());
        close(client.get());
    }
    clients.clear();
    delete accepting;
    if (listener < 0)
        return;
    ::close(listener);
    // Only the socket made here: another host may have replaced it meanwhile.
    struct stat info = {};
    if (::lstat(socketPath.constData(), &info) == 0 && info.st_dev == device &&
        info.st_ino == inode)
        ::unlink(socketPath.constData());
}

bool ControlServer::listen(const QString &path, QString *error)
{
    socketPath = QFile::encodeName(path);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (socketPath.isEmpty() || size_t(socketPath.size()) >= sizeof address.sun_path) {
        *error = QStringLiteral("--control %1: the path of a socket has 1 to %2 bytes")
                     .arg(path)
                     .arg(sizeof address.sun_path - 1);
        return false;
    }
    std::memcpy(address.sun_path, socketPath.constData(), size_t(socketPath.size()));
    const auto *where = reinterpret_cast<const sockaddr *>(&address);

    struct stat info = {};
    if (::lstat(socketPath.constData(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            *error = QStringLiteral("--control %1: the file exists and is no socket; remove it or "
                                    "give another path")
                         .arg(path);
            return false;
        }
        // A socket that nobody listens on is what a host that died leaves: it is replaced. One
        // that answers belongs to a live program.
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool live = probe >= 0 && ::connect(probe, where, sizeof address) == 0;
        const int why = errno;
        if (probe >= 0)
            ::close(probe);
        if (live) {
            *error = QStringLiteral("--control %1: a program listens on it already (another "
                                    "kelvane-host?); give another path")
                         .arg(path);
            return false;
        }
        if (why != ECONNREFUSED || ::unlink(socketPath.constData()) != 0) {
            *error = QStringLiteral("--control %1: cannot replace the old socket: %2")
                         .arg(path, QString::fromLocal8Bit(std::strerror(why)));
            return false;
        }
    }

    listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    // The socket file gets its mode when it is bound, from the umask: no moment at which
    // another user could connect.
    const mode_t umask = ::umask(0177);
    const bool bound = listener >= 0 && ::bind(listener, where, sizeof address) == 0;
    ::umask(umask);
    if (!bound || ::listen(listener, MaxClients) != 0 ||
        ::lstat(socketPath.constData(), &info) != 0) {
        *error = QStringLiteral("--control %1: cannot listen: %2").arg(path, systemError());
        if (listener >= 0)
            ::close(listener);
        listener = -1;
        return false;
    }
    device = info.st_dev;
    inode = info.st_ino;
    return true;
}

void ControlServer::start(const Runner &run)
{
    runner = run;
    if (listener < 0 || accepting)
        return;
    accepting = new QSocketNotifier(listener, QSocketNotifier::Read, this);
    connect(accepting, &QSocketNotifier::activated, this, &ControlServer::accept);
    // Clients that connected before the start wait in the backlog; they are taken now.
    accept();
}

void ControlServer::accept()
{
    for (int i = 0; i < MaxClients; ++i) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        auto client = std::make_unique<Client>();
        client->fd = fd;
        ucred peer = {};
        socklen_t size = sizeof peer;
        client->name = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0
            ? QStringLiteral("pid %1").arg(peer.pid)
            : QStringLiteral("of unknown pid");
        Client *added = client.get();
        if (int(clients.size()) >= MaxClients) {
            const QByteArray refusal = compact(
                {{QStringLiteral("ok"), false},
                 {QStringLiteral("error"),
                  QStringLiteral("%1 control clients already, the most at once").arg(MaxClients)}});
            ::send(fd, refusal.constData(), size_t(refusal.size()), MSG_NOSIGNAL);
            ::send(fd, "\n", 1, MSG_NOSIGNAL);
            ::close(fd);
            continue;
        }
        added->reader = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        added->writer = new QSocketNotifier(fd, QSocketNotifier::Write, this);
        added->writer->setEnabled(false);
        connect(added->reader, &QSocketNotifier::activated, this, [this, added] {
            read(added);
            prune();
        });
        connect(added->writer, &QSocketNotifier::activated, this, [this, added] {
            flush(added);
            prune();
        });
        clients.push_back(std::move(client));
        send(added,
             {{QStringLiteral("hello"), QStringLiteral("kelvane-host")},
              {QStringLiteral("protocol"), ProtocolVersion},
              {QStringLiteral("version"), QCoreApplication::applicationVersion()}});
    }
}

void ControlServer::read(Client *client)
{
    char buffer[ReadChunk];
    for (int i = 0; i < ReadsPerPass && !client->closed; ++i) {
        const ssize_t n = ::read(client->fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            close(client);
            return;
        }
        client->input.append(buffer, int(n));
        int end;
        while (!client->closed && (end = client->input.indexOf('\n')) >= 0) {
            const QByteArray line = client->input.left(end);
            client->input.remove(0, end + 1);
            if (client->skipping)
                client->skipping = false; // the end of the line that was too long
            else if (line.size() > MaxRequestBytes)
                refuseLong(client);
            else
                handle(client, line);
        }
        if (client->input.size() > MaxRequestBytes) {
            // Refused once, however long it goes on; the next line is read again.
            if (!client->skipping)
                refuseLong(client);
            client->skipping = true;
            client->input.clear();
        }
    }
}

void ControlServer::refuseLong(Client *client)
{
    send(client,
         {{QStringLiteral("ok"), false},
          {QStringLiteral("error"),
           QStringLiteral("request longer than %1 bytes").arg(MaxRequestBytes)}});
}

void ControlServer::handle(Client *client, const QByteArray &line)
{
    if (line.trimmed().isEmpty())
        return;
    QJsonParseError parsed = {};
    const QJsonDocument document = QJsonDocument::fromJson(line, &parsed);
    if (!document.isObject()) {
        send(client,
             {{QStringLiteral("ok"), false},
              {QStringLiteral("error"),
               parsed.error != QJsonParseError::NoError
                   ? QStringLiteral("not JSON: %1 at byte %2")
                         .arg(parsed.errorString())
                         .arg(parsed.offset)
                   : QStringLiteral("a request is a JSON object, {\"cmd\": ...}")}});
        return;
    }
    const QJsonObject request = document.object();
    QJsonObject reply = answer(client, request);
    if (request.contains(QLatin1String("id")))
        reply.insert(QStringLiteral("id"), request.value(QLatin1String("id")));
    send(client, reply);
}

QJsonObject ControlServer::answer(Client *client, const QJsonObject &request)
{
    const auto refused = [](const QString &error) {
        return QJsonObject {{QStringLiteral("ok"), false}, {QStringLiteral("error"), error}};
    };
    // The channel's own command: what this client hears from now on.
    if (request.value(QLatin1String("cmd")) == QJsonValue(QStringLiteral("subscribe"))) {
        for (auto it = request.begin(); it != request.end(); ++it) {
            if (it.key() != QLatin1String("cmd") && it.key() != QLatin1String("id"))
                return refused(QStringLiteral("subscribe takes no field \"%1\"").arg(it.key()));
        }
        client->subscribed = true;
        return {{QStringLiteral("ok"), true}};
    }
    Command command;
    CommandRunner::Result result;
    QString error;
    if (!Command::fromJson(request, &command, &error) || !runner(command, &result, &error))
        return refused(error);
    QJsonObject reply = result.data;
    reply.insert(QStringLiteral("ok"), true);
    reply.insert(QStringLiteral("text"), result.text);
    if (!result.warning.isEmpty())
        reply.insert(QStringLiteral("warning"), result.warning);
    return reply;
}

void ControlServer::publish(const QJsonObject &event)
{
    const QByteArray line = compact(event);
    for (const auto &client : clients) {
        if (client->subscribed && !client->closed)
            sendLine(client.get(), line);
    }
    prune();
}

void ControlServer::send(Client *client, const QJsonObject &object)
{
    sendLine(client, compact(object));
}

void ControlServer::sendLine(Client *client, const QByteArray &line)
{
    if (client->closed)
        return;
    client->output.append(line).append('\n');
    flush(client);
    if (client->closed || client->output.size() <= MaxQueuedBytes)
        return;
    emit notice(QStringLiteral("control client %1 dropped: %2 bytes waited for it, more than the "
                               "bound of %3: it does not read what it is sent")
                    .arg(client->name)
                    .arg(client->output.size())
                    .arg(MaxQueuedBytes));
    close(client);
}

// Sends what waits until the system takes no more, and watches for room while some is left.
void ControlServer::flush(Client *client)
{
    while (!client->output.isEmpty()) {
        const ssize_t n = ::send(client->fd, client->output.constData(),
                                 size_t(client->output.size()), MSG_NOSIGNAL);
        if (n > 0) {
            client->output.remove(0, int(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno != EAGAIN) {
            close(client); // gone; nothing to tell it
            return;
        } else {
            break;
        }
    }
    if (client->writer)
        client->writer->setEnabled(!client->output.isEmpty());
}

void ControlServer::close(Client *client)
{
    if (client->closed)
        return;
    client->closed = true;
    // Its notifiers may be the ones calling: they go once control is back in the loop.
    for (QSocketNotifier *notifier : {client->reader, client->writer}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    client->reader = client->writer = nullptr;
    ::close(client->fd);
    client->fd = -1;
    client->output.clear();
}

void ControlServer::prune()
{
    clients.erase(
        std::remove_if(clients.begin(), clients.end(),
                       [](const std::unique_ptr<Client> &client) { return client->closed; }),
        clients.end());
}
