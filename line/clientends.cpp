#include "clientends.h"

#include <QTimer>

#include <algorithm>

ClientEnds::ClientEnds(std::vector<std::unique_ptr<ClientEnd>> made) : ends(std::move(made)) { }

ClientEnds::~ClientEnds()
{
    // An end made by another (a TCP client by its port) goes before its maker.
    while (!ends.empty())
        ends.pop_back();
}

void ClientEnds::begin(QObject *owner, const Events &set)
{
    context = owner;
    events = set;
    std::vector<std::unique_ptr<ClientEnd>> given;
    given.swap(ends);
    // Begun in the order given, each as it is added: an end that has somebody on it from the
    // start says so while it begins.
    for (auto &end : given)
        add(std::move(end));
    updateListening();
}

void ClientEnds::add(std::unique_ptr<ClientEnd> end)
{
    ClientEnd::Events wiring;
    ClientEnd *client = end.get();
    wiring.command = [this, client](const QByteArray &bytes) { acceptCommand(client, bytes); };
    wiring.presenceChanged = [this](ClientEnd *changed) { presenceChanged(changed); };
    wiring.activity = [this] {
        prune();
        events.activity();
    };
    wiring.notice = events.notice;
    wiring.joined = [this](std::unique_ptr<ClientEnd> joined) { add(std::move(joined)); };
    end->setEvents(wiring);
    ClientEnd *begun = end.get();
    ends.push_back(std::move(end));
    begun->begin(context);
}

void ClientEnds::end()
{
    for (const auto &end : ends)
        end->end();
}

void ClientEnds::presenceChanged(ClientEnd *end)
{
    // Whoever joins mid-line starts at the next whole line, as the line does for a first listener.
    if (end->isPresent())
        end->startAtNextLine(listening && !atLineStart);
    const QJsonObject news = end->presenceEvent();
    if (!news.isEmpty())
        events.event(news);
    // One that has gone is removed, and listening looked at again, once the set is not being
    // gone through.
    if (!end->isGone())
        updateListening();
}

void ClientEnds::updateListening()
{
    const auto present =
        std::count_if(ends.begin(), ends.end(), [](const std::unique_ptr<ClientEnd> &end) {
            return end->isPresent() && !end->isGone();
        });
    for (const auto &end : ends)
        end->setShared(present > 1);
    const bool now = present > 0;
    if (now == listening)
        return;
    listening = now;
    // Whoever comes next starts where the line starts again: at its next whole line.
    if (!now)
        atLineStart = true;
    events.listening(now);
}

void ClientEnds::prune()
{
    const auto gone = [](const std::unique_ptr<ClientEnd> &end) { return end->isGone(); };
    ends.erase(std::remove_if(ends.begin(), ends.end(), gone), ends.end());
    updateListening();
}

void ClientEnds::deliver(qint64 nowUs, const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    // By index: an end may go (and stays in the list until prune()) while this runs.
    for (size_t i = 0; i < ends.size(); ++i)
        ends[i]->deliver(nowUs, bytes);
    atLineStart = bytes.endsWith('\n');
    prune();
}

void ClientEnds::acceptCommand(ClientEnd *end, const QByteArray &bytes)
{
    qint64 total = 0;
    for (const auto &each : ends)
        total += each->commandBytes();
    const qint64 own = end->commandBytes() + bytes.size();
    if (own > ClientEnd::MaxCommandBytes) {
        end->tooManyCommands(QStringLiteral("%1 bytes of its commands waited for the line, more "
                                            "than the bound of %2: it sends faster than the "
                                            "line carries")
                                 .arg(own)
                                 .arg(ClientEnd::MaxCommandBytes));
    } else if (total + bytes.size() > MaxCommandBytes) {
        end->tooManyCommands(QStringLiteral("the clients' commands that waited for the line "
                                            "would be %1 bytes, more than the bound of %2")
                                 .arg(total + bytes.size())
                                 .arg(MaxCommandBytes));
    } else {
        end->queueCommand(bytes);
    }
}

bool ClientEnds::hasCommand() const
{
    return std::any_of(ends.begin(), ends.end(), [](const std::unique_ptr<ClientEnd> &end) {
        return !end->isGone() && end->hasCommand();
    });
}

QByteArray ClientEnds::takeCommand()
{
    for (size_t n = 0; n < ends.size(); ++n) {
        const size_t i = (nextCommandEnd + n) % ends.size();
        if (!ends[i]->isGone() && ends[i]->hasCommand()) {
            nextCommandEnd = i + 1;
            return ends[i]->takeCommand();
        }
    }
    return QByteArray();
}

void ClientEnds::flush(qint64 nowUs, bool lineIdle)
{
    for (const auto &end : ends)
        end->flush(nowUs, lineIdle);
}

qint64 ClientEnds::nextUs() const
{
    qint64 next = -1;
    for (const auto &end : ends) {
        const qint64 at = end->nextUs();
        if (at >= 0)
            next = next < 0 ? at : qMin(next, at);
    }
    return next;
}

bool ClientEnds::isHolding() const
{
    return std::any_of(ends.begin(), ends.end(),
                       [](const std::unique_ptr<ClientEnd> &end) { return end->isHolding(); });
}

bool ClientEnds::hasUnwritten() const
{
    return std::any_of(ends.begin(), ends.end(),
                       [](const std::unique_ptr<ClientEnd> &end) { return end->hasUnwritten(); });
}

void ClientEnds::checkPresence()
{
    for (size_t i = 0; i < ends.size(); ++i)
        ends[i]->checkPresence();
}

bool ClientEnds::needsPolling() const
{
    return std::any_of(ends.begin(), ends.end(),
                       [](const std::unique_ptr<ClientEnd> &end) { return end->needsPolling(); });
}

void ClientEnds::unplugged()
{
    for (const auto &end : ends)
        end->unplugged();
}

void ClientEnds::hangUp(double seconds)
{
    std::vector<ClientEnd *> away;
    for (size_t i = 0; i < ends.size(); ++i) {
        if (ends[i]->hangUp())
            away.push_back(ends[i].get());
    }
    prune();
    QTimer::singleShot(int(seconds * 1000), context, [this, away] {
        QStringList back;
        for (ClientEnd *end : away) {
            QString text, error;
            if (!end->restore(&text, &error)) {
                events.failed(error);
                return;
            }
            back << text;
        }
        events.notice(QStringLiteral("fault hangup over: %1").arg(back.join(QStringLiteral(", "))));
        events.event({{QStringLiteral("event"), QStringLiteral("faultEnded")},
                      {QStringLiteral("fault"), QStringLiteral("hangup")}});
        events.activity();
    });
}

QStringList ClientEnds::status() const
{
    QStringList lines;
    for (const auto &end : ends)
        end->status(&lines);
    return lines;
}

QJsonObject ClientEnds::toJson() const
{
    QJsonObject json;
    for (const auto &end : ends)
        end->describe(&json);
    return json;
}
