#ifndef KELVANE_UDPDESTINATION_H
#define KELVANE_UDPDESTINATION_H

#include "clientend.h"
#include "netaddress.h"

/// A UDP destination (unicast, broadcast or multicast): always counted as somebody listening. It
/// sends each line as one datagram (a line longer than MaxDatagramBytes in pieces of that size);
/// a line without its LF goes after PartialLineUs without more bytes, once the line is idle.
/// Datagrams the system refuses are counted, never retried.
class UdpDestination : public ClientEnd
{
public:
    static constexpr int MaxDatagramBytes = 4096;
    static constexpr qint64 PartialLineUs = 100000;

    /// fd: a UDP socket that may send to `to`, taken over.
    UdpDestination(int fd, const NetAddress &to);
    ~UdpDestination() override;

    void begin(QObject *context) override;
    bool hasUnwritten() const override { return !partial.isEmpty(); }
    qint64 nextUs() const override;
    void flush(qint64 nowUs, bool lineIdle) override;
    /// "UDP to ADDR: N bytes in D datagrams, L not sent"
    void status(QStringList *lines) const override;
    /// Appends {"address", "bytes", "datagrams", "notSent"} to "udp".
    void describe(QJsonObject *json) const override;

protected:
    void send(qint64 nowUs, const QByteArray &bytes) override;

private:
    void sendLines(qint64 nowUs, const QByteArray &bytes, bool all);

    int fd;
    NetAddress to;
    QByteArray partial; ///< the line so far
    qint64 partialSinceUs = 0;
    qint64 bytes = 0; ///< taken by the system
    qint64 datagrams = 0;
    qint64 lost = 0; ///< datagrams the system refused
};

#endif // KELVANE_UDPDESTINATION_H
