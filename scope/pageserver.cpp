#include "pageserver.h"

#include <httplib.h>

#include <sys/socket.h>
#include <unistd.h>

PageServer::PageServer(const QByteArray &html)
    : page(html.constData(), size_t(html.size())), server(std::make_unique<httplib::Server>())
{
    const auto serve = [this](const httplib::Request &, httplib::Response &response) {
        // The page brings everything it runs; it talks to its own stream and nothing else.
        response.set_header("Cache-Control", "no-store");
        response.set_header("Content-Security-Policy",
                            "default-src 'none'; script-src 'unsafe-inline'; "
                            "style-src 'unsafe-inline'; connect-src ws:; img-src data:");
        response.set_content(page, "text/html; charset=utf-8");
    };
    // The library's default also sets SO_REUSEPORT, under which a second program could take
    // the same port and share its connections: a port in use must be refused instead.
    server->set_socket_options([](int fd) {
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    });
    server->Get("/", serve);
    server->Get("/index.html", serve);
}

PageServer::~PageServer()
{
    if (thread.joinable()) {
        server->stop();
        thread.join();
    }
}

bool PageServer::start(const NetAddress &address, QString *error)
{
    // The address is numeric already: the library resolves nothing.
    QString host = address.toString();
    host.truncate(host.lastIndexOf(QLatin1Char(':'))); // "127.0.0.1", "[::1]"
    const std::string name =
        (host.startsWith(QLatin1Char('[')) ? host.mid(1, host.size() - 2) : host).toStdString();
    const int port = address.port() == 0
        ? server->bind_to_any_port(name)
        : (server->bind_to_port(name, address.port()) ? int(address.port()) : -1);
    if (port <= 0) {
        // The library says only that it failed: the same bind by hand tells why.
        const int fd = listenTcp(address, error);
        if (fd >= 0) {
            ::close(fd);
            *error = QStringLiteral("cannot listen on %1").arg(address.toString());
        }
        return false;
    }
    QString unused;
    NetAddress::parse(QStringLiteral("%1:%2").arg(host).arg(port), "", &bound, &unused);
    thread = std::thread([this] { server->listen_after_bind(); });
    return true;
}
