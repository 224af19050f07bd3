#ifndef KELVANE_LINERECORDER_H
#define KELVANE_LINERECORDER_H

#include "linerecord.h"

#include <QMutex>
#include <QObject>
#include <QString>

#include <vector>

class QIODevice;
class QTimer;

/// Writes what crossed the line as a line record (LineRecord's format) into a device, through
/// a buffer. Deliveries of one source that crossed within WindowUs of the first of them make one
/// entry, stamped with the time the last of them crossed: at --baud 0 a stream that comes in many
/// small reads costs a time stamp a millisecond, not one a read, while a paced line (delivered
/// every few milliseconds), a stall's burst and anything after a silence keep their own times.
///
/// Plain code apart from its timers: the text is written once BufferBytes of it are waiting, or
/// FlushMs after the first of it, and by flush(). Used from one thread (kelvane-host gives it one
/// of its own, so that the disk never holds up the relay or the simulator), apart from post().
class LineRecorder : public QObject
{
    Q_OBJECT

public:
    static const qint64 WindowUs = 1000;
    static const int BufferBytes = 256 * 1024;
    static const int FlushMs = 200;
    /// How long posted deliveries may wait before the recorder's thread takes them, unless
    /// BufferBytes of them wait.
    static const int TakeMs = 20;

    /// Writes the header and comment (one line of text, without "# ") to out, which must be open
    /// and outlive the recorder; the rest goes there as it comes.
    LineRecorder(QIODevice *out, const QString &comment, QObject *parent = nullptr);

    /// Bytes from source that had crossed the line at us (on the relay's clock, never earlier
    /// than the last).
    void add(qint64 us, LineRecord::Source source, const QByteArray &bytes);
    /// As add(), from any thread: the delivery waits, with those posted after it, until the
    /// recorder's thread takes them all at once (TakeMs after the first, or when BufferBytes
    /// wait, or at flush()). The caller's thread asks the recorder's at most once a batch.
    void post(qint64 us, LineRecord::Source source, const QByteArray &bytes);
    /// Adds what was posted, ends the entry under way and writes everything; false when the device
    /// refused some of it (then error() says why, once).
    bool flush();
    /// Why the device refused the record, or empty.
    QString error() const { return failure; }

signals:
    /// The device refused the record: emitted once, with error().
    void failed(const QString &reason);

private:
    /// A posted delivery; its bytes follow those of the one before in the batch's bytes.
    struct Delivery
    {
        qint64 us;
        LineRecord::Source source;
        int size;
    };

    void add(qint64 us, LineRecord::Source source, const char *bytes, int size);
    void takePosted();
    void endEntry();
    void write();

    QIODevice *out;
    QTimer *timer;
    QTimer *takeTimer;
    /// What post() gathered for the recorder's thread, and whether it has been asked to take
    /// it (in TakeMs, or at once).
    QMutex postedLock;
    std::vector<Delivery> posted;
    std::vector<Delivery> taken;
    QByteArray postedBytes;
    QByteArray takenBytes;
    bool takeAsked = false;
    bool takeNowAsked = false;
    QByteArray text; ///< written when it passes BufferBytes, or by the timer
    QByteArray entry; ///< the bytes of the entry under way
    LineRecord::Source source = LineRecord::Device;
    qint64 firstUs = 0;
    qint64 lastUs = 0;
    QString failure;
};

#endif // KELVANE_LINERECORDER_H
