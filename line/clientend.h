#ifndef KELVANE_CLIENTEND_H
#define KELVANE_CLIENTEND_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <memory>

class QObject;

/// One place where clients meet the line: the pty pair's client end, a TCP client, a UDP
/// destination, or a listening TCP port that makes TCP client ends. Every end that has somebody
/// on it (isPresent()) gets the instrument's output as it crossed the line, from the next whole
/// line on once it joined mid-line; what a client writes is one command for the instrument.
///
/// An end is made on any thread and handed to ClientEnds; from begin() to its destruction it is
/// touched only on the relay's thread.
class ClientEnd
{
public:
    /// What an end tells the set it belongs to. Set by ClientEnds before begin().
    struct Events
    {
        /// A client's command: one read of its, which stays one piece on its way.
        std::function<void(const QByteArray &)> command;
        /// isPresent() changed.
        std::function<void(ClientEnd *)> presenceChanged;
        /// After any activity of the end's notifiers, to deliver what is due.
        std::function<void()> activity;
        /// One line for the host's log.
        std::function<void(const QString &)> notice;
        /// A new end (a TCP client), which the set takes over and begins.
        std::function<void(std::unique_ptr<ClientEnd>)> joined;
    };

    /// Bytes an end's reader has not taken, at most, while other ends are served beside it: past
    /// it a TCP client is dropped, and the pty end loses them (see PtyClientEnd).
    static constexpr int MaxQueuedBytes = 1 << 20;

    explicit ClientEnd(const QString &name) : endName(name) { }
    virtual ~ClientEnd();
    ClientEnd(const ClientEnd &) = delete;
    ClientEnd &operator=(const ClientEnd &) = delete;

    void setEvents(const Events &set) { events = set; }
    /// Makes the end's notifiers as children of context, on the calling thread (the relay's).
    virtual void begin(QObject *context) { Q_UNUSED(context); }
    /// Deletes the notifiers and closes the connections the end accepted itself.
    virtual void end() { }

    QString name() const { return endName; }
    /// Somebody is on this end: it gets the line's bytes.
    bool isPresent() const { return present; }
    /// Gone for good (a TCP client that left): the set removes it.
    bool isGone() const { return gone; }
    /// Its next bytes start after the next LF (it joined mid-line).
    void startAtNextLine(bool skip) { skipToLine = skip; }
    /// The bytes that crossed the line at nowUs, when somebody is on the end.
    void deliver(qint64 nowUs, const QByteArray &bytes);

    /// Bytes its reader has not taken hold the line (a serial port's reader does, while it is
    /// the only one served).
    virtual bool isHolding() const { return false; }
    /// Other ends have somebody on them too (ClientEnds says so as presence changes).
    void setShared(bool on) { shared = on; }
    /// Bytes it has not passed on yet.
    virtual bool hasUnwritten() const { return false; }
    /// When flush() has something to pass on, or -1.
    virtual qint64 nextUs() const { return -1; }
    /// Passes on what waited long enough for more (lineIdle: nothing more is on its way).
    virtual void flush(qint64 nowUs, bool lineIdle)
    {
        Q_UNUSED(nowUs);
        Q_UNUSED(lineIdle);
    }
    /// Looks whether somebody is on the end (for an end that cannot tell by itself).
    virtual void checkPresence() { }
    /// checkPresence() should look again soon.
    virtual bool needsPolling() const { return false; }
    /// An unplugged line loses what the end had not passed on.
    virtual void unplugged() { }
    /// The instrument's device goes away: true when the end went and restore() brings it back.
    virtual bool hangUp() { return false; }
    /// After hangUp() returned true: back again, with a text for the log in *back; false with
    /// *error when it cannot come back.
    virtual bool restore(QString *back, QString *error)
    {
        Q_UNUSED(back);
        Q_UNUSED(error);
        return true;
    }
    /// Its lines for status.
    virtual void status(QStringList *lines) const { Q_UNUSED(lines); }
    /// Its part of the statistics' "clients" object.
    virtual void describe(QJsonObject *json) const { Q_UNUSED(json); }
    /// The event that isPresent() changed, {"event": NAME, ...}, or an empty object for an end
    /// whose presence is no news (a UDP destination is always there).
    virtual QJsonObject presenceEvent() const { return QJsonObject(); }

    /// A client's commands wait here for the line, at most this many bytes of them: past it
    /// the client is dropped (an end that cannot drop its client reads no more of it until
    /// some have gone).
    static constexpr int MaxCommandBytes = 64 * 1024;
    /// Queued by ClientEnds, which bounds them.
    void queueCommand(const QByteArray &bytes);
    bool hasCommand() const { return !commands.empty(); }
    /// Its oldest command, which leaves the queue.
    QByteArray takeCommand();
    qint64 commandBytes() const { return queuedCommandBytes; }
    /// Its commands went past a bound (reason says which): the end drops its client. An end
    /// that cannot has lost the command, and says so once.
    virtual void tooManyCommands(const QString &reason);

protected:
    /// Passes bytes on to the end's client.
    virtual void send(qint64 nowUs, const QByteArray &bytes) = 0;
    void setPresent(bool on);
    void setGone() { gone = true; }
    bool isShared() const { return shared; }
    /// Some of its commands left the queue.
    virtual void commandsTaken() { }

    Events events;

private:
    QString endName;
    bool present = false;
    bool gone = false;
    bool skipToLine = false;
    bool shared = false;
    std::deque<QByteArray> commands;
    qint64 queuedCommandBytes = 0;
    bool commandsLost = false;
};

#endif // KELVANE_CLIENTEND_H
