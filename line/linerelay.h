#ifndef KELVANE_LINERELAY_H
#define KELVANE_LINERELAY_H

#include "clientends.h"
#include "lineconditioner.h"
#include "linesource.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QStringList>
#include <QThread>

#include <functional>
#include <memory>
#include <vector>

class QTimer;

/// Drives the line on a thread of its own, so that the plug-in's work on the main thread and
/// the line's take turns on no one loop: reads the source only as fast as the toClient
/// conditioner lets the line carry it, hands what crosses to every client end, and the clients'
/// commands through toDevice to the source. An end that nobody has open is noticed (the
/// conditioner then drops what nobody hears); nothing is buffered beyond the conditioners'
/// bounds and the client ends' own.
///
/// Threads: the relay's state (the two conditioners, the source, the client ends and their
/// sockets, the replay's position) lives on the relay's thread and is touched only there, with
/// no lock. The main thread talks to it by queued calls only:
///
///     main thread                               relay thread ("line")
///     -----------                               ---------------------
///     unplug/stall/hangUp/garbage/setRates ---> queued: applied, then a pass of the line
///     snapshot() ----------(blocking call)----> counts, status lines, JSON, copied out
///                <--------- queued signals ---- notice, event, failed, sourceEnded
///
/// deliveredToClient and deliveredToDevice are emitted on the relay's thread: a receiver on
/// another thread either takes a queued call for each, or (as the record does) connects
/// directly and hands them over itself. Nothing on the relay's thread ever waits for the main
/// thread, so the one blocking call, snapshot(), cannot deadlock. Before start() and after stop()
/// there is no relay thread, and snapshot() reads the state directly.
class LineRelay : public QObject
{
    Q_OBJECT

public:
    /// How the line carries bytes: its speed and the conditioners' faults.
    struct Line
    {
        int baud = 115200; ///< 0: unpaced
        quint64 seed = 0; ///< of the faults of both directions
        LineFaultRates faults; ///< of the instrument's output
        LineFaultRates commandFaults; ///< of the clients' commands
        QByteArray talker; ///< rewrite every sentence's talker to this; empty: unchanged
    };

    /// What the line did so far, copied out of the relay's thread.
    struct Snapshot
    {
        LineCounts toClient;
        LineCounts toDevice;
        QString source; ///< the source's status line
        QString commandsTo; ///< what the commands' direction is called
        QStringList ends; ///< one line per end and client
        QJsonObject endsJson; ///< the statistics' "clients"
        QJsonObject sourceJson; ///< the source's part of the statistics
    };

    /// Takes over the source and the ends; they are begun on the relay's thread by start().
    LineRelay(const Line &line, std::unique_ptr<LineSource> source,
              std::vector<std::unique_ptr<ClientEnd>> ends);
    /// Calls stop().
    ~LineRelay() override;

    /// Starts the thread and the relaying.
    void start();
    /// Ends the relaying and the thread: the ends' notifiers go, the TCP clients are
    /// disconnected. What was delivered is still queued to the signals' receivers.
    void stop();
    /// The counts, status and statistics as they are now.
    Snapshot snapshot();

    /// Silence both ways for seconds.
    void unplug(double seconds);
    /// Nothing reaches the client for seconds, then everything held at once.
    void stall(double seconds);
    /// The client ends lose the device and come back after seconds.
    void hangUp(double seconds);
    /// count random bytes to the client now.
    void garbage(int count);
    /// New fault rates for the instrument's output.
    void setRates(const LineFaultRates &rates);
    /// New fault rates for the clients' commands.
    void setCommandRates(const LineFaultRates &rates);

signals:
    /// Bytes as they reached the clients, and commands as they reached the source, in order,
    /// with the time (on the relay's clock) they did: for recording.
    void deliveredToClient(qint64 us, const QByteArray &bytes);
    void deliveredToDevice(qint64 us, const QByteArray &bytes);
    /// A client end could not be made again after a hangup.
    void failed(const QString &reason);
    /// A line for the host's log (clients that came and went, ...).
    void notice(const QString &text);
    /// Something happened on the line, {"event": NAME, ...}, in the order things happened: a
    /// client end opened or closed ("clientEndOpened", "clientEndClosed"), a TCP client joined or
    /// left ("tcpClientJoined", "tcpClientLeft"), a fault event began or ended ("faultBegan",
    /// "faultEnded" with "fault": "unplug", "stall", "hangup" or "garbage").
    void event(const QJsonObject &event);
    /// The source played to its end and everything reached the client ends.
    void sourceEnded();

private:
    qint64 nowUs() const { return clock.nsecsElapsed() / 1000; }
    void begin();
    void checkPresence();
    void pump();
    void schedule();
    void later(const std::function<void()> &f);
    Snapshot take() const;
    /// Tells that fault began: "faultBegan" with the fault's name and its amount.
    void began(const char *fault, const char *amountName, double amount);
    /// Logs the end of an unplug or a stall once its time has come (a later one may extend it),
    /// and tells it ("faultEnded").
    void reportEnd(qint64 *untilUs, const char *fault, const QString &text);

    QThread thread;
    QElapsedTimer clock;
    LineConditioner toClient;
    LineConditioner toDevice;
    std::unique_ptr<LineSource> source;
    std::unique_ptr<ClientEnds> ends;
    QTimer *tick = nullptr;
    QTimer *presence = nullptr;
    qint64 unplugUntilUs = -1; ///< the end of the unplug under way, or -1
    qint64 stallUntilUs = -1;
    qint64 drainDeadlineUs = -1;
    bool ended = false;
};

#endif // KELVANE_LINERELAY_H
