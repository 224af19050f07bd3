#ifndef KELVANE_LINECONDITIONER_H
#define KELVANE_LINECONDITIONER_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <array>
#include <deque>

/// The faults a conditioner injects. All but Flip act on a whole unit (a line, up to and
/// including its LF; for chunked traffic, the rest of a chunk without LF counts as one too);
/// Flip acts on single bytes.
enum class LineFault { Checksum, Drop, Truncate, Duplicate, Garbage, Flip };
constexpr int LineFaultCount = 6;

/// The command-line name of a fault: "checksum", "drop", "truncate", "duplicate", "garbage",
/// "flip".
QString lineFaultName(LineFault fault);

/// A probability per fault kind, each in [0, 1]; all 0 by default.
struct LineFaultRates
{
    std::array<double, LineFaultCount> rate = {};

    double operator[](LineFault fault) const { return rate[size_t(fault)]; }
    bool isEmpty() const;
    /// Reads "KIND=RATE[,KIND=RATE...]" into this, changing only the kinds named; false with
    /// *error set (nothing changed) for an unknown kind or a rate that is not a number in [0, 1].
    bool parse(const QString &text, QString *error);
    /// Sets the rate of one kind, given by its name, from the text of a number; false with *error
    /// set (nothing changed) as parse() does.
    bool set(const QString &kind, const QString &rate, QString *error);
    /// "checksum=0.01,drop=0.5" for the kinds above 0, "none" when all are 0.
    QString toString() const;
};

/// What one direction of the line carried and did.
struct LineCounts
{
    qint64 bytesIn = 0; ///< bytes the source wrote (also those nobody heard or an unplug lost)
    qint64 linesIn = 0; ///< LF bytes among them
    qint64 bytesOut = 0; ///< bytes that reached the far end, faults included
    qint64 linesOut = 0; ///< LF bytes among them
    qint64 unheardBytes = 0; ///< dropped because nobody listened at the far end
    qint64 unpluggedBytes = 0; ///< lost to an unplug
    std::array<qint64, LineFaultCount> faults = {}; ///< faults injected, by kind

    /// {"bytesIn":..,"linesIn":..,"bytesOut":..,"linesOut":..,"unheardBytes":..,
    ///  "unpluggedBytes":..,"faults":{"checksum":..,...}}
    QJsonObject toJson() const;
};

/// The pseudo-random numbers of the faults: xoshiro256** seeded through splitmix64, the same
/// sequence for a seed on every platform.
class LineRandom
{
public:
    explicit LineRandom(quint64 seed = 0);
    quint64 next();
    /// Uniform in [0, n) for n > 0.
    quint32 below(quint32 n);
    /// True with probability p (never for p <= 0, always for p >= 1).
    bool chance(double p);

private:
    quint64 state[4];
};

/// One direction of a serial line between a source (the simulator, or a client's commands) and
/// a far end. It takes bytes and a time (microseconds on any monotonic clock) and gives back the
/// bytes that have crossed the line by a later time: a talker rewrite, seeded faults, the pace of
/// the baud rate (8N1: 10 bits a byte), unplug and stall events, and counts of all of it. It
/// knows nothing of ptys, sockets or timers; whoever feeds it calls take() when nextUs() says.
///
/// Lines mode (the instrument's output): units are lines; a partial line is held until its LF,
/// for at most PartialLineUs or MaxLineBytes, then passed on as it is. Chunks mode (commands):
/// every write() ends a unit, and take() hands out whole writes, so that a command written in one
/// piece reaches the instrument in one piece.
class LineConditioner
{
public:
    enum Units { Lines, Chunks };

    static constexpr qint64 PartialLineUs = 100000;
    static constexpr int MaxLineBytes = 4096;
    /// A stall holds at most this much; beyond it room() is 0 and the source backs up.
    static constexpr int MaxHeldBytes = 1 << 20;

    explicit LineConditioner(Units units = Lines, quint64 seed = 0);

