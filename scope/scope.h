#ifndef KELVANE_SCOPE_H
#define KELVANE_SCOPE_H

#include "echogram.h"
#include "linerecord.h"
#include "streamdecoder.h"
#include "textoutput.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>

#include <limits>
#include <memory>
#include <vector>

class LiveView;
class OutputFile;
class QIODevice;
class QTimer;

/// The kelvane-scope run: reads the instrument's stream from a serial device, a TCP port or a
/// file, prints
/// one line per ping and per reply on standard output and every anomaly on standard error,
/// writes the CSV rows and the echogram at the end. From a device, the lines and rows of each
/// read are written as it is decoded; from a file, in large pieces.
class Scope : public QObject
{
    Q_OBJECT

public:
    /// Exit statuses of the program. When several apply, the run ends with the first of
    /// IoError, NoReply, DeviceLost, NothingDecoded, AnomaliesSeen that does.
    enum Status {
        Clean = 0, ///< every ping decoded, no anomaly
        AnomaliesSeen = 1, ///< anomalies were reported
        UsageError = 2, ///< bad options
        IoError = 3, ///< the device, the capture or an output file cannot be opened or written
        NoReply = 4, ///< the command text of --send got no reply within the reply timeout
        DeviceLost = 5, ///< the device or connection went away before the run's end
        NothingDecoded = 6, ///< the run ended without a ping, nor the reply to send
        MalformedRecord = 7 ///< a line of a --from line record is not a record
    };

    struct Options
    {
        QString device; ///< serial device path; empty with fromFile
        QString fromFile; ///< captured stream to decode instead of a device ("-": stdin)
        QString tcpHost; ///< host of a TCP port to read instead of a device; empty: none
        quint16 tcpPort = 0;
        qint32 baud = 115200;
        QByteArray send; ///< command text written once the device is open, as given
        int replyTimeoutMs = 10000; ///< how long the reply to send may take
        QByteArray talker; ///< required of every sentence; empty: any
        QString pngFile;
        QString csvFile;
        int pings = 0; ///< stop after this many pings; 0: run until the end
        int sampleFrequency = 100000; ///< for pings whose header states none
    };

    explicit Scope(const Options &options, QObject *parent = nullptr);
    ~Scope() override;

    /// Shows every ping counted, every anomaly and the input's state on view too; before open().
    void setLiveView(LiveView *view) { live = view; }

    /// Opens the outputs, then the input; false, with the reason on standard error, when one of
    /// them cannot be opened, and then no output file is left behind.
    bool open();
    /// Decodes the whole file given with fromFile; returns the exit status.
    int runFile();
    /// Ends a device run (signal, device gone, no reply or ping count reached): writes the
    /// echogram and returns the exit status. Safe to call more than once; later calls return
    /// the same.
    int finish(bool streamCut);

signals:
    /// The device or TCP run is over (ping count reached, input gone or no reply in time).
    void done();

private:
    void onPing(const Ping &ping);
    void onAnomaly(const Anomaly &anomaly);
    void onReply(const Reply &reply);
    bool openOutputs();
    bool openDevice();
    bool openTcp();
    void watchInput();
    QString inputName() const;
    bool openFile();
    /// A record being read: its last entry, and the instrument's bytes not decoded yet.
    struct RecordState
    {
        LineRecord::Entry entry;
        QByteArray bytes; ///< of entries of one time
        qint64 us = -1; ///< their time
        bool first = true; ///< no instrument bytes yet
    };
    int runRecord(std::vector<char> &block, qint64 size);
    bool takesPlainLines(const RecordState &record) const;
    /// One line of a record: false (said) when it is not one.
    bool recordLine(int number, const char *line, int length, RecordState &record);
    void writeCsvRows();
    int malformedRecord(int number, const QString &why);
    void feedRecorded(RecordState &record);
    void serveBrowsers();
    void discardOutputs();
    void readDevice();
    void deviceLost(const QString &why);
    void replyTimedOut();
    void showDecoded();
    bool enoughPings() const;
    void explainEmptyEchoes(const Ping &ping);

    Options options;
    StreamDecoder decoder;
    Echogram echogram;
    QIODevice *port = nullptr; ///< the serial device or the TCP connection
    LiveView *live = nullptr;
    QFile input; ///< the capture of fromFile
    bool pipedInput = false; ///< the capture is no file: shown as it is read
    QElapsedTimer clock;
    // Written through OutputFile: a regular file appears under its name only once written
    // whole (one of an earlier run stays as it was if this one fails), never through a link.
    std::unique_ptr<OutputFile> csv;
    std::unique_ptr<OutputFile> png;
    QByteArray csvRows; ///< rows not yet handed to csv
    TextOutput text; ///< standard output and standard error
    QByteArray row; ///< the line or CSV row being put together
    int channelFrequency = std::numeric_limits<int>::min(); ///< of channelText
    QByteArray channelText; ///< the last ping's channel as shown
    bool awaitingReply = false; ///< a command was sent and its reply has not come yet
    QTimer *replyTimer = nullptr;
    int pingsShown = 0;
    bool replied = false; ///< the reply to send came
    int anomaliesShown = 0;
    bool finished = false;
    bool finishing = false; ///< the decoder reports what the end of the stream left open
    int endStatus = Clean; ///< NoReply or DeviceLost when that ended the run
    int status = Clean;
    // Notes on standard error, once a run each: why no echo shows.
    bool sawData = false;
    bool notedNmea = false;
    bool notedRange = false;
};

#endif // KELVANE_SCOPE_H
