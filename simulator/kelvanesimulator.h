#ifndef KELVANE_KELVANESIMULATOR_H
#define KELVANE_KELVANESIMULATOR_H

#include "ipayloadplugin.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QVector>

#include <vector>

class QSerialPort;
class QTimerEvent;

/// The echo sounder at the far end of a serial line: answers the instrument's text commands and,
/// on every tick of its data timer, writes NMEA 0183 sentences or the instrument's ASCII frames.
///
/// Settings, each followed live: KELVANE_SIMULATOR/SERIAL_DEVICE ("/dev/pts/1", used at the next
/// start()), CONST_MODE (false), SIN_MODE (false), DELTA_M (0.1), FREQUENCY_MODE ("SINGLE" or
/// "DUAL", any case); ECHOSOUNDER/MIN_DEPTH_M and MAX_DEPTH_M (no default, read as 0.0).
///
/// The depth sweep, the sine phase, the header counters, the dual-channel alternation, the
/// one-time emulator delay and the first-reply flag are kept per process: they are shared by all
/// instances and survive stop(), start() and new instances. rand() is never seeded, so a fresh
/// process always draws the same temperatures and angles.
///
/// The library's plug-in metadata and entry points are in pluginmetadata.cpp, not made by moc
/// from Q_PLUGIN_METADATA, so that Qt 5.7 loads it.
class KelvaneSimulator : public IPayloadPlugin
{
    Q_OBJECT
    Q_INTERFACES(IPayloadPlugin)

public:
    /// Reads and follows the settings; opens nothing. The start delay is 0 seconds.
    KelvaneSimulator();
    /// Calls stop().
    ~KelvaneSimulator() override;

    /// Stops the data timer and closes and deletes the port; does nothing when already stopped.
    void stop() override;
    ConnectionType connectionType() const override { return ConnectionType(0); }
    PayloadId payloadId() const override { return PayloadId(0); }
    QString name() const override;
    QString version() const override;
    /// Closes what a previous start() opened, then opens SERIAL_DEVICE at 115200 baud and starts
    /// pinging; logs a critical line and leaves everything closed when the device is missing or
    /// cannot be opened. A later start() tries again.
    void start() override;
    QString id() const override;

    /// Starts the data timer with the current interval unless one runs; true when one runs.
    bool startDataTimer();
    /// Kills the data timer if one runs.
    void stopDataTimer();
    /// Writes data and CR LF to the port in one write, behind the lines written before; true
    /// when the port took any byte. The only way to the serial line. Within a ping the lines are
    /// gathered and handed to the port together when the ping ends (at interval 0, with those
    /// of the run of pings: PacedBacklog), true then meaning gathered, in a buffer that keeps
    /// its room: a line costs a copy of its bytes.
    bool serialWrite(const QByteArray &data);

    /// Upper bound of the samples in one data block. Ranges and sampling frequencies whose
    /// product asks for more (or for more than an int holds) are cut to this many samples.
    static constexpr int MaxSampleCount = 1 << 20;
    /// Bound of the bytes waiting in the port to go out, looked at when a ping starts. A client
    /// that does not keep up loses whole pings rather than making the simulator queue without
    /// end: a ping that finds more than this waiting (once skipping, more than half of it)
    /// writes nothing. A ping that starts is written whole, and replies are never held back.
    /// Small, because what waits here is late: behind a line paced at 115200 baud, 64 KiB are
    /// about 6 s of it.
    static constexpr qint64 MaxSerialBacklog = 1 << 16;
    /// At "interval 0", where a ping is due on every pass of the event loop, pings are made in
    /// runs until this many bytes wait in the port, and the data timer then waits until the
    /// port has written them all: the pings come as fast as the line takes them, none made
    /// only to be skipped.
    static constexpr qint64 PacedBacklog = 1 << 14;

protected:
    /// One ping on every expiry of the data timer, at "interval 0" a run of them (see
    /// PacedBacklog); other timers are ignored.
    void timerEvent(QTimerEvent *event) override;

private slots:
    /// Reads everything buffered and hands it, white space collapsed, to parse().
    void readData();
    /// Handles one command text: stops pinging, replies, applies the settings it carries and
    /// starts pinging again when it holds "go".
    void parse(const QByteArray &data);

private:
    bool gather(const QByteArray &data);
    bool writeUnsent();
    void portWrote();
    void pingOnce();
    void pingAhead();
    bool openPort();
    void closePort();
    void checkPortError();
    QString lineLoss() const;
    bool isErrorBurst();
    void endSkipping();
    void ping();
    bool isFrequencyMode(const char *mode) const;
    int sampleCount(float channelRange);

    float calcDepth();
    /// The echo trace of a ping, made in a vector kept between pings: release the result before
    /// the next call, or that call copies it.
    QVector<int> generateData(int sampleCount, float range, float depth);

    void sendEchosounderHeader(float depth, float temperature, float pitch, float roll,
                               int samples);
    void sendDualEchosounderHeader(int frequency, float depth, float temperature, float pitch,
                                   float roll, int samples);
    void sendEchosounderDebugHeader(int samples);
    void sendData(const QVector<int> &data);
    void sendFrequency(float frequency);

    QString serialDevice;
    QString frequencyMode;
    QSerialPort *port = nullptr;
    bool constMode = false;
    bool sinMode = false;
    float interval = 1.0f;
    int outputMode = 3;
    float range = 0.0f;
    float rangeHigh = 0.0f;
    float rangeLow = 0.0f;
    int sampleFrequency = 100000;
    int dataTimerId = -1;
    float minDepth = 0.0f;
    float maxDepth = 0.0f;
    float depthDelta = 0.1f;

    // The state of the line rather than of the device: pings skipped since the backlog filled
    // (until it is empty again), whether pings are being skipped now (until one is written),
    // whether the running ping's lines are held back and whether any was, and the latest burst
    // of port errors.
    qint64 skippedPings = 0;
    bool skipping = false;
    bool holdingBack = false;
    bool heldBack = false;
    QElapsedTimer errorBurst;
    int errorBurstCount = 0;
    // Whether the data timer runs with a period of 0, and whether it is stopped until the port
    // has written its backlog down (a data timer that runs all the same to its users).
    bool pacedByPort = false;
    bool waitingForPort = false;
    // Whether the cut of a data block to MaxSampleCount has been logged since the ranges or the
    // sampling frequency last changed.
    bool cutReported = false;

    // What a ping is made in, kept from one ping to the next so that a ping allocates nothing
    // once they have grown: the frame or sentence being made, the echo trace, and the lines
    // serialWrite() has not yet handed to the port (the first unsentSize bytes of unsent) while
    // a ping is being made (pinging).
    QByteArray frame;
    QVector<int> trace;
    std::vector<char> unsent;
    size_t unsentSize = 0;
    bool pinging = false;
    // Whether a line of the running ping may take serialWrite()'s short path: it is gathered,
    // neither held back nor without a port.
    bool gatheringLines = false;
};

#endif // KELVANE_KELVANESIMULATOR_H
