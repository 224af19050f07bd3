#ifndef KELVANE_LINESESSION_H
#define KELVANE_LINESESSION_H

#include "lineconditioner.h"
#include "linerecord.h"
#include "linerelay.h"
#include "linereplay.h"
#include "netaddress.h"

#include <QFile>
#include <QObject>
#include <QStringList>

#include <memory>

class QCommandLineParser;
class PtyPair;

/// The line options of kelvane-host: --baud, --seed, --faults, --command-faults, --talker,
/// --record, --stats, and the ends and sources besides the pair: --tcp, --tcp-max-clients,
/// --udp, --no-pty, --replay, --loop.
struct LineOptions
{
    int baud = 115200;
    quint64 seed = 0;
    bool seedGiven = false;
    LineFaultRates faults;
    LineFaultRates commandFaults;
    QByteArray talker;
    QString recordPath;
    QString statsPath;
    bool tcp = false;
    NetAddress tcpAddress;
    int tcpMaxClients = 16;
    QVector<NetAddress> udp;
    bool pty = true;
    QString replayPath;
    bool loop = false;

    static void addTo(QCommandLineParser &parser);
    /// Reads the options added by addTo(); false with *error for a bad value. Without --seed
    /// the seed is drawn at random.
    bool read(const QCommandLineParser &parser, QString *error);
    /// The names of the options added by addTo().
    static QStringList names();
    /// Those of them given (they need the pty pair).
    static QStringList given(const QCommandLineParser &parser);

private:
    bool readEnds(const QCommandLineParser &parser, QString *error);
};

/// One console "fault" command, parsed.
struct FaultCommand
{
    enum Kind { Unplug, Stall, Hangup, Garbage, Rates };
    Kind kind = Rates;
    double seconds = 0.0;
    int count = 0;
    LineFaultRates rates; ///< for Rates: the new rates of the client direction

    /// "unplug SECONDS", "stall SECONDS", "hangup SECONDS", "garbage N" or
    /// "KIND=RATE[,KIND=RATE...]" (applied to current); false with *error.
    static bool parse(const QString &text, const LineFaultRates &current, FaultCommand *command,
                      QString *error);
};

/// The conditioned line: both conditioners, the relay between the source (the pair's simulator
/// end or a replay) and the client ends, the recording, the events and the statistics.
class LineSession : public QObject
{
    Q_OBJECT

public:
    LineSession(const LineOptions &options, PtyPair *pair, QObject *parent = nullptr);
    ~LineSession() override;

    /// Opens the replay, the network ends, the record file and checks the stats file, then
    /// starts relaying; false with *error and the exit status the host should give.
    bool open(QString *error, int *status);
    /// "Replay: FILE (...)", "TCP: ...", "UDP: ..." for the banner.
    QStringList endLines() const;
    /// "Line: 115200 baud, seed 7, faults none, command faults none"
    QString description() const;
    /// Runs a fault command: true with what it did in *done, false with *error.
    bool fault(const QString &text, QString *error, QString *done);
    /// A warning when the TCP port is open beyond this machine (any address but loopback).
    QString exposure() const;
    /// The status lines: rates, counts each way, events.
    QStringList status() const;
    /// Ends the relaying, so that the statistics and the record hold the same bytes.
    void stop();
    /// Writes the statistics to --stats, when given; false with *error when it cannot.
    bool writeStats(QString *error) const;

signals:
    void failed(const QString &reason);
    void notice(const QString &text);
    /// A replay without --loop has played its file to the end.
    void replayEnded();

private:
    struct Snapshot
    {
        LineCounts counts[2];
        int round = 0;
        QStringList ends;
        QJsonObject endsJson;
    };

    void record(qint64 us, LineRecord::Source source, const QByteArray &bytes);
    void snapshot(Snapshot *out) const;

    LineOptions options;
    PtyPair *pair;
    LineReplay replay;
    LineConditioner toClient;
    LineConditioner toDevice;
    std::unique_ptr<LineRelay> lineRelay;
    QFile recordFile;
    NetAddress tcpBound;
    QStringList lastEnds;
    QJsonObject lastEndsJson;
    int events[4] = {};
};

#endif // KELVANE_LINESESSION_H
