#ifndef KELVANE_LINERECORDER_H
#define KELVANE_LINERECORDER_H

#include "linerecord.h"

#include <QObject>
#include <QString>

class QIODevice;
class QTimer;

/// Writes what crossed the line as a line record (LineRecord's format) into a device, through
/// a buffer. Deliveries of one source that crossed within WindowUs of the first of them make one
/// entry, stamped with the time the last of them crossed: at --baud 0 a stream that comes in many
/// small reads costs a time stamp a millisecond, not one a read, while a paced line (delivered
/// every few milliseconds), a stall's burst and anything after a silence keep their own times.
///
/// Plain code apart from one timer: the text is written once BufferBytes of it are waiting, or
/// FlushMs after the first of it, and by flush(). Used from one thread (kelvane-host gives it one
/// of its own, so that the disk never holds up the relay or the simulator).
class LineRecorder : public QObject
{
    Q_OBJECT

public:
    static const qint64 WindowUs = 1000;
    static const int BufferBytes = 256 * 1024;
    static const int FlushMs = 200;

    /// Writes the header and comment (one line of text, without "# ") to out, which must be open
    /// and outlive the recorder; the rest goes there as it comes.
    LineRecorder(QIODevice *out, const QString &comment, QObject *parent = nullptr);

    /// Bytes from source that had crossed the line at us (on the relay's clock, never earlier
    /// than the last).
    void add(qint64 us, LineRecord::Source source, const QByteArray &bytes);
    /// Ends the entry under way and writes everything; false when the device refused some of
    /// it (then error() says why, once).
    bool flush();
    /// Why the device refused the record, or empty.
    QString error() const { return failure; }

signals:
    /// The device refused the record: emitted once, with error().
    void failed(const QString &reason);

private:
    void endEntry();
    void write();

    QIODevice *out;
    QTimer *timer;
    QByteArray text; ///< written when it passes BufferBytes, or by the timer
    QByteArray entry; ///< the bytes of the entry under way
    LineRecord::Source source = LineRecord::Device;
    qint64 firstUs = 0;
    qint64 lastUs = 0;
    QString failure;
};

#endif // KELVANE_LINERECORDER_H
