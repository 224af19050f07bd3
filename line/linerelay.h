#ifndef KELVANE_LINERELAY_H
#define KELVANE_LINERELAY_H

#include "clientends.h"
#include "lineconditioner.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QThread>

#include <deque>
#include <functional>

class LineReplay;
class PtyPair;
class QSocketNotifier;
class QTimer;

/// Drives the line on a thread of its own, so that the plug-in's work on the main thread and
/// the line's take turns on no one loop: reads the source (the simulator's end of the pair, or a
/// replay) only as fast as the toClient conditioner lets the line carry it, hands what crosses
/// to every client end, and the clients' commands through toDevice to the simulator's end. An
/// end that no process has open is noticed (the conditioner then drops what nobody hears);
/// nothing is buffered beyond the conditioners' bounds and the client ends' own.
///
/// The conditioners and the client ends are touched only under the relay's lock: other threads
/// go through locked().
class LineRelay : public QObject
{
    Q_OBJECT

public:
    /// pair: the simulator's end (when it has one) and the pty client end (when it has one);
    /// replay: the source instead of the simulator (null: none).
    LineRelay(PtyPair *pair, LineReplay *replay, const ClientEnds::Options &ends,
              LineConditioner *toClient, LineConditioner *toDevice);
    /// Stops the thread; the conditioners are the caller's again.
    ~LineRelay() override;

    /// Starts the thread and the relaying.
    void start();
    /// Microseconds on the relay's monotonic clock, from its construction.
    qint64 nowUs() const { return clock.nsecsElapsed() / 1000; }
    /// Whether the simulator has its end open, looked at now (from any thread): the relay's own
    /// view follows within a presence poll.
    bool isSimulatorOpen();
    /// Runs f with the conditioners and the client ends to itself (from any thread).
    void locked(const std::function<void()> &f);
    /// Under locked() only.
    const ClientEnds &clientEnds() const { return *ends; }

    /// Silence both ways for seconds.
    void unplug(double seconds);
    /// Nothing reaches the client for seconds, then everything held at once.
    void stall(double seconds);
    /// The client's device goes away and comes back under its name after seconds.
    void hangUp(double seconds);
    /// count random bytes to the client now.
    void garbage(int count);

signals:
    /// Bytes as they reached the clients, and commands as they reached the simulator, in order,
    /// with the time (nowUs()) they did: for recording. Emitted on the relay's thread.
    void deliveredToClient(qint64 us, const QByteArray &bytes);
    void deliveredToDevice(qint64 us, const QByteArray &bytes);
    /// The client's end could not be made again after a hangup.
    void failed(const QString &reason);
    /// A line for the host's log (clients that came and went, ...).
    void notice(const QString &text);
    /// The replay played its file to the end and everything reached the client ends.
    void replayEnded();

private:
    void begin();
    void checkPresence();
    void checkSimulatorPresence();
    void setSimulatorPresent(bool present);
    void readSource();
    void pump();
    void sendToDevice(const QByteArray &bytes);
    void flushDevice();
    void schedule();
    void later(const std::function<void()> &f);
    /// Logs the end of an unplug or a stall once its time has come (a later one may extend it).
    void reportEnd(qint64 *untilUs, const QString &text);

    PtyPair *pair;
    LineReplay *replay;
    LineConditioner *toClient;
    LineConditioner *toDevice;
    ClientEnds *ends;
    QMutex lock;
    QElapsedTimer clock;
    QThread thread;
    QTimer *tick = nullptr;
    QTimer *presence = nullptr;

    // The simulator's end.
    int deviceFd = -1;
    bool devicePresent = false;
    QSocketNotifier *deviceReader = nullptr;
    QSocketNotifier *deviceWriter = nullptr;
    QByteArray deviceUnwritten;

    bool commandsNoticed = false;
    qint64 unplugUntilUs = -1; ///< the end of the unplug under way, or -1
    qint64 stallUntilUs = -1;
    std::deque<qint64> replayCrossed; ///< when each piece the replay put on the line has crossed
    qint64 drainDeadlineUs = -1;
    bool ended = false;
};

#endif // KELVANE_LINERELAY_H
