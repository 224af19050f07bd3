#include "linerecorder.h"

#include <QIODevice>
#include <QTimer>

#include <cerrno>
#include <cstring>

LineRecorder::LineRecorder(QIODevice *out, const QString &comment, QObject *parent)
    : QObject(parent), out(out), timer(new QTimer(this)), takeTimer(new QTimer(this))
{
    timer->setSingleShot(true);
    timer->setInterval(FlushMs);
    connect(timer, &QTimer::timeout, this, [this] { flush(); });
    takeTimer->setSingleShot(true);
    takeTimer->setInterval(TakeMs);
    connect(takeTimer, &QTimer::timeout, this, &LineRecorder::takePosted);
    text = LineRecord::header() + "# " + comment.toUtf8() + '\n';
    // Reserved, so that emptying them keeps their memory.
    text.reserve(BufferBytes + 64 * 1024);
    entry.reserve(64 * 1024);
    postedBytes.reserve(BufferBytes + 64 * 1024);
    takenBytes.reserve(BufferBytes + 64 * 1024);
    write();
}

void LineRecorder::add(qint64 us, LineRecord::Source from, const QByteArray &bytes)
{
    add(us, from, bytes.constData(), bytes.size());
}

void LineRecorder::add(qint64 us, LineRecord::Source from, const char *bytes, int size)
{
    if (size <= 0)
        return;
    // A delivery soon after the entry's first says nothing new by its time: the entry's is as
    // true of it to the window. One after a longer while, or of the other source, does.
    if (!entry.isEmpty() && (from != source || us - firstUs > WindowUs))
        endEntry();
    if (entry.isEmpty()) {
        source = from;
        firstUs = us;
    }
    lastUs = us;
    entry.append(bytes, size);
    if (text.size() + entry.size() >= BufferBytes) {
        endEntry();
        write();
    } else if (!timer->isActive()) {
        timer->start();
    }
}

void LineRecorder::post(qint64 us, LineRecord::Source from, const QByteArray &bytes)
{
    // At --baud 0 the relay delivers thousands of times a second. Handed over as an event of
    // its own, each delivery woke this thread; now a batch costs one event, or two when it is
    // large. The bytes are copied into the batch, so that the relay's own buffers are freed on
    // its thread at once rather than on this one later.
    QMutexLocker lock(&postedLock);
    posted.push_back({us, from, bytes.size()});
    postedBytes.append(bytes);
    if (!takeAsked) {
        takeAsked = true;
        QMetaObject::invokeMethod(
            this, [this] { takeTimer->start(); }, Qt::QueuedConnection);
    }
    if (postedBytes.size() >= BufferBytes && !takeNowAsked) {
        takeNowAsked = true;
        QMetaObject::invokeMethod(this, &LineRecorder::takePosted, Qt::QueuedConnection);
    }
}

void LineRecorder::takePosted()
{
    {
        QMutexLocker lock(&postedLock);
        taken.swap(posted);
        takenBytes.swap(postedBytes);
        takeAsked = takeNowAsked = false;
    }
    // A take asked for before this one may still come: it finds little or nothing.
    takeTimer->stop();
    const char *bytes = takenBytes.constData();
    for (const Delivery &delivery : taken) {
        add(delivery.us, delivery.source, bytes, delivery.size);
        bytes += delivery.size;
    }
    // Emptied for the next swap; the room stays.
    taken.clear();
    takenBytes.resize(0);
}

bool LineRecorder::flush()
{
    takePosted();
    timer->stop();
    endEntry();
    write();
    return failure.isEmpty();
}

void LineRecorder::endEntry()
{
    // Stamped when its last bytes had crossed: by then every byte of it had.
    LineRecord::append(&text, lastUs, source, entry.constData(), entry.size());
    entry.resize(0);
}

void LineRecorder::write()
{
    if (text.isEmpty())
        return;
    errno = 0;
    if (out->write(text) != text.size() && failure.isEmpty()) {
        // The system's reason: a device opened on a descriptor says "Unknown error".
        const int number = errno;
        failure = number != 0 ? QString::fromLocal8Bit(std::strerror(number)) : out->errorString();
        emit failed(failure);
    }
    text.resize(0);
}
