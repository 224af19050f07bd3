#ifndef KELVANE_STREAMDECODER_H
#define KELVANE_STREAMDECODER_H

#include "pingtiming.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVector>

#include <limits>
#include <string>
#include <string_view>
#include <vector>

/// One ping as decoded from the instrument's output: a single-frequency header, its attitude
/// sentence, debug header and data block; a frequency line, a dual-frequency header and data
/// block; or an optional frequency line and the DBT, MTW and attitude sentences. Values that the
/// ping did not carry (or carried malformed) are NaN, or -1 for the integers.
struct Ping
{
    static constexpr double Unknown = std::numeric_limits<double>::quiet_NaN();

    int line = 0; ///< line number of the ping's first line, from 1
    double time = Unknown; ///< seconds: arrival time when the caller gave one, else #TimeWork
    int frequency = -1; ///< transmit frequency in Hz (frequency line or header)
    double depth = Unknown; ///< metres: #Altitude of the header or the DBT sentence
    double temperature = Unknown; ///< degrees Celsius: header or MTW sentence
    double pitch = Unknown; ///< degrees: header or attitude sentence
    double roll = Unknown; ///< degrees: header or attitude sentence
    int headerSamples = -1; ///< #NSamples of the header
    int samplingFrequency = -1; ///< Hz used for the echo depth
    bool hasData = false; ///< a data block was decoded (possibly empty)
    QVector<int> samples; ///< the data block, amplitudes 0 to 1023
    double echoDepth = Unknown; ///< metres implied by the strongest sample; NaN without an echo

    /// The data block's length, or #NSamples when there was no data block, or -1.
    int sampleCount() const { return hasData ? samples.size() : headerSamples; }
    /// Metres of depth the data block covers (its samples at the sampling frequency); 0 without.
    double dataRange() const;

    /// A channel by its transmit frequency: "450kHz", "12345Hz"; empty when unknown (0 or less).
    static QString channelName(int frequency);
};

/// Something in the stream that is not what the instrument writes.
struct Anomaly
{
    enum Kind {
        BadChecksum, ///< a sentence or frequency line whose checksum does not match
        Malformed, ///< a line of a known kind whose content is wrong
        Truncated, ///< a frame or ping that stopped before its end
        SampleMismatch, ///< #NSamples or #DEBUG_NSamples differs from the data block
        Unexpected, ///< a line that belongs to nothing the instrument writes there
        Repeated, ///< a line the same as the one before it, where the instrument never repeats
        Gap, ///< a ping that came much later than the period seen so far
        Burst ///< pings held back and let go at once, after a gap
    };

    Kind kind = Unexpected;
    int line = 0; ///< line number of the offending line, from 1
    QByteArray text; ///< the offending line without its line ending
    QString message; ///< what is wrong, for people

    /// "bad checksum", "malformed", "truncated", "sample count mismatch", "unexpected line",
    /// "repeated line", "gap" or "burst".
    static QString kindName(Kind kind);
};

/// A command reply: the echoed command text (empty when the device echoes none) and its prompt
/// (">ok.", ">ok", ">" or "Invalid command >").
struct Reply
{
    int line = 0;
    QByteArray echo;
    QByteArray prompt;
};

/// Turns the instrument's byte stream into pings, replies and anomalies. Pure: bytes in, signals
/// out, no device and no clock of its own. Lines end in LF (a CR before it is dropped).
///
/// Each ping, reply and anomaly is handed out once, by reference, on the signals below, to be
/// used or copied there: the decoder reuses its buffers for the next one. Lines are read where
/// they lie in the bytes fed, without a copy; only a line split between two calls of feed(), and
/// the few lines that later anomalies quote, are copied.
class StreamDecoder : public QObject
{
    Q_OBJECT

public:
    explicit StreamDecoder(QObject *parent = nullptr);

    /// Sampling frequency for pings whose header does not state one (the single-frequency
    /// header); 100000 Hz unless set. Values of 0 or less are ignored.
    void setDefaultSampleFrequency(int hz);

    /// The talker every sentence must carry (two characters, e.g. "SD" behind a host that
    /// rewrites it); empty, the default: the instrument's sentences under any talker.
    void setTalker(const QByteArray &talker);

    /// When off, everything up to the first line that starts a ping or is a reply is dropped
    /// silently: for joining a live stream in the middle. On by default.
    void setSynchronised(bool synchronised);

