#ifndef KELVANE_CLIENTENDS_H
#define KELVANE_CLIENTENDS_H

#include "clientend.h"

#include <QJsonObject>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class QObject;

/// The client ends of a line, as one: every end gets the same bytes (the instrument's output as
/// it crossed the line) from the moment it joins, starting with the next whole line; what any
/// client writes is one command for the instrument. Somebody listens while any end has somebody
/// on it. Ends are added by whoever wires the line, and by ends that make others (a TCP port).
///
/// From begin() to its destruction the set and its ends are touched only on the relay's thread.
class ClientEnds
{
public:
    /// What the set tells the relay.
    struct Events
    {
        /// Somebody listens now, or nobody any more.
        std::function<void(bool)> listening;
        /// After any activity of the ends, to deliver what is due.
        std::function<void()> activity;
        /// One line for the host's log.
        std::function<void(const QString &)> notice;
        /// An end could not come back after a hangup.
        std::function<void(const QString &)> failed;
        /// Something happened at the ends, {"event": NAME, ...}: one came or went, a hangup
        /// ended.
        std::function<void(const QJsonObject &)> event;
    };

    explicit ClientEnds(std::vector<std::unique_ptr<ClientEnd>> ends);
    /// Deletes the ends, the last made first.
    ~ClientEnds();
    ClientEnds(const ClientEnds &) = delete;
    ClientEnds &operator=(const ClientEnds &) = delete;

    /// Begins every end, its notifiers children of context (on the relay's thread).
    void begin(QObject *context, const Events &events);
    /// Ends every end: no notifier is left, TCP clients are disconnected.
    void end();

    void deliver(qint64 nowUs, const QByteArray &bytes);
    /// Passes on what waited for more bytes, when nothing more is on its way (lineIdle).
    void flush(qint64 nowUs, bool lineIdle);
    /// When flush() has something to pass on, or -1.
    qint64 nextUs() const;
    /// Some end holds the line: its reader has not taken its bytes.
    bool isHolding() const;
    /// Some end has bytes it has not passed on.
    bool hasUnwritten() const;
    void checkPresence();
    /// Some end needs checkPresence() soon.
    bool needsPolling() const;
    /// An unplugged line loses what the ends had not passed on.
    void unplugged();
    /// The instrument's device goes away for seconds: every end that can lose it does, and
    /// comes back then ("fault hangup over: ..." in the log, and a faultEnded event).
    void hangUp(double seconds);

    /// The commands of all clients that wait for the line, at most; past it the client whose
    /// command does not fit is dropped.
    static constexpr qint64 MaxCommandBytes = 1 << 20;
    bool hasCommand() const;
    /// The oldest command of the next client that has one: clients take turns, so that one that
    /// sends without end holds up the others' commands by one of its own at most.
    QByteArray takeCommand();
    /// One line per end and client, for status.
    QStringList status() const;
    /// {"pty": {...}, "tcp": {..., "connected": [...]}, "udp": [...]}
    QJsonObject toJson() const;

private:
    void add(std::unique_ptr<ClientEnd> end);
    void presenceChanged(ClientEnd *end);
    void updateListening();
    void prune();
    void acceptCommand(ClientEnd *end, const QByteArray &bytes);

    std::vector<std::unique_ptr<ClientEnd>> ends;
    QObject *context = nullptr;
    Events events;
    bool listening = false;
    bool atLineStart = true; ///< the bytes delivered so far end with a whole line
    size_t nextCommandEnd = 0; ///< where takeCommand() looks first
};

#endif // KELVANE_CLIENTENDS_H
