#include "clientend.h"

ClientEnd::~ClientEnd() = default;

void ClientEnd::deliver(qint64 nowUs, const QByteArray &bytes)
{
    if (!present || bytes.isEmpty())
        return;
    QByteArray piece = bytes;
    if (skipToLine) {
        const int lf = bytes.indexOf('\n');
        if (lf < 0)
            return;
        skipToLine = false;
        piece = bytes.mid(lf + 1);
    }
    if (!piece.isEmpty())
        send(nowUs, piece);
}

void ClientEnd::setPresent(bool on)
{
    present = on;
    if (events.presenceChanged)
        events.presenceChanged(this);
}
