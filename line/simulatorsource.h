#ifndef KELVANE_SIMULATORSOURCE_H
#define KELVANE_SIMULATORSOURCE_H

#include "linesource.h"

class PtyPair;
class QSocketNotifier;

/// The simulator's end of the pty pair, DIR/simulator: what the plug-in writes is read only as
/// fast as the line carries it (the rest waits in the pty), and the clients' commands are written
/// to it one at a time, each once the last has left. Commands are heard only while the plug-in
/// has its end open (looked at by polling, and at once when a command comes).
class SimulatorSource : public LineSource
{
public:
    explicit SimulatorSource(PtyPair *pair);

    void begin(QObject *context, const Line &line, qint64 nowUs) override;
    void end() override;
    void passed(bool room) override;
    bool takesCommand() const override { return unwritten.isEmpty(); }
    void command(const QByteArray &chunk) override;
    void checkPresence() override;
    bool needsPolling() const override { return fd >= 0 && !present; }
    qint64 nextUs(qint64 nowUs) const override;
    /// "Simulator end: open" or "closed", looked at now.
    QString status() const override;
    QString commandsTo() const override { return QStringLiteral("To the simulator"); }

private:
    void read();
    void setPresent(bool on);
    void flush();

    int fd;
    Line line;
    bool present = false;
    QSocketNotifier *reader = nullptr;
    QSocketNotifier *writer = nullptr;
    QByteArray unwritten;
};

#endif // KELVANE_SIMULATORSOURCE_H