    /// 0: unpaced (bytes cross at once). Takes effect for bytes written from now on.
    void setBaud(int baud);
    int baud() const { return bitRate; }
    void setRates(const LineFaultRates &rates) { faultRates = rates; }
    const LineFaultRates &rates() const { return faultRates; }
    /// Two characters: every NMEA sentence ("$" and a two-character talker) gets this talker
    /// and a checksum that is right exactly when it was right before. Empty: unchanged.
    void setTalker(const QByteArray &talker);

    /// While nobody listens at the far end, what the source writes still takes its time on the
    /// line but is dropped (and counted); once someone listens again, delivery starts with the
    /// next line, so that the listener's first byte starts a line.
    void setListening(bool listening);

    /// Bytes from the source at nowUs.
    void write(qint64 nowUs, const QByteArray &bytes);
    /// Lines: every byte that has crossed by nowUs. Chunks: the next whole chunk that has
    /// crossed, or nothing (call until it returns nothing).
    QByteArray take(qint64 nowUs);
    /// How many bytes the source may write at nowUs: the line runs a little ahead of its
    /// receiver, by LookaheadUs of bytes, and no further, so that a faster source backs up.
    qint64 room(qint64 nowUs) const;
    /// When take() will next have something (or a held partial line must go), or -1 when
    /// nothing waits. May be <= nowUs.
    qint64 nextUs() const;
    /// Bytes written and not yet taken (held partial line, on the line, held by a stall).
    qint64 pending() const;
    /// When the last byte written so far has crossed (with nothing more written).
    qint64 crossedUs() const { return finishUs(periodBytes); }

    /// Silence for durationUs from nowUs: what is on the line and what comes meanwhile is lost.
    void unplug(qint64 nowUs, qint64 durationUs);
    /// Nothing crosses for durationUs from nowUs; then everything held arrives at once.
    void stall(qint64 nowUs, qint64 durationUs);
    /// count random bytes (never LF) put on the line now, as noise that precedes the next line;
    /// no more than the line may hold (MaxHeldBytes, with what waits on it already). Returns how
    /// many it put on the line (or lost to an unplug).
    int injectGarbage(qint64 nowUs, int count);

    const LineCounts &counts() const { return totals; }

    static constexpr qint64 LookaheadUs = 20000;

private:
    struct Segment
    {
        qint64 first; ///< index in the busy period of its first byte
        QByteArray bytes;
        bool chunkEnd; ///< Chunks: the last piece of a write
    };

    void passUnit(qint64 nowUs, QByteArray unit, bool chunkEnd);
    QByteArray transform(QByteArray unit);
    void enqueue(qint64 nowUs, const QByteArray &bytes, bool deliver, bool chunkEnd);
    qint64 arrivedBy(qint64 nowUs) const;
    qint64 finishUs(qint64 byteCount) const;
    bool unpluggedAt(qint64 nowUs) const { return nowUs < unpluggedUntil; }
    bool stalledAt(qint64 nowUs) const { return nowUs < stalledUntil; }
    static void count(const QByteArray &bytes, qint64 &byteCount, qint64 &lineCount);

    Units units;
    LineRandom random;
    LineFaultRates faultRates;
    QByteArray newTalker;
    int bitRate = 0;
    bool listening = true;
    bool skipToLine = false; ///< drop up to and including the next LF (a listener joined)
    bool sourceAtLineEnd = true; ///< the source's last byte was LF

    QByteArray partial;
    qint64 partialSinceUs = 0;

    // The busy period of the line: byte k (from 1) of the period has crossed at
    // periodStartUs + ceil(k * 10e6 / baud).
    qint64 periodStartUs = 0;
    qint64 periodBytes = 0;
    std::deque<Segment> queue;
    qint64 queuedBytes = 0;

    qint64 unpluggedUntil = -1;
    qint64 stalledUntil = -1;
    LineCounts totals;
};

#endif // KELVANE_LINECONDITIONER_H
