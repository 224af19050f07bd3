#include "netaddress.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <unistd.h>

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

int fail(int fd, QString *error, const QString &what)
{
    *error = QStringLiteral("%1: %2").arg(what, systemError());
    if (fd >= 0)
        ::close(fd);
    return -1;
}

// An address as toString() writes it, without its port: "127.0.0.1", "[::1]".
QString withoutPort(const NetAddress &address)
{
    return address.toString().section(QLatin1Char(':'), 0, -2);
}

} // namespace

bool NetAddress::parse(const QString &text, const char *defaultAddress, NetAddress *out,
                       QString *error)
{
    QString host = QString::fromLatin1(defaultAddress);
    QString port = text;
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        host = text.left(colon);
        port = text.mid(colon + 1);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        else if (host.contains(QLatin1Char(':')))
            host.clear(); // an IPv6 address needs its brackets, or its last group is the port
    }
    bool ok = false;
    const uint number = port.toUInt(&ok);
    if (!ok || number > 65535 || port.startsWith(QLatin1Char('+'))) {
        *error = QStringLiteral("no port from 0 to 65535 in \"%1\"").arg(text);
        return false;
    }
    NetAddress address;
    const QByteArray name = host.toLatin1();
    auto *v4 = reinterpret_cast<sockaddr_in *>(&address.storage);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&address.storage);
    if (::inet_pton(AF_INET, name.constData(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(quint16(number));
    } else if (::inet_pton(AF_INET6, name.constData(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(quint16(number));
    } else {
        *error = QStringLiteral("no IP address in \"%1\" (give ADDR:PORT with a numeric address "
                                "such as 127.0.0.1 or [::1])")
                     .arg(text);
        return false;
    }
    *out = address;
    return true;
}

NetAddress NetAddress::ofSocket(int fd, bool local)
{
    NetAddress address;
    socklen_t length = sizeof address.storage;
    auto *where = reinterpret_cast<sockaddr *>(&address.storage);
    if ((local ? ::getsockname(fd, where, &length) : ::getpeername(fd, where, &length)) != 0)
        address.storage.ss_family = AF_UNSPEC;
    return address;
}

quint16 NetAddress::port() const
{
    if (storage.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in *>(&storage)->sin_port);
    if (storage.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 *>(&storage)->sin6_port);
    return 0;
}

bool NetAddress::isMulticast() const
{
    if (storage.ss_family == AF_INET)
        return IN_MULTICAST(
            ntohl(reinterpret_cast<const sockaddr_in *>(&storage)->sin_addr.s_addr));
    if (storage.ss_family == AF_INET6)
        return IN6_IS_ADDR_MULTICAST(&reinterpret_cast<const sockaddr_in6 *>(&storage)->sin6_addr);
    return false;
}

bool NetAddress::isLoopback() const
{
    if (storage.ss_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in *>(&storage)->sin_addr.s_addr) >> 24) ==
            IN_LOOPBACKNET;
    if (storage.ss_family != AF_INET6)
        return false;
    const in6_addr &v6 = reinterpret_cast<const sockaddr_in6 *>(&storage)->sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
}

socklen_t NetAddress::size() const
{
    return storage.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

QString NetAddress::toString() const
{
    char text[INET6_ADDRSTRLEN] = {};
    if (storage.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(&storage)->sin_addr, text,
                    sizeof text);
        return QStringLiteral("%1:%2").arg(QLatin1String(text)).arg(port());
    }
    if (storage.ss_family == AF_INET6) {
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(&storage)->sin6_addr, text,
                    sizeof text);
        return QStringLiteral("[%1]:%2").arg(QLatin1String(text)).arg(port());
    }
    return QStringLiteral("(unknown)");
}

int listenTcp(const NetAddress &address, QString *error)
{
    const int fd =
        ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail(fd, error, QStringLiteral("cannot make a TCP socket"));
    // A host restarted at once finds its port in TIME_WAIT; that is no reason to refuse it.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, address.data(), address.size()) != 0)
        return fail(fd, error, QStringLiteral("cannot listen on %1").arg(address.toString()));
    if (::listen(fd, SOMAXCONN) != 0)
        return fail(fd, error, QStringLiteral("cannot listen on %1").arg(address.toString()));
    return fd;
}

int openUdp(const NetAddress &address, const NetAddress &from, QString *error)
{
    if (address.port() == 0) {
        *error = QStringLiteral("cannot send to %1: no port").arg(address.toString());
        return -1;
    }
    const int family = address.storage.ss_family;
    if (from.storage.ss_family != AF_UNSPEC && from.storage.ss_family != family) {
        *error = QStringLiteral("cannot send to %1 from %2: not the same address family")
                     .arg(address.toString(), withoutPort(from));
        return -1;
    }
    // A socket that is never bound is bound by its first send to every interface, where anyone
    // may send datagrams to its port. The source the system picks for the destination is found
    // on a socket of its own, connected and dropped: the real one is bound before it connects.
    NetAddress source = from;
    if (source.storage.ss_family == AF_UNSPEC) {
        const int probe = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        if (probe < 0 || ::setsockopt(probe, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
            ::connect(probe, address.data(), address.size()) != 0)
            return fail(probe, error, QStringLiteral("cannot send to %1").arg(address.toString()));
        source = NetAddress::ofSocket(probe, true);
        ::close(probe);
    }
    if (family == AF_INET)
        reinterpret_cast<sockaddr_in *>(&source.storage)->sin_port = 0;
    else
        reinterpret_cast<sockaddr_in6 *>(&source.storage)->sin6_port = 0;
    const int fd = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail(fd, error, QStringLiteral("cannot make a UDP socket"));
    const int on = 1;
    const int ttl = 1;
    bool ok = ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0;
    if (address.isMulticast() && family == AF_INET) {
        const unsigned char ttl4 = 1, loop4 = 1;
        ok = ok && ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl4, sizeof ttl4) == 0 &&
            ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop4, sizeof loop4) == 0;
    } else if (address.isMulticast()) {
        ok = ok && ::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &ttl, sizeof ttl) == 0 &&
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &on, sizeof on) == 0;
    }
    if (ok && ::bind(fd, source.data(), source.size()) != 0) {
        return fail(fd, error, QStringLiteral("cannot send from %1").arg(withoutPort(source)));
    }
    // Connecting checks now that the address can be reached from here (a route, an interface);
    // the socket is then unconnected again, so that a far end that refuses a datagram does not
    // make the next sendto() fail. The address it is bound to stays.
    if (!ok || ::connect(fd, address.data(), address.size()) != 0)
        return fail(fd, error, QStringLiteral("cannot send to %1").arg(address.toString()));
    sockaddr unspecified = {};
    unspecified.sa_family = AF_UNSPEC;
    ::connect(fd, &unspecified, sizeof unspecified);
    return fd;
}
