#include "linerecord.h"

#include <QLatin1String>
#include <QtAlgorithms>

#include <algorithm>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace LineRecord {

namespace {

const char *const Magic = "# kelvane-host line record ";

// The most bytes of the stream in one line of text: escaped, four bytes of text each at most,
// with the entry's start, they stay within MaxLineBytes.
constexpr int MaxPieceBytes = (MaxLineBytes - 64) / 4;

const char *find(const char *from, const char *end, char c)
{
    return static_cast<const char *>(std::memchr(from, c, size_t(end - from)));
}

// A number field as QByteArray::toLongLong() reads it (which allows blanks around it and a
// sign); plain digits, the record's own form, without a copy.
qint64 number(const char *begin, const char *end, bool *ok)
{
    qint64 value = 0;
    const char *p = begin;
    for (; p < end && p - begin < 18 && *p >= '0' && *p <= '9'; ++p)
        value = value * 10 + (*p - '0');
    if (p == end && p > begin) {
        *ok = true;
        return value;
    }
    return QByteArray(begin, int(end - begin)).toLongLong(ok);
}

bool allDigits(const char *begin, const char *end)
{
    return std::all_of(begin, end, [](char c) { return c >= '0' && c <= '9'; });
}

// What a byte becomes in a line of text: 0 for itself, else the letter after its backslash
// ('x' for the hex form).
struct EscapeTable
{
    char letter[256];
    EscapeTable()
    {
        for (int c = 0; c < 256; ++c)
            letter[c] = c >= 0x20 && c <= 0x7E ? 0 : 'x';
        letter[int('\r')] = 'r';
        letter[int('\n')] = 'n';
        letter[int('\t')] = 't';
        letter[int('\\')] = '\\';
    }
};
const EscapeTable escapes;

// The text of a byte whose letter (see EscapeTable) is not 0: a backslash and the letter, then
// for 'x' the byte in two hex digits. Returns the end.
char *escapeByteInto(char *out, uchar u, char letter)
{
    static const char hex[] = "0123456789abcdef";
    *out++ = '\\';
    *out++ = letter;
    if (letter == 'x') {
        *out++ = hex[u >> 4];
        *out++ = hex[u & 0xF];
    }
    return out;
}

// Writes bytes escaped at out (room for four bytes of text a byte), returns the end.
char *escapeInto(char *out, const char *from, const char *end)
{
    for (const char *p = from; p < end; ++p) {
        const uchar u = uchar(*p);
        const char letter = escapes.letter[u];
        if (letter)
            out = escapeByteInto(out, u, letter);
        else
            *out++ = *p;
    }
    return out;
}

// The size of a byte's text: itself, a backslash and a letter, or the hex form.
int escapedSize(char c)
{
    const char letter = escapes.letter[uchar(c)];
    return letter == 0 ? 1 : letter == 'x' ? 4 : 2;
}

// As escapeInto(), up to the first LF of [from, reach), which it leaves out; *lf is that LF, or
// null when there is none. One pass over the bytes of a line: its end is found as it is written.
char *escapeLineInto(char *out, const char *from, const char *reach, const char **lf)
{
    for (const char *p = from; p < reach; ++p) {
        const uchar u = uchar(*p);
        const char letter = escapes.letter[u];
        if (!letter) {
            *out++ = *p;
            continue;
        }
        if (u == '\n') {
            *lf = p;
            return out;
        }
        out = escapeByteInto(out, u, letter);
    }
    *lf = nullptr;
    return out;
}

// Frame and NMEA traffic is printable bytes in lines that end in CR LF, and its text is as long
// as it is: the same bytes, each CR LF become the text line's LF and the space that begins the
// next line. translateLinesInto() writes such bytes sixteen at a time for as long as they hold
// nothing else (no backslash, no CR without its LF, no line longer than a piece) and returns
// where the last whole line it wrote ends, from when it wrote none. The line after it is left
// to escapeLineInto(), and what was written past that end is written over. Where the processor
// has no SSE2 every line takes escapeLineInto().
#ifdef __SSE2__
const char *translateLinesInto(char *out, const char *from, const char *end)
{
    const __m128i crs = _mm_set1_epi8('\r');
    const __m128i lfs = _mm_set1_epi8('\n');
    const __m128i spaces = _mm_set1_epi8(' ');
    const __m128i deletes = _mm_set1_epi8(0x7F);
    const __m128i backslashes = _mm_set1_epi8('\\');
    const __m128i crToLf = _mm_set1_epi8('\r' ^ '\n');
    const __m128i lfToSpace = _mm_set1_epi8('\n' ^ ' ');
    const char *lineStart = from;
    unsigned crBefore = 0; // 1 when the sixteen bytes before ended in CR
    for (const char *q = from; end - q >= 16 && q + 16 - lineStart <= MaxPieceBytes; q += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(q));
        const __m128i crBytes = _mm_cmpeq_epi8(bytes, crs);
        const __m128i lfBytes = _mm_cmpeq_epi8(bytes, lfs);
        // Compared as signed, the bytes from 0x80 up are below the space too.
        const __m128i noText = _mm_or_si128(
            _mm_or_si128(_mm_cmplt_epi8(bytes, spaces), _mm_cmpeq_epi8(bytes, deletes)),
            _mm_cmpeq_epi8(bytes, backslashes));
        const unsigned cr = unsigned(_mm_movemask_epi8(crBytes));
        const unsigned lf = unsigned(_mm_movemask_epi8(lfBytes));
        // Every byte that is no text a CR or an LF, and every LF right after a CR.
        if (unsigned(_mm_movemask_epi8(noText)) != (cr | lf) ||
            lf != (((cr << 1) | crBefore) & 0xFFFF))
            break;
        crBefore = cr >> 15;
        if (lf)
            lineStart = q + (31 - qCountLeadingZeroBits(quint32(lf))) + 1;
        const __m128i flips =
            _mm_or_si128(_mm_and_si128(crBytes, crToLf), _mm_and_si128(lfBytes, lfToSpace));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + (q - from)),
                         _mm_xor_si128(bytes, flips));
    }
    return lineStart;
}
#else
const char *translateLinesInto(char *, const char *from, const char *)
{
    return from;
}
#endif

