// kelvane-scope's stream decoder on arbitrary bytes: it must not crash or hang, must give the
// same pings, anomalies and replies whatever the read boundaries, and must report every
// anomaly on a line that exists.

#include "streamdecoder.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdint>
#include <cstdlib>

namespace {

struct Outcome
{
    QStringList events;
    int lines = 0;
};

Outcome decode(const QByteArray &bytes, int chunk)
{
    StreamDecoder decoder;
    Outcome o;
    QObject::connect(&decoder, &StreamDecoder::pingDecoded, [&o](const Ping &p) {
        o.events << QStringLiteral("ping %1 %2 %3 %4")
                        .arg(p.line)
                        .arg(p.sampleCount())
                        .arg(p.depth)
                        .arg(p.echoDepth);
        if (p.hasData && p.samplingFrequency <= 0)
            abort();
        for (int s : p.samples) {
            if (s < 0 || s > 1023)
                abort();
        }
    });
    QObject::connect(&decoder, &StreamDecoder::anomalyFound, [&o](const Anomaly &a) {
        o.events << QStringLiteral("anomaly %1 %2").arg(a.line).arg(int(a.kind));
        o.lines = std::max(o.lines, a.line);
    });
    QObject::connect(&decoder, &StreamDecoder::replyReceived, [&o](const Reply &r) {
        o.events << QStringLiteral("reply %1 ").arg(r.line) +
                QString::fromLatin1(r.echo + r.prompt);
    });
    if (chunk <= 0) {
        decoder.feed(bytes);
    } else {
        for (int i = 0; i < bytes.size(); i += chunk)
            decoder.feed(bytes.mid(i, chunk));
    }
    decoder.finish();
    return o;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte picks the read size of the second pass.
    const int chunk = 1 + data[0] % 16;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), int(size - 1));
    const Outcome whole = decode(bytes, 0);
    const Outcome pieces = decode(bytes, chunk);
    if (whole.events != pieces.events)
        abort();
    // An anomaly's line is at most one past the last line ending (a last line without one).
    if (whole.lines > bytes.count('\n') + 1)
        abort();
    return 0;
}
