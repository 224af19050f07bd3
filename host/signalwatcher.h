#ifndef KELVANE_SIGNALWATCHER_H
#define KELVANE_SIGNALWATCHER_H

#include <QList>
#include <QObject>

class QSocketNotifier;

/// Turns Unix signals into a Qt signal on the event loop: the handler only writes the signal's
/// number into a socket pair, and a notifier on the other end emits caught() from the loop.
/// One watcher per process. A watched signal also arms a grace of two seconds (SIGALRM): a
/// process whose loop is blocked and cannot reach the signal's byte in that time ends at once,
/// with status 1, so that a signal always ends it.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    /// Installs the handler for each of signalNumbers; isValid() tells whether that worked.
    explicit SignalWatcher(const QList<int> &signalNumbers, QObject *parent = nullptr);
    /// Restores the default action of the watched signals and closes the socket pair.
    ~SignalWatcher() override;

    bool isValid() const { return notifier != nullptr; }
    /// "SIGINT", "SIGTERM", ... for the watched signals; the number otherwise.
    static QString signalName(int signalNumber);

signals:
    /// A watched signal arrived; emitted on the loop, once per delivery.
    void caught(int signalNumber);

private:
    void readSignals();
    static void handle(int signalNumber);

    QList<int> watched;
    int fds[2] = {-1, -1};
    QSocketNotifier *notifier = nullptr;
};

#endif // KELVANE_SIGNALWATCHER_H
