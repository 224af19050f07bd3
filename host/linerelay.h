#ifndef KELVANE_LINERELAY_H
#define KELVANE_LINERELAY_H

#include "lineconditioner.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QThread>

#include <atomic>
#include <functional>

class PtyPair;
class QSocketNotifier;
class QTimer;

/// Drives the line between the pair's two ends on a thread of its own, so that the plug-in's
/// work on the main thread and the line's take turns on no one loop: reads the simulator's end
/// only as fast as the toClient conditioner lets the line carry it, writes what crosses to the
/// client's end, and the client's commands through toDevice to the simulator's end. An end that
/// no process has open is noticed (the conditioner then drops what nobody hears); nothing is
/// buffered beyond the conditioners' bounds: a client that does not read holds the simulator up.
///
/// The conditioners are touched only under the relay's lock: other threads go through locked().
class LineRelay : public QObject
{
    Q_OBJECT

public:
    LineRelay(PtyPair *pair, LineConditioner *toClient, LineConditioner *toDevice);
    /// Stops the thread; the conditioners are the caller's again.
    ~LineRelay() override;

    /// Starts the thread and the relaying.
    void start();
    /// Microseconds on the relay's monotonic clock, from its construction.
    qint64 nowUs() const { return clock.nsecsElapsed() / 1000; }
    bool isClientOpen() const { return clientOpen; }
    bool isSimulatorOpen() const { return simulatorOpen; }
    /// Runs f with the conditioners to itself (from any thread).
    void locked(const std::function<void()> &f);

    /// Silence both ways for seconds.
    void unplug(double seconds);
    /// Nothing reaches the client for seconds, then everything held at once.
    void stall(double seconds);
    /// The client's device goes away and comes back under its name after seconds.
    void hangUp(double seconds);
    /// count random bytes to the client now.
    void garbage(int count);

signals:
    /// Bytes as they reached the client, and commands as they reached the simulator, in order,
    /// with the time (nowUs()) they did: for recording and for further outputs of the same line.
    /// Emitted on the relay's thread.
    void deliveredToClient(qint64 us, const QByteArray &bytes);
    void deliveredToDevice(qint64 us, const QByteArray &bytes);
    /// The client's end could not be made again after a hangup.
    void failed(const QString &reason);

private:
    struct End
    {
        int fd = -1;
        bool present = false;
        QSocketNotifier *reader = nullptr;
        QSocketNotifier *writer = nullptr;
        QByteArray unwritten;
    };

    void begin();
    void attach(End &end, int fd);
    void detach(End &end);
    void checkPresence();
    void setPresent(End &end, bool present);
    void readDevice();
    void readClient();
    void pump();
    void send(End &end, const QByteArray &bytes);
    void flushEnd(End &end);
    void schedule();
    void later(const std::function<void()> &f);

    PtyPair *pair;
    LineConditioner *toClient;
    LineConditioner *toDevice;
    QMutex lock;
    QElapsedTimer clock;
    QThread thread;
    QTimer *tick = nullptr;
    QTimer *presence = nullptr;
    End device;
    End client;
    std::atomic<bool> clientOpen {false};
    std::atomic<bool> simulatorOpen {false};
};

#endif // KELVANE_LINERELAY_H
