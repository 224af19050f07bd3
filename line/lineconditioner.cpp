#include "lineconditioner.h"

#include "linerecord.h"

#include <QStringList>

#include <cmath>

namespace {

const char *const FaultNames[LineFaultCount] = {"checksum",  "drop",    "truncate",
                                                "duplicate", "garbage", "flip"};
const char HexDigits[] = "0123456789ABCDEF";

quint64 splitmix(quint64 &x)
{
    quint64 z = (x += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

quint64 rotl(quint64 x, int k)
{
    return (x << k) | (x >> (64 - k));
}

// Where the two checksum digits of a sentence line start ("$...*HH" and the line ending), or -1.
int checksumAt(const QByteArray &line)
{
    if (!line.startsWith('$'))
        return -1;
    int end = line.size();
    if (end > 0 && line.at(end - 1) == '\n')
        --end;
    if (end > 0 && line.at(end - 1) == '\r')
        --end;
    const int at = end - 2;
    if (at < 2 || line.at(at - 1) != '*' || LineRecord::hexValue(line.at(at)) < 0 ||
        LineRecord::hexValue(line.at(at + 1)) < 0)
        return -1;
    return at;
}

QString unknownFault(const QString &kind)
{
    return QStringLiteral("unknown fault \"%1\" (KIND=RATE with KIND one of checksum, drop, "
                          "truncate, duplicate, garbage, flip)")
        .arg(kind);
}

int contentLength(const QByteArray &line)
{
    int end = line.size();
    if (end > 0 && line.at(end - 1) == '\n')
        --end;
    if (end > 0 && line.at(end - 1) == '\r')
        --end;
    return end;
}

bool isTalkerChar(char c)
{
    return c >= 'A' && c <= 'Z';
}

} // namespace

QString lineFaultName(LineFault fault)
{
    return QLatin1String(FaultNames[int(fault)]);
}

bool LineFaultRates::isEmpty() const
{
    for (double r : rate) {
        if (r > 0.0)
            return false;
    }
    return true;
}

bool LineFaultRates::parse(const QString &text, QString *error)
{
    LineFaultRates parsed = *this;
    const QStringList items = text.split(QLatin1Char(','));
    for (const QString &item : items) {
        const int eq = item.indexOf(QLatin1Char('='));
        if (eq < 0) {
            *error = unknownFault(item.trimmed());
            return false;
        }
        if (!parsed.set(item.left(eq), item.mid(eq + 1), error))
            return false;
    }
    *this = parsed;
    return true;
}

bool LineFaultRates::set(const QString &kindName, const QString &rateText, QString *error)
{
    const QString kind = kindName.trimmed();
    int index = -1;
    for (int i = 0; i < LineFaultCount; ++i) {
        if (kind == QLatin1String(FaultNames[i]))
            index = i;
    }
    if (index < 0) {
        *error = unknownFault(kind);
        return false;
    }
    bool ok = false;
    const double value = rateText.trimmed().toDouble(&ok);
    if (!ok || !(value >= 0.0 && value <= 1.0)) {
        *error = QStringLiteral("the rate of %1 must be a number from 0 to 1, got \"%2\"")
                     .arg(kind, rateText.trimmed());
        return false;
    }
    rate[size_t(index)] = value;
    return true;
}

QString LineFaultRates::toString() const
{
    QStringList items;
    for (int i = 0; i < LineFaultCount; ++i) {
        if (rate[size_t(i)] > 0.0)
            items << QStringLiteral("%1=%2").arg(QLatin1String(FaultNames[i])).arg(rate[size_t(i)]);
    }
    return items.isEmpty() ? QStringLiteral("none") : items.join(QLatin1Char(','));
}

QJsonObject LineCounts::toJson() const
{
    QJsonObject injected;
    for (int i = 0; i < LineFaultCount; ++i)
        injected.insert(QLatin1String(FaultNames[i]), double(faults[size_t(i)]));
    return {{QStringLiteral("bytesIn"), double(bytesIn)},
            {QStringLiteral("linesIn"), double(linesIn)},
            {QStringLiteral("bytesOut"), double(bytesOut)},
            {QStringLiteral("linesOut"), double(linesOut)},
            {QStringLiteral("unheardBytes"), double(unheardBytes)},
            {QStringLiteral("unpluggedBytes"), double(unpluggedBytes)},
            {QStringLiteral("faults"), injected}};
}

LineRandom::LineRandom(quint64 seed)
{
    for (quint64 &word : state)
        word = splitmix(seed);
}

quint64 LineRandom::next()
{
    const quint64 result = rotl(state[1] * 5, 7) * 9;
    const quint64 t = state[1] << 17;
    state[2] ^= state[0];
    state[3] ^= state[1];
    state[1] ^= state[2];
    state[0] ^= state[3];
    state[2] ^= t;
    state[3] = rotl(state[3], 45);
    return result;
}

quint32 LineRandom::below(quint32 n)
{
    // Lemire's multiply-and-reject: unbiased, and the same numbers on every platform.
    quint64 m = (next() >> 32) * n;
    quint32 low = quint32(m);
    if (low < n) {
        const quint32 threshold = quint32(-n) % n;
        while (low < threshold) {
            m = (next() >> 32) * n;
            low = quint32(m);
        }
    }
    return quint32(m >> 32);
}

bool LineRandom::chance(double p)
{
    if (p <= 0.0)
        return false;
    return double(next() >> 11) * 0x1.0p-53 < p;
}

LineConditioner::LineConditioner(Units units, quint64 seed) : units(units), random(seed) { }

void LineConditioner::setBaud(int baud)
{
    bitRate = qMax(0, baud);
}

void LineConditioner::setTalker(const QByteArray &talker)
{
    newTalker = talker.size() == 2 ? talker.toUpper() : QByteArray();
}

void LineConditioner::setListening(bool on)
{
    if (on == listening)
        return;
    listening = on;
    if (!on) {
        // What waits for a listener who left is lost like the rest of its line; the next
        // listener starts with the next whole line.
        skipToLine = units == Lines && !sourceAtLineEnd;
        totals.unheardBytes += partial.size() + queuedBytes;
        partial.clear();
        queue.clear();
        queuedBytes = 0;
    }
}

qint64 LineConditioner::finishUs(qint64 byteCount) const
{
    if (bitRate == 0 || byteCount <= 0)
        return periodStartUs;
    // ceil(byteCount * 10 bits / baud) in microseconds.
    const qint64 scaled = byteCount * 10000000;
    return periodStartUs + (scaled + bitRate - 1) / bitRate;
}

qint64 LineConditioner::arrivedBy(qint64 nowUs) const
{
    if (bitRate == 0)
        return periodBytes;
    if (nowUs <= periodStartUs)
        return 0;
    return qMin(periodBytes, (nowUs - periodStartUs) * bitRate / 10000000);
}

void LineConditioner::enqueue(qint64 nowUs, const QByteArray &bytes, bool deliver, bool chunkEnd)
{
    if (bytes.isEmpty())
        return;
    if (finishUs(periodBytes) <= nowUs) {
        // The line was idle: a new busy period starts now; what waits in the queue has crossed.
        for (Segment &segment : queue)
            segment.first -= periodBytes;
        periodStartUs = nowUs;
        periodBytes = 0;
    }
    if (deliver) {
        Segment *last = queue.empty() ? nullptr : &queue.back();
        if (units == Lines && last && last->first + last->bytes.size() == periodBytes)
            last->bytes.append(bytes);
        else
            queue.push_back({periodBytes, bytes, chunkEnd});
        queuedBytes += bytes.size();
    }
    periodBytes += bytes.size();
}

void LineConditioner::count(const QByteArray &bytes, qint64 &byteCount, qint64 &lineCount)
{
    byteCount += bytes.size();
    lineCount += bytes.count('\n');
}

void LineConditioner::write(qint64 nowUs, const QByteArray &input)
{
    if (input.isEmpty())
        return;
    count(input, totals.bytesIn, totals.linesIn);
    sourceAtLineEnd = input.endsWith('\n');
    if (unpluggedAt(nowUs)) {
        totals.unpluggedBytes += input.size();
        return;
    }
    if (!listening) {
        // The line still carries it; nobody hears it.
        totals.unheardBytes += input.size();
        enqueue(nowUs, input, false, false);
        if (units == Lines)
            skipToLine = !input.endsWith('\n');
        return;
    }
    QByteArray bytes = input;
    if (skipToLine) {
        const int lf = bytes.indexOf('\n');
        const int skipped = lf < 0 ? bytes.size() : lf + 1;
        totals.unheardBytes += skipped;
        enqueue(nowUs, bytes.left(skipped), false, false);
        bytes.remove(0, skipped);
        skipToLine = lf < 0;
    }

    if (units == Chunks) {
        // Each line of the chunk is a unit, the rest after its last LF too; the result goes on
        // as one chunk.
        QByteArray out;
        int from = 0;
        while (from < bytes.size()) {
            const int lf = bytes.indexOf('\n', from);
            const int end = lf < 0 ? bytes.size() : lf + 1;
            out += transform(bytes.mid(from, end - from));
            from = end;
        }
        enqueue(nowUs, out, true, true);
        return;
    }

    if (partial.isEmpty())
        partialSinceUs = nowUs;
    int from = 0;
    if (newTalker.isEmpty() && faultRates.isEmpty()) {
        // Nothing to change: the whole lines go on in one piece.
        const int lastLf = bytes.lastIndexOf('\n');
        if (lastLf >= 0) {
            partial.append(bytes.constData(), lastLf + 1);
            enqueue(nowUs, partial, true, false);
            partial.clear();
            partialSinceUs = nowUs;
            from = lastLf + 1;
        }
    }
    while (from < bytes.size()) {
        const int lf = bytes.indexOf('\n', from);
        if (lf < 0) {
            partial.append(bytes.constData() + from, bytes.size() - from);
            break;
        }
        partial.append(bytes.constData() + from, lf + 1 - from);
        passUnit(nowUs, partial, false);
        partial.clear();
        partialSinceUs = nowUs;
        from = lf + 1;
    }
    if (partial.size() >= MaxLineBytes) {
        passUnit(nowUs, partial, false);
        partial.clear();
    }
}

void LineConditioner::passUnit(qint64 nowUs, QByteArray unit, bool chunkEnd)
{
    enqueue(nowUs, transform(std::move(unit)), true, chunkEnd);
}

QByteArray LineConditioner::transform(QByteArray unit)
{
    if (!newTalker.isEmpty() && unit.size() >= 4 && unit.at(0) == '$' && isTalkerChar(unit.at(1)) &&
        isTalkerChar(unit.at(2)) && unit.at(1) != 'P') {
        // The checksum changes by the XOR of the old and new talker bytes, so that a wrong
        // checksum stays wrong.
        const int at = checksumAt(unit);
        if (at >= 0) {
            const int sum =
                (LineRecord::hexValue(unit.at(at)) << 4 | LineRecord::hexValue(unit.at(at + 1))) ^
                (uchar(unit.at(1)) ^ uchar(unit.at(2)) ^ uchar(newTalker.at(0)) ^
                 uchar(newTalker.at(1)));
            unit[at] = HexDigits[(sum >> 4) & 0xF];
            unit[at + 1] = HexDigits[sum & 0xF];
        }
        unit[1] = newTalker.at(0);
        unit[2] = newTalker.at(1);
    }

    const auto inject = [this](LineFault fault) { return random.chance(faultRates[fault]); };
    const auto counted = [this](LineFault fault) { ++totals.faults[size_t(fault)]; };

    if (inject(LineFault::Drop)) {
        counted(LineFault::Drop);
        return QByteArray();
    }
    if (inject(LineFault::Checksum)) {
        const int at = checksumAt(unit);
        const int length = contentLength(unit);
        if (at >= 0) {
            const int digit = at + int(random.below(2));
            const int value = LineRecord::hexValue(unit.at(digit));
            unit[digit] = HexDigits[(value + 1 + int(random.below(15))) % 16];
            counted(LineFault::Checksum);
        } else if (length > 0) {
            const int position = int(random.below(quint32(length)));
            const char old = unit.at(position);
            char replacement;
            do {
                replacement = char(0x20 + random.below(95));
            } while (replacement == old);
            unit[position] = replacement;
            counted(LineFault::Checksum);
        }
    }
    if (inject(LineFault::Truncate) && unit.size() >= 2) {
        // At least one byte stays and at least the LF goes.
        unit.truncate(1 + int(random.below(quint32(unit.size() - 1))));
        counted(LineFault::Truncate);
    }
    if (inject(LineFault::Duplicate)) {
        unit += unit;
        counted(LineFault::Duplicate);
    }
    if (inject(LineFault::Garbage)) {
        QByteArray noise(1 + int(random.below(16)), Qt::Uninitialized);
        for (char &c : noise) {
            do {
                c = char(random.below(256));
            } while (c == '\n');
        }
        unit.prepend(noise);
        counted(LineFault::Garbage);
    }
    const double flip = faultRates[LineFault::Flip];
    if (flip > 0.0) {
        for (char &c : unit) {
            if (random.chance(flip)) {
                c = char(uchar(c) ^ (1u << random.below(8)));
                counted(LineFault::Flip);
            }
        }
    }
    return unit;
}

QByteArray LineConditioner::take(qint64 nowUs)
{
    if (units == Lines && !partial.isEmpty() && nowUs - partialSinceUs >= PartialLineUs) {
        passUnit(nowUs, partial, false);
        partial.clear();
    }
    if (queue.empty() || stalledAt(nowUs))
        return QByteArray();
    const qint64 arrived = arrivedBy(nowUs);
    QByteArray out;
    while (!queue.empty()) {
        Segment &head = queue.front();
        const qint64 ready = arrived - head.first;
        if (ready <= 0)
            break;
        if (ready < head.bytes.size()) {
            if (units == Chunks)
                break;
            out.append(head.bytes.constData(), int(ready));
            head.bytes.remove(0, int(ready));
            head.first += ready;
            break;
        }
        if (out.isEmpty())
            out = head.bytes;
        else
            out.append(head.bytes);
        queue.pop_front();
        if (units == Chunks)
            break;
    }
    queuedBytes -= out.size();
    count(out, totals.bytesOut, totals.linesOut);
    return out;
}

qint64 LineConditioner::room(qint64 nowUs) const
{
    if (queuedBytes >= MaxHeldBytes)
        return 0;
    if (bitRate == 0)
        return qMax<qint64>(0, 65536 - queuedBytes);
    const qint64 ahead = qMax<qint64>(16, qint64(bitRate) / 10 * LookaheadUs / 1000000);
    return qMax<qint64>(0, ahead - (periodBytes - arrivedBy(nowUs)));
}

qint64 LineConditioner::nextUs() const
{
    qint64 next = -1;
    if (units == Lines && !partial.isEmpty())
        next = partialSinceUs + PartialLineUs;
    if (!queue.empty()) {
        const Segment &head = queue.front();
        qint64 at = finishUs(units == Chunks ? head.first + head.bytes.size() : head.first + 1);
        if (stalledUntil > at)
            at = stalledUntil;
        next = next < 0 ? at : qMin(next, at);
    }
    return next;
}

qint64 LineConditioner::pending() const
{
    return partial.size() + queuedBytes;
}

void LineConditioner::unplug(qint64 nowUs, qint64 durationUs)
{
    totals.unpluggedBytes += partial.size() + queuedBytes;
    partial.clear();
    queue.clear();
    queuedBytes = 0;
    periodStartUs = nowUs;
    periodBytes = 0;
    unpluggedUntil = qMax(unpluggedUntil, nowUs + durationUs);
}

void LineConditioner::stall(qint64 nowUs, qint64 durationUs)
{
    stalledUntil = qMax(stalledUntil, nowUs + durationUs);
}

int LineConditioner::injectGarbage(qint64 nowUs, int count)
{
    if (count <= 0 || unpluggedAt(nowUs))
        return qMax(0, count); // lost to the unplug, as anything written now
    // Noise nobody hears takes only its time on the line; what is delivered waits in memory.
    if (listening)
        count = int(qMin<qint64>(count, qMax<qint64>(0, MaxHeldBytes - queuedBytes)));
    if (count == 0)
        return 0;
    QByteArray noise(count, Qt::Uninitialized);
    for (char &c : noise) {
        do {
            c = char(random.below(256));
        } while (c == '\n');
    }
    enqueue(nowUs, noise, listening, units == Chunks);
    return count;
}
