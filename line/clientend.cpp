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

void ClientEnd::queueCommand(const QByteArray &bytes)
{
    commands.push_back(bytes);
    queuedCommandBytes += bytes.size();
}

QByteArray ClientEnd::takeCommand()
{
    if (commands.empty())
        return QByteArray();
    const QByteArray bytes = commands.front();
    commands.pop_front();
    queuedCommandBytes -= bytes.size();
    commandsTaken();
    return bytes;
}

void ClientEnd::tooManyCommands(const QString &reason)
{
    if (commandsLost)
        return;
    commandsLost = true;
    events.notice(QStringLiteral("%1: a command was lost: %2").arg(name(), reason));
}
