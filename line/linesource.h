#ifndef KELVANE_LINESOURCE_H
#define KELVANE_LINESOURCE_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>

class LineConditioner;
class QObject;

/// Where the instrument's output on the line comes from, and where the clients' commands go:
/// the simulator's end of the pty pair, or a replayed file. The relay puts what the source gives
/// on the line no faster than the line carries it, and hands the source every command that
/// crossed the other way.
///
/// A source is made on any thread and handed to the relay; from begin() to its destruction it is
/// touched only on the relay's thread.
class LineSource
{
public:
    /// Deliveries are batched to at least this far apart: 250 wake-ups a second at most while
    /// the line is busy.
    static constexpr qint64 TickUs = 4000;

    /// What the relay offers a source.
    struct Line
    {
        /// The instrument's side of the line: what the source writes into it crosses to the ends.
        LineConditioner *toClient = nullptr;
        /// Microseconds on the relay's clock.
        std::function<qint64()> now;
        /// How many bytes the line takes at a time (0 while a client end holds it).
        std::function<qint64(qint64 nowUs)> room;
        /// A client end holds the line: its reader has not taken its bytes.
        std::function<bool()> holding;
        /// After any activity of the source's notifiers, to deliver what is due.
        std::function<void()> activity;
        /// One line for the host's log.
        std::function<void(const QString &)> notice;
        /// Somebody takes the clients' commands now, or nobody any more.
        std::function<void(bool)> commandsHeard;
    };

    virtual ~LineSource();

    /// Starts at nowUs, its notifiers children of context (on the relay's thread).
    virtual void begin(QObject *context, const Line &line, qint64 nowUs) = 0;
    /// Deletes the notifiers.
    virtual void end() { }
    /// On every pass of the relay: puts what is due by nowUs on the line, as far as it has room.
    virtual void feed(qint64 nowUs) { Q_UNUSED(nowUs); }
    /// After the relay's pass: whether it may read more (the line has room).
    virtual void passed(bool room) { Q_UNUSED(room); }
    /// Whether a command may be handed over now: the last one has left.
    virtual bool takesCommand() const { return true; }
    /// A command that crossed the line to the instrument.
    virtual void command(const QByteArray &chunk) = 0;
    /// Looks whether the instrument has its end open.
    virtual void checkPresence() { }
    /// checkPresence() should look again soon.
    virtual bool needsPolling() const { return false; }
    /// When the relay should look again for the source's sake, or -1.
    virtual qint64 nextUs(qint64 nowUs) const = 0;
    /// When bytes that the line has ready at lineUs should go to the ends.
    virtual qint64 deliveryUs(qint64 nowUs, qint64 lineUs)
    {
        Q_UNUSED(nowUs);
        return lineUs;
    }
    /// The shortest wait between two passes of the relay.
    virtual qint64 tickUs() const { return TickUs; }
    /// Played to its end: nothing more will come.
    virtual bool atEnd() const { return false; }

    /// Its line for status ("Simulator end: open", "Source: FILE, round 2").
    virtual QString status() const = 0;
    /// What the commands' direction is called in status ("To the simulator").
    virtual QString commandsTo() const = 0;
    /// Its part of the statistics, if any.
    virtual void describe(QJsonObject *stats) const { Q_UNUSED(stats); }
};

#endif // KELVANE_LINESOURCE_H
