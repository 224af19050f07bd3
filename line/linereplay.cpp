#include "linereplay.h"

#include "linerecord.h"

#include <QFileInfo>

namespace {

const qint64 CaptureChunk = 65536;

bool isComment(const QByteArray &line)
{
    return LineRecord::isComment(line.constData(), line.size());
}

} // namespace

bool LineReplay::open(const QString &path, QString *error)
{
    file.setFileName(path);
    if (QFileInfo(path).isDir()) {
        *error = QStringLiteral("cannot replay %1: it is a folder").arg(path);
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    version = LineRecord::version(file.peek(64));
    record = version > 0;
    deviceBytes = 0;
    lastRecordUs = 0;
    if (!record) {
        deviceBytes = file.size();
        if (deviceBytes <= 0) {
            *error = QStringLiteral("cannot replay %1: it is empty").arg(path);
            return false;
        }
        return true;
    }
    // The whole file is checked now, so that a bad line stops the host before it starts rather
    // than in the middle of a replay.
    file.readLine();
    dataStart = file.pos();
    LineRecord::Entry entry;
    entry.version = version;
    for (int number = 2; !file.atEnd(); ++number) {
        const QByteArray line = file.readLine();
        if (isComment(line))
            continue;
        QString why;
        if (!LineRecord::parse(line, &entry))
            why = QStringLiteral("not a record (SECONDS device|client BYTES)");
        else if (entry.us < lastRecordUs)
            why = QStringLiteral("earlier than the record before");
        if (!why.isEmpty()) {
            *error = QStringLiteral("%1:%2: %3: %4")
                         .arg(path)
                         .arg(number)
                         .arg(why, QString::fromLatin1(line.trimmed().left(80)));
            return false;
        }
        if (entry.source == LineRecord::Device) {
            deviceBytes += entry.bytes.size();
            lastRecordUs = entry.us;
        }
    }
    if (deviceBytes == 0) {
        *error =
            QStringLiteral("cannot replay %1: it records no bytes of the instrument").arg(path);
        return false;
    }
    return true;
}

void LineReplay::start(qint64 nowUs)
{
    roundStartUs = nowUs;
    rounds = 1;
    ended = false;
    pending.clear();
    carry.clear();
    reading = LineRecord::Entry();
    reading.version = version;
    file.seek(dataStart);
    fetch();
}

bool LineReplay::fetch()
{
    while (!ended) {
        if (!file.atEnd()) {
            if (!record) {
                pending = file.read(CaptureChunk);
                dueUs = 0;
                return !pending.isEmpty();
            }
            LineRecord::Entry &entry = reading;
            const QByteArray line = file.readLine();
            if (isComment(line) || !LineRecord::parse(line, &entry) ||
                entry.source != LineRecord::Device || entry.bytes.isEmpty())
                continue;
            // The lines of one time go as one: an entry's, and the records of one delivery.
            QByteArray bytes = carry + entry.bytes;
            for (qint64 at = file.pos(); !file.atEnd(); at = file.pos()) {
                LineRecord::Entry next = entry;
                if (!LineRecord::parse(file.readLine(), &next) || next.us != entry.us ||
                    next.source != LineRecord::Device) {
                    file.seek(at);
                    break;
                }
                bytes += next.bytes;
            }
            // Whole lines go, each due when its LF was recorded; the rest of a line waits for
            // the record with its LF, so that the line is not cut by the time between them.
            const int lastLf = bytes.lastIndexOf('\n');
            carry = bytes.mid(lastLf + 1);
            carryUs = entry.us;
            if (lastLf < 0)
                continue;
            pending = bytes.left(lastLf + 1);
            // Recorded is when the bytes had crossed the line: they set out that much earlier.
            dueUs = entry.us - (bitRate > 0 ? pending.size() * 10000000LL / bitRate : 0);
            return true;
        }
        if (!carry.isEmpty()) {
            // The end of the file without an LF.
            pending = carry;
            dueUs = carryUs;
            carry.clear();
            return true;
        }
        if (!loop) {
            ended = true;
            break;
        }
        // The next round's time 0 is when the last record of this one was due.
        roundStartUs += record ? lastRecordUs : 0;
        ++rounds;
        file.seek(dataStart);
    }
    return false;
}

QByteArray LineReplay::take(qint64 nowUs, qint64 maxBytes)
{
    QByteArray out;
    while (out.size() < maxBytes && (!pending.isEmpty() || fetch())) {
        if (record && roundStartUs + dueUs > nowUs)
            break;
        const int n = int(qMin<qint64>(maxBytes - out.size(), pending.size()));
        if (n == pending.size() && out.isEmpty())
            out = pending;
        else
            out.append(pending.constData(), n);
        pending.remove(0, n);
    }
    if (pending.isEmpty())
        fetch();
    return out;
}

qint64 LineReplay::nextUs() const
{
    if (ended && pending.isEmpty())
        return -1;
    // A line that sets out before the replay began (its crossing time is longer than its recorded
    // time) is due at once: a time below 0 would read as "nothing more".
    return record ? qMax<qint64>(0, roundStartUs + dueUs) : 0;
}
