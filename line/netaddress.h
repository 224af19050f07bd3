#ifndef KELVANE_NETADDRESS_H
#define KELVANE_NETADDRESS_H

#include <QString>

#include <sys/socket.h>

/// An IP address (v4 or v6, numeric) and a port, as the command line gives them:
/// "PORT", "ADDR:PORT" or "[V6ADDR]:PORT".
struct NetAddress
{
    sockaddr_storage storage = {};

    /// Reads text into *out; a text without an address takes defaultAddress. False with *error
    /// (naming text) when it is no such address or the port is outside 0 to 65535.
    static bool parse(const QString &text, const char *defaultAddress, NetAddress *out,
                      QString *error);
    /// The address a socket is bound to (local) or connected to (!local).
    static NetAddress ofSocket(int fd, bool local);

    quint16 port() const;
    bool isMulticast() const;
    /// 127.0.0.0/8, ::1 or an IPv4-mapped loopback address: reachable from this machine only.
    bool isLoopback() const;
    const sockaddr *data() const { return reinterpret_cast<const sockaddr *>(&storage); }
    socklen_t size() const;
    /// "127.0.0.1:10110", "[::1]:10110".
    QString toString() const;
};

/// A non-blocking TCP socket listening on address (SO_REUSEADDR), or -1 with *error.
int listenTcp(const NetAddress &address, QString *error);
/// A non-blocking UDP socket that may send to address: broadcast allowed, multicast with a
/// time to live of 1 and looped back to this machine; -1 with *error. It is bound to from (its
/// port 0: one the system picks) or, for a from of no family, to the address the system sends
/// to address from: the loopback address for a loopback destination, else the address of the
/// interface that reaches it. Never to every interface unless from says so.
int openUdp(const NetAddress &address, const NetAddress &from, QString *error);

#endif // KELVANE_NETADDRESS_H