    /// Decodes size bytes; arrivalS (seconds on the caller's clock, negative when unknown) stamps
    /// the pings that start in them, and gaps and bursts in those times are anomalies. The bytes
    /// are not kept: the caller may reuse them once the call returns.
    void feed(const char *bytes, int size, double arrivalS = -1.0);
    void feed(const QByteArray &bytes, double arrivalS = -1.0)
    {
        feed(bytes.constData(), bytes.size(), arrivalS);
    }
    /// Ends the stream: decodes a last line without line ending, closes an open ping. With
    /// reportTruncation the unfinished frame, ping or line is an anomaly and the ping is emitted
    /// with what it has; without it (a stream cut by the reader) they are dropped quietly, so
    /// that only whole pings come out.
    void finish(bool reportTruncation = true);

    int pingCount() const { return pings; }
    int anomalyCount() const { return anomalies; }

signals:
    void pingDecoded(const Ping &ping);
    void anomalyFound(const Anomaly &anomaly);
    void replyReceived(const Reply &reply);

private:
    enum class Frame { None, SingleHeader, DualHeader, DebugHeader, Data };

    using Text = std::string_view;

    /// A line as it lies in the bytes being decoded, without its line ending.
    struct Line
    {
        int number = 0;
        Text text;
    };

    /// A line kept beyond the call that fed it: its own copy, whose memory is reused.
    struct StoredLine
    {
        int number = 0;
        std::string text;

        void store(const Line &line)
        {
            number = line.number;
            text.assign(line.text);
        }
        Line line() const { return {number, text}; }
    };

    const char *continueLine(const char *from, const char *end);
    void beginLine(const char *from, const char *end);
    void completeLine(const char *from, int length);
    const char *sampleRun(const char *from, const char *end);
    void processLine(const Line &line);
    void processIdle(const Line &line);
    void processFrameLine(const Line &line);
    bool startsSomething(Text text) const;
    bool isStrayFrameLine(Text text) const;
    bool isHeaderLine(Text text) const;
    void beginFrame(Frame frame, const Line &line);
    void finishHeader();
    void abandonFrame(const Line &at, bool report);
    void headerLine(const Line &line);
    void dataLine(const Line &line);
    void finishData(const Line &line);
    void keepSamples();
    void sentence(const Line &line);
    void frequencyLine(const Line &line);
    void prompt(const Line &line);
    void flushPending();

    void openPing(const Line &line);
    void closePing();
    bool pingHasContent() const;

    void reportTiming(const QVector<PingTiming::Event> &events);
    /// Emits the anomaly; a damaging one also stands for the parts its ping then misses.
    void report(Anomaly::Kind kind, const Line &line, const QString &message, bool damaging = true);

    QByteArray partial; ///< the start of a line whose end has not been fed yet
    int lineNumber = 0;
    double arrival = -1.0;
    int defaultSampleHz = 100000;
    QByteArray talker; ///< required of every sentence; empty: any
    PingTiming timing;
    std::string previousText; ///< the line before, for repeats
    QByteArray sentenceText; ///< the sentence being read, for the NMEA toolkit (not a copy)
    bool synchronised = true;
    bool skipping = false; ///< dropping stray frame lines after a broken frame start
    bool damaged = false; ///< an anomaly was reported since the last ping closed
    bool overlong = false; ///< the current line exceeded the limit and is being dropped

    StoredLine pending; ///< an unknown line held back: a command echo when a prompt follows
    bool hasPending = false;

    Frame frame = Frame::None;
    int frameIndex = 0; ///< next template line of a header
    std::vector<int> data; ///< the samples of the data block being read
    StoredLine headerSamples; ///< the header's #NSamples line
    int debugSamples = -1;
    StoredLine debugSamplesLine;
    double headerTime = Ping::Unknown;
    std::string headerPitch; ///< the header's pitch and roll as written, for the attitude sentence
    std::string headerRoll;

    bool open = false;
    bool hasHeader = false;
    bool hasSingleHeader = false;
    bool hasDbt = false;
    bool hasMtw = false;
    bool hasXdr = false;
    bool hasDebug = false;
    bool hasFrequencyLine = false;
    Ping ping;
    StoredLine pingStart;
    double pingArrival = -1.0; ///< when the ping's first line came; negative when unknown
    StoredLine lastLine;

    int pings = 0;
    int anomalies = 0;
};

#endif // KELVANE_STREAMDECODER_H
