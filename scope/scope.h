#ifndef KELVANE_SCOPE_H
#define KELVANE_SCOPE_H

#include "echogram.h"
#include "streamdecoder.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QSaveFile>
#include <QTextStream>

class QSerialPort;

/// The kelvane-scope run: reads the instrument's stream from a serial device or a file, prints
/// one line per ping and per reply on standard output and every anomaly on standard error,
/// writes the CSV rows as the pings come and the echogram at the end.
class Scope : public QObject
{
    Q_OBJECT

public:
    /// Exit statuses of the program.
    enum Status { Clean = 0, AnomaliesSeen = 1, UsageError = 2, IoError = 3 };

    struct Options
    {
        QString device; ///< serial device path; empty with fromFile
        QString fromFile; ///< captured stream to decode instead of a device ("-": stdin)
        qint32 baud = 115200;
        QByteArray send; ///< command text written once the device is open, as given
        QString pngFile;
        QString csvFile;
        int pings = 0; ///< stop after this many pings; 0: run until the end
        int sampleFrequency = 100000; ///< for pings whose header states none
    };

    explicit Scope(const Options &options, QObject *parent = nullptr);
    ~Scope() override;

    /// Opens the outputs, then the input; false, with the reason on standard error, when one of
    /// them cannot be opened, and then no output file is left behind.
    bool open();
    /// Decodes the whole file given with fromFile; returns the exit status.
    int runFile();
    /// Ends a device run (signal, device gone or ping count reached): writes the echogram and
    /// returns the exit status. Safe to call more than once; later calls return the same.
    int finish(bool streamCut);

signals:
    /// The device run is over (ping count reached or device gone).
    void done();

private:
    void onPing(const Ping &ping);
    void onAnomaly(const Anomaly &anomaly);
    void onReply(const Reply &reply);
    bool openOutputs();
    bool openDevice();
    bool openFile();
    void discardOutputs();
    void readDevice();
    bool enoughPings() const;

    Options options;
    StreamDecoder decoder;
    Echogram echogram;
    QSerialPort *port = nullptr;
    QFile input; ///< the capture of fromFile
    QElapsedTimer clock;
    QFile csv;
    bool csvExisted = false; ///< kept when the run fails before it starts
    QSaveFile png; ///< the echogram appears under its name only once written whole
    QTextStream out;
    QTextStream err;
    QTextStream csvOut;
    bool awaitingReply = false; ///< a command was sent and its reply has not come yet
    int pingsShown = 0;
    int anomaliesShown = 0;
    bool finished = false;
    bool finishing = false; ///< the decoder reports what the end of the stream left open
    int status = Clean;
};

#endif // KELVANE_SCOPE_H
