#ifndef KELVANE_PTYCLIENTEND_H
#define KELVANE_PTYCLIENTEND_H

#include "clientend.h"

class PtyPair;
class QSocketNotifier;

/// The pty pair's client end, DIR/client: somebody is on it while a process has it open (looked
/// at by polling, since a pty master cannot tell when its slave is opened). Alone, it holds the
/// line while its reader does not read, as a serial port does, and nothing is lost. Beside other
/// ends (TCP clients, UDP destinations) it never holds the others up: once its reader leaves
/// more than MaxQueuedBytes unread, those bytes are dropped (counted unheard, said once in the
/// log) and it gets the line again from its next whole line. Of its client's commands it reads
/// no more while MaxCommandBytes of them wait for the line; the writer waits, as on a port. A
/// client that sets it to a speed other than the line's is warned about, once per change; the next
/// client finds the line's speed again. A hangup closes the master and makes a new pty under the
/// same name.
class PtyClientEnd : public ClientEnd
{
public:
    /// baud: the line's speed, which the end should be set to (0: any).
    PtyClientEnd(PtyPair *pair, int baud);

    void begin(QObject *context) override;
    void end() override;
    bool isHolding() const override { return !isShared() && !unwritten.isEmpty(); }
    bool hasUnwritten() const override { return !unwritten.isEmpty(); }
    void checkPresence() override;
    bool needsPolling() const override { return fd >= 0 && !isPresent(); }
    void unplugged() override { unwritten.clear(); }
    bool hangUp() override;
    bool restore(QString *back, QString *error) override;
    /// "Client end DIR/client: open, N bytes[, U unread bytes dropped][, set to B baud (the
    /// line: L)]"
    void status(QStringList *lines) const override;
    /// "pty": {"end", "open", "bytes", "unheardBytes", "baud", "wrongBaud"}
    void describe(QJsonObject *json) const override;
    /// {"event": "clientEndOpened" or "clientEndClosed", "path": DIR/client}
    QJsonObject presenceEvent() const override;

protected:
    void send(qint64 nowUs, const QByteArray &bytes) override;
    void commandsTaken() override;

private:
    void watch();
    void unwatch();
    void read();
    void changePresence(bool on);
    bool writeUnwritten();
    /// Looks at the speed the client has set the end to, and warns when it changed to one that
    /// is not the line's.
    void checkSpeed();

    PtyPair *pair;
    int lineBaud;
    int fd;
    QObject *context = nullptr;
    QSocketNotifier *reader = nullptr;
    QSocketNotifier *writer = nullptr;
    QByteArray unwritten;
    qint64 bytes = 0; ///< taken by the system for this end
    qint64 unheard = 0; ///< dropped unread while other ends were served
    bool dropping = false; ///< said in the log; again once its reader took all it had
    int speed; ///< the speed the end was last seen at, in baud
    qint64 wrongSpeeds = 0; ///< changes to a speed that is not the line's
};

#endif // KELVANE_PTYCLIENTEND_H
