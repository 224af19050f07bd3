#include "linereplay.h"

#include "linerecord.h"
#include "regularfile.h"

#include <sys/stat.h>

namespace {

const qint64 CaptureChunk = 65536;

} // namespace

LineReplay::Read LineReplay::readLine(int *size)
{
    if (file.atEnd())
        return End;
    // Room for the longest line of text, its CR LF, one byte more that tells a longer line, and
    // the NUL that readLine() adds.
    if (lineBuffer.size() < LineRecord::MaxLineBytes + 4)
        lineBuffer.resize(LineRecord::MaxLineBytes + 4);
    const qint64 got = file.readLine(lineBuffer.data(), lineBuffer.size());
    if (got <= 0)
        return End;
    *size = int(got);
    int text = *size;
    if (text > 0 && lineBuffer.at(text - 1) == '\n')
        --text;
    if (text > 0 && lineBuffer.at(text - 1) == '\r')
        --text;
    return text > LineRecord::MaxLineBytes ? TooLong : Line;
}

LineReplay::Stamp LineReplay::stamp() const
{
    struct stat info = {};
    if (::fstat(file.handle(), &info) != 0)
        return Stamp();
    return {qint64(info.st_size), qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

bool LineReplay::open(const QString &name, QString *error)
{
    path = name;
    // A replay seeks and reads the file again: only a regular file will do, and a FIFO must not
    // hold the start (and the signals that should end it) in open().
    if (!RegularFile::openForReading(&file, path, -1, error))
        return false;
    opened = stamp();
    version = LineRecord::version(file.peek(64));
    record = version > 0;
    deviceBytes = 0;
    lastRecordUs = 0;
    if (!record) {
        deviceBytes = opened.size;
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
    for (int number = 2;; ++number) {
        int size = 0;
        const Read read = readLine(&size);
        if (read == End)
            break;
        const char *line = lineBuffer.constData();
        if (read == Line && LineRecord::isComment(line, size))
            continue;
        QString why;
        if (read == TooLong)
            why = QStringLiteral("a line longer than %1 bytes").arg(LineRecord::MaxLineBytes);
        else if (!LineRecord::parse(line, size, &entry))
            why = entry.timeTooLate
                ? QStringLiteral("a time beyond %1 s").arg(LineRecord::MaxSeconds)
                : QStringLiteral("not a record (SECONDS device|client BYTES)");
        else if (entry.us < lastRecordUs)
            why = QStringLiteral("earlier than the record before");
        if (!why.isEmpty()) {
            *error = QStringLiteral("%1:%2: %3: %4")
                         .arg(path)
                         .arg(number)
                         .arg(why, QString::fromLatin1(QByteArray(line, qMin(size, 80)).trimmed()));
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
    roundBytes = 0;
    lineNumber = 1;
    reading = LineRecord::Entry();
    reading.version = version;
    file.seek(dataStart);
    fetch();
}

QStringList LineReplay::takeNews()
{
    QStringList taken;
    taken.swap(news);
    return taken;
}

void LineReplay::stop(const QString &why)
{
    ended = true;
    pending.clear();
    carry.clear();
    news << why;
}

bool LineReplay::changed()
{
    const Stamp now = stamp();
    if (now == opened)
        return false;
    // What was checked at open() no longer holds: the replay ends rather than play (or loop
    // over) whatever the file holds now.
    stop(QStringLiteral("%1 changed while it played (%2 bytes when opened, %3 now); the replay "
                        "ends")
             .arg(path)
             .arg(opened.size)
             .arg(now.size));
    return true;
}

bool LineReplay::fetch()
{
    while (!ended) {
        if (!file.atEnd()) {
            if (!record) {
                pending = file.read(CaptureChunk);
                dueUs = 0;
                if (pending.isEmpty()) {
                    if (!changed())
                        stop(QStringLiteral("cannot read %1: %2; the replay ends")
                                 .arg(path, file.errorString()));
                    break;
                }
                roundBytes += pending.size();
                return true;
            }
            LineRecord::Entry &entry = reading;
            int size = 0;
            const Read read = readLine(&size);
            ++lineNumber;
            const char *line = lineBuffer.constData();
            if (read == Line && LineRecord::isComment(line, size))
                continue;
            if (read != Line || !LineRecord::parse(line, size, &entry)) {
                // Every line read when the file was opened: it is not the file it was.
                if (!changed())
                    stop(QStringLiteral("%1 changed while it played (line %2 no longer reads as "
                                        "a record); the replay ends")
                             .arg(path)
                             .arg(lineNumber));
                break;
            }
            if (entry.source != LineRecord::Device || entry.bytes.isEmpty())
                continue;
            roundBytes += entry.bytes.size();
            // The lines of one time go as one: an entry's, and the records of one delivery; up
            // to MaxHeldBytes, so that a file of one time is never held whole.
            QByteArray bytes = carry + entry.bytes;
            for (qint64 at = file.pos(); !file.atEnd() && bytes.size() < MaxHeldBytes;
                 at = file.pos()) {
                LineRecord::Entry next = entry;
                if (readLine(&size) != Line ||
                    !LineRecord::parse(lineBuffer.constData(), size, &next) ||
                    next.us != entry.us || next.source != LineRecord::Device) {
                    file.seek(at);
                    break;
                }
                ++lineNumber;
                roundBytes += next.bytes.size();
                bytes += next.bytes;
            }
            // Whole lines go, each due when its LF was recorded; the rest of a line waits for
            // the record with its LF, so that the line is not cut by the time between them.
            int lastLf = bytes.lastIndexOf('\n');
            if (bytes.size() >= MaxHeldBytes) {
                // So many bytes of one time, or of one line of the stream: they go as they are,
                // the next at the same time.
                lastLf = bytes.size() - 1;
                if (!splitSaid)
                    news << QStringLiteral("%1:%2: the bytes of one time or of one line pass %3; "
                                           "they go in pieces")
                                .arg(path)
                                .arg(lineNumber)
                                .arg(MaxHeldBytes);
                splitSaid = true;
            }
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
        // A round has ended: the file, checked at open(), must still be the one opened. A file
        // cut short ends its round early, and would begin the next at once, for ever.
        if (changed())
            break;
        if (!loop) {
            ended = true;
            break;
        }
        if (roundBytes == 0) {
            stop(QStringLiteral("a round of %1 played none of the instrument's bytes; the replay "
                                "ends")
                     .arg(path));
            break;
        }
        roundBytes = 0;
        // The next round's time 0 is when the last record of this one was due.
        roundStartUs += record ? lastRecordUs : 0;
        ++rounds;
        lineNumber = 1;
        reading = LineRecord::Entry();
        reading.version = version;
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