// Decodes the escaped text [p, end) at out, returns the end, or null for a bad escape. A
// backslash that ends the text is left for the caller: *trailing says whether there was one.
char *unescapeInto(char *out, const char *p, const char *end, bool *trailing)
{
    *trailing = false;
    for (; p < end; ++p) {
        if (*p != '\\') {
            *out++ = *p;
            continue;
        }
        if (++p >= end) {
            *trailing = true;
            return out;
        }
        switch (*p) {
        case 'r':
            *out++ = '\r';
            break;
        case 'n':
            *out++ = '\n';
            break;
        case 't':
            *out++ = '\t';
            break;
        case '\\':
            *out++ = '\\';
            break;
        case 'x': {
            const int high = p + 1 < end ? hexValue(p[1]) : -1;
            const int low = p + 2 < end ? hexValue(p[2]) : -1;
            if (high < 0 || low < 0)
                return nullptr;
            *out++ = char(high << 4 | low);
            p += 2;
            break;
        }
        default:
            return nullptr;
        }
    }
    return out;
}

// The time, source and first space of a line that begins an entry: "SECONDS.MICROS SOURCE ";
// null when the line does not begin so.
const char *parseStart(const char *line, const char *end, Entry *entry)
{
    const char *space = find(line, end, ' ');
    const char *second = space ? find(space + 1, end, ' ') : nullptr;
    const char *dot = find(line, end, '.');
    if (!second || !dot || dot == line || dot + 7 != space)
        return nullptr;
    bool okSeconds = false;
    bool okMicros = false;
    const qint64 seconds = number(line, dot, &okSeconds);
    const qint64 micros = number(dot + 1, dot + 7, &okMicros);
    if (!okMicros || seconds < 0 || line[0] == '+' || dot[1] == '+')
        return nullptr;
    const QLatin1String source(space + 1, int(second - space - 1));
    if (source != QLatin1String("device") && source != QLatin1String("client"))
        return nullptr;
    // Checked before it is scaled: seconds in microseconds may pass what a qint64 holds, and
    // wrap to a time that looks like any other. Digits too many for a qint64 are such a time.
    if (seconds > MaxSeconds || (!okSeconds && allDigits(line, dot))) {
        entry->timeTooLate = true;
        return nullptr;
    }
    if (!okSeconds)
        return nullptr;
    entry->us = seconds * 1000000 + micros;
    entry->source = source == QLatin1String("device") ? Device : Client;
    return second + 1;
}

} // namespace

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

QByteArray header()
{
    return QByteArray(Magic) + QByteArray::number(Version) + '\n';
}

int version(const QByteArray &start)
{
    for (int v = 1; v <= Version; ++v) {
        const QByteArray line = QByteArray(Magic) + QByteArray::number(v);
        if (start.startsWith(line + '\n') || start.startsWith(line + "\r\n"))
            return v;
    }
    return 0;
}

bool isComment(const char *line, int size)
{
    while (size > 0 && (line[size - 1] == '\n' || line[size - 1] == '\r'))
        --size;
    return size == 0 || line[0] == '#';
}

