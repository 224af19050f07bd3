#ifndef KELVANE_PAGESERVER_H
#define KELVANE_PAGESERVER_H

#include "netaddress.h"

#include <QString>

#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

/// Serves one page over HTTP (GET / and /index.html; anything else is not found) with
/// cpp-httplib, on a thread of its own. This is the only state shared with that thread: the
/// page is set before it starts and only read after, and the server is stopped and its thread
/// joined before either goes. The thread touches nothing else of the program.
class PageServer
{
public:
    /// page: the HTML, sent as it is.
    explicit PageServer(const QByteArray &page);
    /// Stops serving and waits for the thread.
    ~PageServer();

    /// Binds to address (its port 0: a free one) and starts the thread; false with *error
    /// ("cannot listen on ADDR:PORT: Address already in use") when it cannot.
    bool start(const NetAddress &address, QString *error);
    /// The address it listens on, with the port taken.
    NetAddress address() const { return bound; }

private:
    const std::string page;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    NetAddress bound;
};

#endif // KELVANE_PAGESERVER_H
