#include "udpdestination.h"

#include <QJsonArray>

#include <sys/socket.h>
#include <unistd.h>

namespace {

const int UdpBatch = 64;

} // namespace

UdpDestination::UdpDestination(int fd, const NetAddress &to)
    : ClientEnd(to.toString()), fd(fd), to(to)
{
}

UdpDestination::~UdpDestination()
{
    ::close(fd);
}

void UdpDestination::begin(QObject *)
{
    setPresent(true);
}

void UdpDestination::send(qint64 nowUs, const QByteArray &bytes)
{
    sendLines(nowUs, bytes, false);
}

void UdpDestination::sendLines(qint64 nowUs, const QByteArray &more, bool all)
{
    partialSinceUs = nowUs;
    partial.append(more);
    // The lines of a delivery leave in batches, one system call each: a datagram per line
    // would otherwise cost a call per line.
    mmsghdr messages[UdpBatch];
    iovec pieces[UdpBatch];
    int count = 0;
    int from = 0;
    const auto sendBatch = [&] {
        for (int i = 0; i < count;) {
            const int sent = ::sendmmsg(fd, messages + i, uint(count - i), 0);
            if (sent <= 0) {
                lost += count - i;
                break;
            }
            for (int k = i; k < i + sent; ++k)
                bytes += messages[k].msg_len;
            datagrams += sent;
            i += sent;
        }
        count = 0;
    };
    while (from < partial.size()) {
        const int lf = partial.indexOf('\n', from);
        int stop = lf >= 0 ? lf + 1 : (all ? partial.size() : -1);
        if ((stop < 0 && partial.size() - from >= MaxDatagramBytes) ||
            stop - from > MaxDatagramBytes)
            stop = from + MaxDatagramBytes;
        if (stop < 0)
            break;
        pieces[count] = {const_cast<char *>(partial.constData()) + from, size_t(stop - from)};
        messages[count] = {};
        messages[count].msg_hdr.msg_name = const_cast<sockaddr *>(to.data());
        messages[count].msg_hdr.msg_namelen = to.size();
        messages[count].msg_hdr.msg_iov = &pieces[count];
        messages[count].msg_hdr.msg_iovlen = 1;
        if (++count == UdpBatch)
            sendBatch();
        from = stop;
    }
    sendBatch();
    if (from > 0)
        partial.remove(0, from);
}

qint64 UdpDestination::nextUs() const
{
    return partial.isEmpty() ? -1 : partialSinceUs + PartialLineUs;
}

void UdpDestination::flush(qint64 nowUs, bool lineIdle)
{
    if (lineIdle && !partial.isEmpty() && nowUs - partialSinceUs >= PartialLineUs)
        sendLines(nowUs, QByteArray(), true);
}

void UdpDestination::status(QStringList *lines) const
{
    *lines << QStringLiteral("UDP to %1: %2 bytes in %3 datagrams, %4 not sent")
                  .arg(name())
                  .arg(bytes)
                  .arg(datagrams)
                  .arg(lost);
}

void UdpDestination::describe(QJsonObject *json) const
{
    QJsonArray udp = json->value(QStringLiteral("udp")).toArray();
    udp.append(QJsonObject {{QStringLiteral("address"), name()},
                            {QStringLiteral("bytes"), double(bytes)},
                            {QStringLiteral("datagrams"), double(datagrams)},
                            {QStringLiteral("notSent"), double(lost)}});
    json->insert(QStringLiteral("udp"), udp);
}
