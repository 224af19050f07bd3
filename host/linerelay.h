#ifndef KELVANE_LINERELAY_H
#define KELVANE_LINERELAY_H

#include "lineconditioner.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class PtyPair;
class QSocketNotifier;

/// Drives the line between the pair's two ends on the event loop: reads the simulator's end
/// only as fast as the toClient conditioner lets the line carry it, writes what crosses to the
/// client's end, and the client's commands through toDevice to the simulator's end. An end that
/// no process has open is noticed (the conditioner then drops what nobody hears); nothing is
/// buffered beyond the conditioners' bounds: a client that does not read holds the simulator up.
class LineRelay : public QObject
{
    Q_OBJECT

public:
    LineRelay(PtyPair *pair, LineConditioner *toClient, LineConditioner *toDevice,
              QObject *parent = nullptr);
    ~LineRelay() override;

    /// Microseconds on the relay's monotonic clock, from its construction.
    qint64 nowUs() const { return clock.nsecsElapsed() / 1000; }
    bool isClientOpen() const { return client.present; }
    bool isSimulatorOpen() const { return device.present; }

    /// Silence both ways for seconds.
    void unplug(double seconds);
    /// Nothing reaches the client for seconds, then everything held at once.
    void stall(double seconds);
    /// The client's device goes away and comes back under its name after seconds.
    void hangUp(double seconds);
    /// count random bytes to the client now.
    void garbage(int count);

signals:
    /// Bytes as they reached the client, and commands as they reached the simulator, in order:
    /// for recording and for further outputs of the same line.
    void deliveredToClient(const QByteArray &bytes);
    void deliveredToDevice(const QByteArray &bytes);
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

    PtyPair *pair;
    LineConditioner *toClient;
    LineConditioner *toDevice;
    QElapsedTimer clock;
    QTimer tick;
    QTimer presence;
    End device;
    End client;
};

#endif // KELVANE_LINERELAY_H
