#ifndef KELVANE_LINESESSION_H
#define KELVANE_LINESESSION_H

#include "command.h"
#include "linerecorder.h"
#include "linerelay.h"
#include "options.h"

#include <QFile>
#include <QObject>
#include <QStringList>
#include <QThread>

#include <memory>

class OutputFile;
class PtyPair;

/// The conditioned line of kelvane-host: the relay between the source (the pair's simulator end
/// or a replay) and the client ends, made from the line options, with the recording, the fault
/// events and the statistics. Lives on the main thread; the relay's state is reached only
/// through LineRelay's snapshot and its queued commands.
class LineSession : public QObject
{
    Q_OBJECT

public:
    /// pair: the simulator's end and the pty client end, when it has them (null: none).
    LineSession(const LineOptions &options, PtyPair *pair, QObject *parent = nullptr);
    ~LineSession() override;

    /// Opens the replay, the network ends, the record file and checks the stats file, then
    /// starts relaying; false with *error and the exit status the host should give.
    bool open(QString *error, int *status);
    /// "Replay: FILE (...)", "TCP: ...", "UDP: ..." for the banner.
    QStringList endLines() const { return banner; }
    /// "Line: 115200 baud, seed 7, faults none, command faults none"
    QString description() const;
    /// Runs a fault command: true with what it did in *done, false with *error.
    bool fault(const FaultCommand &command, QString *error, QString *done);
    /// A warning when the TCP port is open beyond this machine (any address but loopback).
    QString exposure() const;
    /// The status lines: rates, counts each way, events.
    QStringList status() const;
    /// Ends the relaying, so that the statistics and the record hold the same bytes.
    void stop();
    /// The statistics as they are now: what --stats writes.
    QJsonObject stats() const;
    /// Writes the statistics to --stats, when given (a device, a FIFO or /dev/stdout only once
    /// stopped, once); false with *error when it cannot.
    bool writeStats(QString *error);
    /// Whether a write of the record failed (the failure was reported by writeFailed()).
    bool recordIncomplete() const { return recordFailed; }

signals:
    void failed(const QString &reason);
    void notice(const QString &text);
    /// Something happened on the line (LineRelay::event), in the order it happened.
    void event(const QJsonObject &event);
    /// A replay without --loop has played its file to the end.
    void replayEnded();
    /// The record could not be written from here on: reported once, the line goes on.
    void writeFailed(const QString &reason);

private:
    /// The record could not be written: said once, and the exit status tells.
    void recordWriteFailed(const QString &reason);
    LineOptions options;
    PtyPair *pair;
    /// The fault rates of each direction as last asked for (the relay applies them).
    LineFaultRates clientRates;
    LineFaultRates commandRates;
    std::unique_ptr<LineRelay> lineRelay;
    /// The record's file, opened safely (OutputFile); recordFile writes on its descriptor.
    std::unique_ptr<OutputFile> recordOut;
    QFile recordFile;
    /// The recorder lives on a thread of its own: the disk never holds up the line.
    QThread recordThread;
    LineRecorder *recorder = nullptr;
    /// --stats on a device, a FIFO or this process's output: opened once, written once at the
    /// end (a regular file is replaced whole each time instead).
    std::unique_ptr<OutputFile> statsInPlace;
    bool statsLooked = false;
    bool stopped = false;
    bool recordFailed = false;
    NetAddress tcpBound;
    QStringList banner;
    int events[4] = {};
};

#endif // KELVANE_LINESESSION_H
