#include "replaysource.h"

#include "lineconditioner.h"

ReplaySource::ReplaySource(std::unique_ptr<LineReplay> played, const QString &path)
    : replay(std::move(played)), path(path)
{
}

void ReplaySource::begin(QObject *, const Line &relay, qint64 nowUs)
{
    line = relay;
    replay->start(nowUs);
    line.commandsHeard(true);
}

void ReplaySource::feed(qint64 now)
{
    qint64 room = line.room(now);
    while (room > 0) {
        const QByteArray bytes = replay->take(now, room);
        if (bytes.isEmpty())
            break;
        line.toClient->write(now, bytes);
        room = line.toClient->baud() == 0 ? qMin(room - bytes.size(), line.toClient->room(now))
                                          : room - bytes.size();
        crossed.push_back(line.toClient->crossedUs());
    }
    // Said when it happens: the file changed under the replay, bytes that went in pieces.
    for (const QString &news : replay->takeNews())
        line.notice(QStringLiteral("replay: ") + news);
}

void ReplaySource::command(const QByteArray &)
{
    if (commandsNoticed)
        return;
    commandsNoticed = true;
    line.notice(QStringLiteral("replay: commands from clients reach no instrument; they are "
                               "ignored (and recorded with --record)"));
}

qint64 ReplaySource::nextUs(qint64 nowUs) const
{
    if (replay->atEnd())
        return -1;
    // Room comes back as the line empties: wake to read once a tick's worth has crossed.
    return line.room(nowUs) > 0 ? replay->nextUs() : nowUs + TickUs;
}

qint64 ReplaySource::deliveryUs(qint64 nowUs, qint64 lineUs)
{
    while (!crossed.empty() && crossed.front() <= nowUs)
        crossed.pop_front();
    // A record's delivery goes in one piece when it has crossed, at its recorded time, rather
    // than in pieces at ticks that fall while it crosses.
    if (replay->isRecord() && lineUs >= 0 && !crossed.empty())
        return qMax(lineUs, crossed.front());
    return lineUs;
}

QString ReplaySource::status() const
{
    return QStringLiteral("Source: %1, round %2").arg(path).arg(replay->round());
}

void ReplaySource::describe(QJsonObject *stats) const
{
    stats->insert(
        QStringLiteral("replay"),
        QJsonObject {{QStringLiteral("file"), path}, {QStringLiteral("round"), replay->round()}});
}