void append(QByteArray *out, qint64 us, Source source, const char *bytes, int size)
{
    if (size <= 0)
        return;
    // The most text a byte can become is five bytes (a bare LF: " \n\" and the text line's
    // end); the start of the entry at most 19 + 1 + 6 + 8; each cut of a long line three more.
    const int at = out->size();
    out->resize(at + 40 + 5 * size + 3 * (size / MaxPieceBytes + 1));
    char *p = out->data() + at;
    char digits[20];
    int n = 0;
    for (qint64 seconds = us / 1000000; n == 0 || seconds > 0; seconds /= 10)
        digits[n++] = char('0' + seconds % 10);
    while (n > 0)
        *p++ = digits[--n];
    *p++ = '.';
    for (qint64 micros = us % 1000000, scale = 100000; scale > 0; scale /= 10)
        *p++ = char('0' + micros / scale % 10);
    std::memcpy(p, source == Device ? " device " : " client ", 8);
    p += 8;
    const char *from = bytes;
    const char *end = bytes + size;
    while (from < end) {
        if (from != bytes)
            *p++ = ' ';
        const char *translated = translateLinesInto(p, from, end);
        if (translated != from) {
            // Whole lines of plain text; the space after the last one's LF is the next's.
            p += translated - from - 1;
            from = translated;
            continue;
        }
        // Looked for no further than a line of text may reach: a longer line of the stream
        // goes in pieces, each a line of text that stands for its bytes alone.
        const char *reach = end - from > MaxPieceBytes + 2 ? from + MaxPieceBytes + 2 : end;
        const char *lf = nullptr;
        p = escapeLineInto(p, from, reach, &lf);
        if (lf && lf > from && lf[-1] == '\r') {
            // The common line: its CR LF is the text line's end; the CR's escape goes.
            p -= 2;
            from = lf + 1;
        } else if (lf) {
            // A bare LF ends the piece, escaped, with the backslash that joins it to the next.
            *p++ = '\\';
            *p++ = 'n';
            *p++ = '\\';
            from = lf + 1;
        } else {
            // No line end in reach: a piece of at most MaxPieceBytes, joined to the next. The
            // bytes looked at past it (for a CR LF right behind) give their text back.
            const char *stop = qMin(reach, from + MaxPieceBytes);
            for (const char *b = stop; b < reach; ++b)
                p -= escapedSize(*b);
            *p++ = '\\';
            from = stop;
        }
        *p++ = '\n';
    }
    out->resize(int(p - out->constData()));
}

QByteArray format(qint64 us, Source source, const QByteArray &bytes)
{
    QByteArray out;
    append(&out, us, source, bytes.constData(), bytes.size());
    return out;
}

QByteArray escape(const QByteArray &bytes)
{
    QByteArray out(4 * bytes.size(), Qt::Uninitialized);
    const char *from = bytes.constData();
    out.resize(int(escapeInto(out.data(), from, from + bytes.size()) - out.constData()));
    return out;
}

bool unescape(const QByteArray &text, QByteArray *bytes)
{
    bytes->resize(text.size());
    bool trailing = false;
    const char *from = text.constData();
    char *end = unescapeInto(bytes->data(), from, from + text.size(), &trailing);
    if (!end || trailing)
        return false;
    bytes->resize(int(end - bytes->constData()));
    return true;
}

bool parse(const char *line, int size, Entry *entry)
{
    // Escaped bytes hold no CR or LF: those are the line's ending.
    while (size > 0 && (line[size - 1] == '\n' || line[size - 1] == '\r'))
        --size;
    const char *end = line + size;
    const char *text = nullptr;
    if (entry->version >= 2 && size > 0 && line[0] == ' ') {
        // A further line of the entry begun before.
        if (!entry->begun)
            return false;
        text = line + 1;
    } else {
        entry->begun = false;
        entry->timeTooLate = false;
        text = parseStart(line, end, entry);
        if (!text)
            return false;
        entry->begun = entry->version >= 2;
    }
    // At most one byte for each byte of text, and the line ending.
    QByteArray &bytes = entry->bytes;
    bytes.resize(int(end - text) + 2);
    bool trailing = false;
    char *out = unescapeInto(bytes.data(), text, end, &trailing);
    if (!out || (trailing && entry->version < 2))
        return false;
    if (entry->version >= 2 && !trailing) {
        *out++ = '\r';
        *out++ = '\n';
    }
    bytes.resize(int(out - bytes.constData()));
    return true;
}

const char *takePlainLines(const char *text, const char *reach, QByteArray *bytes, int *lines)
{
    // " TEXT" and its LF become TEXT and CR LF: as many bytes.
    const int at = bytes->size();
    bytes->resize(at + int(reach - text));
    char *out = bytes->data() + at;
    char *outTaken = out;
    const char *taken = text;
    for (const char *p = text; p < reach && *p == ' ';) {
        for (++p; p < reach && *p != '\n' && *p != '\\' && *p != '\r'; ++p)
            *out++ = *p;
        if (p == reach || *p != '\n')
            break;
        *out++ = '\r';
        *out++ = '\n';
        outTaken = out;
        taken = ++p;
        ++*lines;
    }
    bytes->resize(int(outTaken - bytes->constData()));
    return taken;
}

} // namespace LineRecord
