#include "linerecorder.h"

#include <QIODevice>
#include <QTimer>

#include <cerrno>
#include <cstring>

LineRecorder::LineRecorder(QIODevice *out, const QString &comment, QObject *parent)
    : QObject(parent), out(out), timer(new QTimer(this))
{
    timer->setSingleShot(true);
    timer->setInterval(FlushMs);
    connect(timer, &QTimer::timeout, this, [this] { flush(); });
    text = LineRecord::header() + "# " + comment.toUtf8() + '\n';
    // Reserved, so that emptying them keeps their memory.
    text.reserve(BufferBytes + 64 * 1024);
    entry.reserve(64 * 1024);
    write();
}

void LineRecorder::add(qint64 us, LineRecord::Source from, const QByteArray &bytes)
{
    if (bytes.isEmpty())
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
    entry.append(bytes);
    if (text.size() + entry.size() >= BufferBytes) {
        endEntry();
        write();
    } else if (!timer->isActive()) {
        timer->start();
    }
}

bool LineRecorder::flush()
{
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
