#include "nmea.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale.h>

namespace {

const QString NumberPattern = QStringLiteral("[+-]?(?:\\d*[.])?\\d+");
const QString SymbolPattern = QStringLiteral("[A-Za-z0-9]");

// One argument per QString::arg call (several strings at once need Qt 5.14): the patterns hold
// no "%", so each call fills the lowest placeholder left, as one call with them all would.
QHash<int, QString> makeNmeaRegEx()
{
    QHash<int, QString> table;
    table.insert(C::Dbt,
                 QStringLiteral("\\$..DBT,%1,f,(%2),M.*\\*").arg(NumberPattern).arg(NumberPattern));
    table.insert(C::Mtw, QStringLiteral("\\$..MTW,(%1),C\\*").arg(NumberPattern));
    table.insert(C::Xdr,
                 QStringLiteral("\\$..XDR,A,(%1),D,PTCH,A,(%2),D,ROLL\\*")
                     .arg(NumberPattern)
                     .arg(NumberPattern));
    table.insert(C::Mwv,
                 QStringLiteral("\\$..MWV,(%1),(%2),(%3),(%4),(%5)\\*")
                     .arg(NumberPattern)
                     .arg(SymbolPattern)
                     .arg(NumberPattern)
                     .arg(SymbolPattern)
                     .arg(SymbolPattern));
    return table;
}

} // namespace

namespace C {
const QHash<int, QString> NmeaRegEx = makeNmeaRegEx();
} // namespace C

// ---------------------------------------------------------------------------------------------
// Fixed-point numbers
//
// QString::number(v, 'f', n) prints the exact binary value of v rounded to n decimals, halves
// away from zero, with a "-" whenever v < 0 (so -0.001 gives "-0.00" but -0.0 gives "0.00").
// writeFixed() does the same with integer arithmetic on the double's significand, exact for up to
// 9 decimals and values below 2^63 whose fraction fits the arithmetic (every float does); anything
// else goes to QString::number itself.

namespace {

constexpr int MaxFastDecimals = 9;
// Room for the longest text writeFixed() produces: sign, 20 digits, point, 9 decimals.
constexpr int MaxFixedLength = 32;

const uint64_t Pow10[] = {1ull,         10ull,         100ull,         1000ull,
                          10000ull,     100000ull,     1000000ull,     10000000ull,
                          100000000ull, 1000000000ull, 10000000000ull, 100000000000ull};

char *writeUnsigned(char *out, uint64_t v)
{
    char tmp[20];
    int n = 0;
    do {
        tmp[n++] = char('0' + v % 10);
        v /= 10;
    } while (v);
    while (n)
        *out++ = tmp[--n];
    return out;
}

// Writes v with decimals decimals to out (at least MaxFixedLength bytes) and returns the end, or
// nullptr when the value needs the general formatter. Only 64-bit integers are used, so that the
// same code runs on 32-bit ARM.
char *writeFixed(char *out, double v, int decimals)
{
    if (decimals < 0 || decimals > MaxFastDecimals || !std::isfinite(v))
        return nullptr;
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const int biased = int((bits >> 52) & 0x7FF);
    uint64_t mantissa = bits & ((uint64_t(1) << 52) - 1);
    int exponent;
    if (biased == 0) {
        exponent = -1074;
    } else {
        mantissa |= uint64_t(1) << 52;
        exponent = biased - 1075;
    }
    // |v| = mantissa * 2^exponent = whole + fraction / 2^k; the fraction times 10^decimals,
    // rounded half up, is the decimal part.
    const uint64_t unit = Pow10[decimals];
    uint64_t whole = 0;
    uint64_t scaled = 0;
    if (mantissa != 0) {
        const int zeros = __builtin_ctzll(mantissa);
        mantissa >>= zeros;
        exponent += zeros;
        if (exponent >= 0) {
            if (exponent > 63 || (mantissa >> (63 - exponent)) != 0)
                return nullptr;
            whole = mantissa << exponent;
        } else {
            const int k = -exponent;
            const uint64_t fraction = k < 64 ? mantissa & ((uint64_t(1) << k) - 1) : mantissa;
            whole = k < 64 ? mantissa >> k : 0;
            uint64_t n;
            if (__builtin_mul_overflow(fraction, unit, &n))
                return nullptr;
            if (k < 64) {
                scaled = n >> k;
                if ((n & ((uint64_t(1) << k) - 1)) >= (uint64_t(1) << (k - 1)))
                    ++scaled;
            } else {
                // Less than one unit of the last decimal; half of one is 2^(k - 1).
                scaled = k == 64 && n >= (uint64_t(1) << 63) ? 1 : 0;
            }
            if (scaled == unit) {
                scaled = 0;
                ++whole;
            }
        }
    }
    if (v < 0)
        *out++ = '-';
    out = writeUnsigned(out, whole);
    if (decimals > 0) {
        *out++ = '.';
        for (int i = decimals - 1; i >= 0; --i) {
            out[i] = char('0' + scaled % 10);
            scaled /= 10;
        }
        out += decimals;
    }
    return out;
}

// Builds one sentence on the stack and hands it out as a single QByteArray allocation. The body
// starts after the "$"; finish() appends "*" and the checksum of the body. A sentence that
// outgrows the buffer (huge numbers) continues in a QByteArray.
class SentenceWriter
{
public:
    SentenceWriter() { buffer[0] = '$'; }

    void append(char c) { append(&c, 1); }
    void append(const char *text, int length)
    {
        if (!isSpilled && size + length <= Capacity) {
            std::memcpy(buffer + size, text, size_t(length));
            size += length;
            return;
        }
        if (!isSpilled)
            spilled = QByteArray(buffer, size);
        isSpilled = true;
        spilled.append(text, length);
    }
    template<int N> void literal(const char (&text)[N]) { append(text, N - 1); }
    void fixed(double value, int decimals)
    {
        if (!isSpilled && size + MaxFixedLength <= Capacity) {
            if (const char *end = writeFixed(buffer + size, value, decimals)) {
                size = int(end - buffer);
                return;
            }
        } else {
            char text[MaxFixedLength];
            if (const char *end = writeFixed(text, value, decimals)) {
                append(text, int(end - text));
                return;
            }
        }
        const QByteArray text = QString::number(value, 'f', decimals).toLatin1();
        append(text.constData(), text.size());
    }
    // An integer in decimal, zero-padded to width characters with the sign (if any) in front of
    // the zeros, as QString::arg(value, width, 10, '0') writes it.
    void number(long long value, int width)
    {
        char text[48];
        char *p = text;
        const uint64_t magnitude = value < 0 ? uint64_t(0) - uint64_t(value) : uint64_t(value);
        if (value < 0)
            *p++ = '-';
        char digits[20];
        const int count = int(writeUnsigned(digits, magnitude) - digits);
        for (int pad = width - count - int(p - text); pad > 0; --pad)
            *p++ = '0';
        std::memcpy(p, digits, size_t(count));
        append(text, int(p - text) + count);
    }
    // formatPrefix(talker) as Latin-1, without building a QString for plain ASCII talkers.
    void talker(const QString &talker)
    {
        if (talker.size() != 2) {
            literal("YX");
            return;
        }
        const ushort a = talker.at(0).unicode();
        const ushort b = talker.at(1).unicode();
        if (a < 0x80 && b < 0x80) {
            append(char(a >= 'a' && a <= 'z' ? a - 32 : a));
            append(char(b >= 'a' && b <= 'z' ? b - 32 : b));
            return;
        }
        const QByteArray text = formatPrefix(talker).toLatin1();
        append(text.constData(), text.size());
    }

    QByteArray finish()
    {
        appendChecksum();
        return isSpilled ? spilled : QByteArray(buffer, size);
    }
    // The sentence into out, its old contents replaced, in the room out already has.
    void finish(QByteArray &out)
    {
        appendChecksum();
        if (isSpilled) {
            out.resize(0);
            out.append(spilled.constData(), spilled.size());
            return;
        }
        out.resize(size);
        std::memcpy(out.data(), buffer, size_t(size));
    }

private:
    void appendChecksum()
    {
        const char *body = isSpilled ? spilled.constData() : buffer;
        const int length = isSpilled ? spilled.size() : size;
        unsigned char sum = 0;
        for (int i = 1; i < length; ++i)
            sum ^= static_cast<unsigned char>(body[i]);
        static const char hex[] = "0123456789ABCDEF";
        const char tail[3] = {'*', hex[sum >> 4], hex[sum & 0xF]};
        append(tail, 3);
    }

    static constexpr int Capacity = 192;
    char buffer[Capacity];
    int size = 1;
    bool isSpilled = false;
    QByteArray spilled;
};

} // namespace

QString formatPrefix(const QString &talker)
{
    return talker.size() == 2 ? talker.toUpper() : QStringLiteral("YX");
}

QString f32(float value, int decimals)
{
    char text[MaxFixedLength];
    if (const char *end = writeFixed(text, double(value), decimals))
        return QString::fromLatin1(text, int(end - text));
    return QString::number(double(value), 'f', decimals);
}

void appendFixed(QByteArray &out, double value, int decimals)
{
    char text[MaxFixedLength];
    if (const char *end = writeFixed(text, value, decimals))
        out.append(text, int(end - text));
    else
        out.append(QString::number(value, 'f', decimals).toLatin1());
}

template<typename T> T wrap360(T angle)
{
    T r = std::fmod(angle, T(360));
    if (r < 0)
        r += T(360);
    return r;
}

template<typename T> T wrap180(T angle)
{
    T r = wrap360(angle);
    if (r > T(180))
        r -= T(360);
    return r;
}

template<typename T> T wrap2PI(T angle)
{
    const T twoPi = T(2 * M_PI);
    T r = std::fmod(angle, twoPi);
    if (r < 0)
        r += twoPi;
    return r;
}

template<typename T> T wrapPI(T angle)
{
    const T pi = T(M_PI);
    const T twoPi = T(2 * M_PI);
    T r = wrap2PI(angle);
    if (r > pi)
        r -= twoPi;
    return r;
}

template float wrap360<float>(float);
template float wrap180<float>(float);
template float wrap2PI<float>(float);
template float wrapPI<float>(float);

// ---------------------------------------------------------------------------------------------
// Scanning received text
//
// The parsers answer what their regular expression would answer on QString::fromUtf8 of the
// bytes up to the first zero byte, without building that string. Qt's decoder turns a
// well-formed sequence of 2 to 4 bytes into one code point and every other non-ASCII byte into
// one U+FFFD of its own; an ASCII byte always stands for itself. So the ASCII parts of a template
// can be matched on the bytes, and a "." (any code point but a line feed) is one decoded
// sequence. Every template starts with "$" and its numbers are always followed by ",", so each
// "$" allows at most one way to match: the scanner tries the "$" in order and takes the first
// that matches, as the regular expression does, without backtracking.

namespace {

using Byte = unsigned char;

struct Text
{
    const Byte *begin;
    const Byte *end;
};

Text receivedText(const QByteArray &data)
{
    const Byte *begin = reinterpret_cast<const Byte *>(data.constData());
    return {begin, begin + qstrnlen(data.constData(), uint(data.size()))};
}

const Byte *findByte(const Byte *from, const Byte *end, Byte c)
{
    return static_cast<const Byte *>(std::memchr(from, c, size_t(end - from)));
}

// Byte length of the code point that Qt's UTF-8 decoder reads at p (p < end).
int codePointLength(const Byte *p, const Byte *end)
{
    const Byte lead = *p;
    int length;
    uint32_t smallest;
    uint32_t codePoint;
    if (lead < 0x80)
        return 1;
    if (lead < 0xC2)
        return 1;
    if (lead < 0xE0) {
        length = 2;
        smallest = 0x80;
        codePoint = lead & 0x1F;
    } else if (lead < 0xF0) {
        length = 3;
        smallest = 0x800;
        codePoint = lead & 0x0F;
    } else if (lead < 0xF5) {
        length = 4;
        smallest = 0x10000;
        codePoint = lead & 0x07;
    } else {
        return 1;
    }
    if (end - p < length)
        return 1;
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 1;
        codePoint = (codePoint << 6) | (p[i] & 0x3F);
    }
    if (codePoint < smallest || (codePoint >= 0xD800 && codePoint <= 0xDFFF) ||
        codePoint > 0x10FFFF)
        return 1;
    return length;
}

// The position after "..": two code points, neither a line feed; nullptr when there is no such.
const Byte *skipTwoCodePoints(const Byte *p, const Byte *end)
{
    for (int i = 0; i < 2; ++i) {
        if (p >= end || *p == '\n')
            return nullptr;
        p += codePointLength(p, end);
    }
    return p;
}

// The first c at or after a position, for positions that (nearly) only move forward: each byte
// is searched about once, so looking for the "*" of many candidates on a long line stays linear.
class ForwardFinder
{
public:
    ForwardFinder(const Byte *end, Byte c) : end(end), from(end), c(c) { }

    const Byte *find(const Byte *p)
    {
        if (p < from) {
            if (const Byte *hit = findByte(p, from, c))
                found = hit;
            from = p;
            return found;
        }
        if (!found || p <= found)
            return found;
        from = p;
        found = findByte(p, end, c);
        return found;
    }

private:
    const Byte *end;
    const Byte *from; // found is the first c in [from, end), or nullptr
    const Byte *found = nullptr;
    Byte c;
};

struct Span
{
    const Byte *begin = nullptr;
    const Byte *end = nullptr;
};

bool literal(const Byte *&p, const Byte *end, const char *text, int length)
{
    if (end - p < length || std::memcmp(p, text, size_t(length)) != 0)
        return false;
    p += length;
    return true;
}

template<int N> bool literal(const Byte *&p, const Byte *end, const char (&text)[N])
{
    return literal(p, end, text, N - 1);
}

bool isDigit(Byte c)
{
    return c >= '0' && c <= '9';
}

// "[+-]?(?:\d*[.])?\d+" where a "," must follow: the only candidate is the longest run of sign,
// digits, point, digits.
bool number(const Byte *&p, const Byte *end, Span *capture)
{
    const Byte *q = p;
    if (q < end && (*q == '+' || *q == '-'))
        ++q;
    const Byte *digits = q;
    while (q < end && isDigit(*q))
        ++q;
    if (q < end && *q == '.') {
        ++q;
        digits = q;
        while (q < end && isDigit(*q))
            ++q;
    }
    if (q == digits || q == end || *q != ',')
        return false;
    if (capture)
        *capture = {p, q};
    p = q;
    return true;
}

// "[A-Za-z0-9]"
bool symbol(const Byte *&p, const Byte *end, Span *capture)
{
    if (p >= end)
        return false;
    const Byte c = *p;
    if (!isDigit(c) && !((c | 0x20) >= 'a' && (c | 0x20) <= 'z'))
        return false;
    *capture = {p, p + 1};
    ++p;
    return true;
}

struct Captures
{
    Span span[5];
};

// Matchers of C::NmeaRegEx after "$..": p is the position after the talker.
struct Scanner
{
    explicit Scanner(Text text) : text(text), stars(text.end, '*'), lineFeeds(text.end, '\n') { }

    bool dbt(const Byte *p, Captures &c)
    {
        const Byte *end = text.end;
        if (!(literal(p, end, "DBT,") && number(p, end, nullptr) && literal(p, end, ",f,") &&
              number(p, end, &c.span[0]) && literal(p, end, ",M")))
            return false;
        // ".*\*": a "*" later on the same line.
        const Byte *star = stars.find(p);
        if (!star)
            return false;
        const Byte *lineFeed = lineFeeds.find(p);
        return !lineFeed || star < lineFeed;
    }

    bool mtw(const Byte *p, Captures &c)
    {
        const Byte *end = text.end;
        return literal(p, end, "MTW,") && number(p, end, &c.span[0]) && literal(p, end, ",C*");
    }

    bool xdr(const Byte *p, Captures &c)
    {
        const Byte *end = text.end;
        return literal(p, end, "XDR,A,") && number(p, end, &c.span[0]) &&
            literal(p, end, ",D,PTCH,A,") && number(p, end, &c.span[1]) &&
            literal(p, end, ",D,ROLL*");
    }

    bool mwv(const Byte *p, Captures &c)
    {
        const Byte *end = text.end;
        return literal(p, end, "MWV,") && number(p, end, &c.span[0]) && literal(p, end, ",") &&
            symbol(p, end, &c.span[1]) && literal(p, end, ",") && number(p, end, &c.span[2]) &&
            literal(p, end, ",") && symbol(p, end, &c.span[3]) && literal(p, end, ",") &&
            symbol(p, end, &c.span[4]) && literal(p, end, "*");
    }

    template<typename Body> bool search(Body body, Captures &c)
    {
        for (const Byte *p = text.begin; (p = findByte(p, text.end, '$')); ++p) {
            const Byte *after = skipTwoCodePoints(p + 1, text.end);
            if (after && (this->*body)(after, c))
                return true;
        }
        return false;
    }

    // Matches the template of key; the number of captures it has, or 0 when nothing matched.
    int match(int key, Captures &c)
    {
        switch (key) {
        case C::Dbt:
            return search(&Scanner::dbt, c) ? 1 : 0;
        case C::Mtw:
            return search(&Scanner::mtw, c) ? 1 : 0;
        case C::Xdr:
            return search(&Scanner::xdr, c) ? 2 : 0;
        case C::Mwv:
            return search(&Scanner::mwv, c) ? 5 : 0;
        default:
            return 0;
        }
    }

    Text text;
    ForwardFinder stars;
    ForwardFinder lineFeeds;
};

const double ExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A captured field as QString::toFloat reads it: the text rounded to the nearest double, then
// to float; beyond the float range an infinity of the right sign, and a non-zero value that
// vanishes in float (or already in double) gives +0. A field that is not a number (a symbol
// letter) gives 0.
float toFloat(Span span)
{
    const char *begin = reinterpret_cast<const char *>(span.begin);
    const char *end = reinterpret_cast<const char *>(span.end);
    if (begin < end && *begin == '+')
        ++begin;
    const bool negative = begin < end && *begin == '-';
    const char *p = negative ? begin + 1 : begin;

    // Short numbers: the digits as an integer (below 2^53) divided by an exact power of ten is
    // correctly rounded.
    uint64_t mantissa = 0;
    int digits = 0;
    int decimals = -1;
    bool shortNumber = true;
    for (const char *q = p; q < end; ++q) {
        if (*q == '.') {
            decimals = 0;
            continue;
        }
        if (!isDigit(Byte(*q)))
            return 0.0f;
        if (mantissa != 0 || *q != '0')
            ++digits;
        if (digits > 15) {
            shortNumber = false;
            break;
        }
        mantissa = mantissa * 10 + uint64_t(*q - '0');
        if (decimals >= 0)
            ++decimals;
    }
    if (p == end)
        return 0.0f;
    double value;
    if (shortNumber && decimals <= 22) {
        value = double(mantissa) / ExactPow10[decimals < 0 ? 0 : decimals];
        if (negative)
            value = -value;
    } else {
        // The C library's reading, correctly rounded and in the C locale whatever the process's
        // (std::from_chars would need a newer C++ runtime than the flight computer's).
        static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
        const QByteArray text(begin, int(end - begin));
        char *stop = nullptr;
        errno = 0;
        value = strtod_l(text.constData(), &stop, cLocale);
        if (stop == text.constData())
            return 0.0f;
        // Overflow gives an infinity already; underflow gives +0 whatever its sign.
        if (errno == ERANGE && !std::isinf(value))
            value = 0.0;
    }
    if (std::isinf(value))
        return float(value);
    if (std::fabs(value) > double(std::numeric_limits<float>::max()))
        return value < 0 ? -std::numeric_limits<float>::infinity()
                         : std::numeric_limits<float>::infinity();
    if (value != 0.0 && float(value) == 0.0f)
        return 0.0f;
    return float(value);
}

char upper(Span span)
{
    const char c = char(*span.begin);
    return c >= 'a' && c <= 'z' ? char(c - 32) : c;
}

// The absolute degrees-and-minutes value of an angle, ddmm.mmm... or dddmm.mmm...
double degMinValue(double angle)
{
    double whole = 0.0;
    const double fraction = std::modf(angle, &whole);
    return std::fabs(fraction * 60.0 + whole * 100.0);
}

void appendDegMin(SentenceWriter &out, double angle, int width, int decimals)
{
    char text[MaxFixedLength];
    const char *end = writeFixed(text, degMinValue(angle), decimals);
    if (!end) {
        const QByteArray general = Nmea::toDegMin(angle, width, decimals).toLatin1();
        out.append(general.constData(), general.size());
        return;
    }
    for (int pad = width - int(end - text); pad > 0; --pad)
        out.append('0');
    out.append(text, int(end - text));
}

// "HHmmss.zzz"; nothing for a date-time that is not valid (a time of day without a date, a
// local time in a daylight-saving gap), as QDateTime::toString gives it.
void appendClock(SentenceWriter &out, const QDateTime &dateTime)
{
    if (!dateTime.isValid())
        return;
    const QTime time = dateTime.time();
    out.number(time.hour(), 2);
    out.number(time.minute(), 2);
    out.number(time.second(), 2);
    out.append('.');
    out.number(time.msec(), 3);
}

void appendHemisphere(SentenceWriter &out, double value, char positive, char negative)
{
    out.append(value < 0 ? negative : positive);
}

// The four position fields that RMC and GGA share: ddmm.mmmmmm,N/S,dddmm.mmmmmm,E/W.
void appendPosition(SentenceWriter &out, const GnssCoordinates &position)
{
    appendDegMin(out, position.latitude, 11, 6);
    out.append(',');
    appendHemisphere(out, position.latitude, 'N', 'S');
    out.append(',');
    appendDegMin(out, position.longitude, 12, 6);
    out.append(',');
    appendHemisphere(out, position.longitude, 'E', 'W');
}

bool isValidFix(qint32 fixType)
{
    return fixType == 2 || fixType == 3;
}

// Altitudes within a float epsilon of zero print as a bare "0".
void appendSmall(SentenceWriter &out, float value)
{
    if (std::fabs(value) < FLT_EPSILON)
        out.append('0');
    else
        out.fixed(double(value), 3);
}

// The exclusive-or of the bytes in [begin, end) as two upper-case hexadecimal digits, to out.
void writeChecksum(const char *begin, const char *end, char *out)
{
    unsigned char sum = 0;
    for (const char *p = begin; p < end; ++p)
        sum ^= static_cast<unsigned char>(*p);
    static const char hex[] = "0123456789ABCDEF";
    const char digits[2] = {hex[sum >> 4], hex[sum & 0xF]};
    std::memcpy(out, digits, 2);
}

// The bodies of the sentences that the simulator writes on every ping, for both kinds of builder.
void writeDbt(SentenceWriter &out, float depth, const QString &talker)
{
    out.talker(talker);
    out.literal("DBT,");
    out.fixed(double(depth * 3.28084f), 3);
    out.literal(",f,");
    out.fixed(double(depth), 3);
    out.literal(",M,,");
}

void writeMtw(SentenceWriter &out, float temperature, const QString &talker)
{
    out.talker(talker);
    out.literal("MTW,");
    out.fixed(double(temperature), 2);
    out.literal(",C");
}

void writeYxxdr(SentenceWriter &out, float pitch, float roll)
{
    out.literal("YXXDR,A,");
    out.fixed(double(pitch), 1);
    out.literal(",D,PTCH,A,");
    out.fixed(double(roll), 1);
    out.literal(",D,ROLL");
}

} // namespace

namespace Nmea {

QByteArray calcChecksum(const QByteArray &data)
{
    char digits[2];
    writeChecksum(data.constData(), data.constData() + data.size(), digits);
    return QByteArray(digits, 2);
}

void appendChecksum(QByteArray &text, int from)
{
    char tail[3] = {'*'};
    writeChecksum(text.constData() + from, text.constData() + text.size(), tail + 1);
    text.append(tail, 3);
}

bool checksum(const QByteArray &sentence)
{
    const Byte *begin = reinterpret_cast<const Byte *>(sentence.constData());
    const Byte *end = begin + sentence.size();
    const Byte *dollar = findByte(begin, end, '$');
    const Byte *star = dollar ? findByte(dollar, end, '*') : nullptr;
    // Without a "$" and a "*" after it the text is compared with two zero bytes, which a text of
    // printable characters never ends with.
    if (!star)
        return sentence.size() >= 2 && end[-2] == 0 && end[-1] == 0;
    unsigned char sum = 0;
    for (const Byte *p = dollar + 1; p < star; ++p)
        sum ^= *p;
    static const char hex[] = "0123456789ABCDEF";
    return end[-2] == hex[sum >> 4] && end[-1] == hex[sum & 0xF];
}

bool isNmeaString(const QByteArray &data, QByteArray *sentence)
{
    // "(\$..[A-Z]+,[^*]+\*..)"
    const Text text = receivedText(data);
    ForwardFinder stars(text.end, '*');
    for (const Byte *p = text.begin; (p = findByte(p, text.end, '$')); ++p) {
        const Byte *q = skipTwoCodePoints(p + 1, text.end);
        if (!q)
            continue;
        const Byte *comma = q;
        while (comma < text.end && *comma >= 'A' && *comma <= 'Z')
            ++comma;
        if (comma == q || comma == text.end || *comma != ',')
            continue;
        // [^*]+ runs to the first "*" and must not be empty.
        const Byte *star = stars.find(comma + 1);
        if (!star || star == comma + 1)
            continue;
        const Byte *end = skipTwoCodePoints(star + 1, text.end);
        if (!end)
            continue;
        if (sentence) {
            const char *piece = reinterpret_cast<const char *>(p);
            const int length = int(end - p);
            bool ascii = true;
            for (const Byte *b = p; b < end && ascii; ++b)
                ascii = *b < 0x80;
            // The piece goes through text and back: malformed UTF-8 comes out as U+FFFD.
            *sentence =
                ascii ? QByteArray(piece, length) : QString::fromUtf8(piece, length).toUtf8();
        }
        return true;
    }
    return false;
}

QString toDegMin(double angle, int width, int decimals)
{
    return QString::number(degMinValue(angle), 'f', decimals)
        .rightJustified(width, QLatin1Char('0'));
}

QByteArray dbt(float depth, const QString &talker)
{
    SentenceWriter out;
    writeDbt(out, depth, talker);
    return out.finish();
}

void dbt(QByteArray &sentence, float depth, const QString &talker)
{
    SentenceWriter out;
    writeDbt(out, depth, talker);
    out.finish(sentence);
}

QByteArray dpt(float depth, float offset, const QString &talker)
{
    SentenceWriter out;
    out.talker(talker);
    out.literal("DPT,");
    out.fixed(double(depth), 3);
    out.append(',');
    out.fixed(double(offset), 3);
    return out.finish();
}

QByteArray mtw(float temperature, const QString &talker)
{
    SentenceWriter out;
    writeMtw(out, temperature, talker);
    return out.finish();
}

void mtw(QByteArray &sentence, float temperature, const QString &talker)
{
    SentenceWriter out;
    writeMtw(out, temperature, talker);
    out.finish(sentence);
}

QByteArray xdr(const float *depth1, const float *depth2, const float *temperature,
               const QString &talker)
{
    SentenceWriter out;
    out.talker(talker);
    out.literal("XDR,D,");
    if (depth1)
        out.fixed(double(*depth1), 2);
    out.literal(",M,XDHI,D,");
    if (depth2)
        out.fixed(double(*depth2), 2);
    out.literal(",M,XDLO,C,");
    if (temperature)
        out.fixed(double(*temperature), 2);
    out.literal(",C,WTHI");
    return out.finish();
}

QByteArray yxxdr(float pitch, float roll)
{
    SentenceWriter out;
    writeYxxdr(out, pitch, roll);
    return out.finish();
}

void yxxdr(QByteArray &sentence, float pitch, float roll)
{
    SentenceWriter out;
    writeYxxdr(out, pitch, roll);
    out.finish(sentence);
}

QByteArray rmc(const QDateTime &time, const GnssCoordinates &position, float speed, float course,
               const QString &talker)
{
    const bool valid = isValidFix(position.fixType);
    // In single precision, as the argument comes: -0.005 shows as 359.99 (360.00 in double).
    if (course <= -FLT_EPSILON)
        course += 360.0f;
    SentenceWriter out;
    out.talker(talker);
    out.literal("RMC,");
    appendClock(out, time);
    out.append(',');
    out.append(valid ? 'A' : 'V');
    out.append(',');
    appendPosition(out, position);
    out.append(',');
    out.fixed(double(speed * 1.94384f), 2);
    out.append(',');
    out.fixed(double(course), 2);
    out.append(',');
    if (time.isValid()) {
        // "ddMMyy": the year's last two digits, with its sign before a year 0.
        const QDate date = time.date();
        out.number(date.day(), 2);
        out.number(date.month(), 2);
        out.number(date.year() % 100, 2);
    }
    out.literal(",,,");
    out.append(valid ? 'A' : 'N');
    return out.finish();
}

QByteArray gga(const QDateTime &time, const GnssCoordinates &position, int fixQuality,
               unsigned short satellites, float hdop, float altitude, float separation,
               const QString &talker)
{
    SentenceWriter out;
    out.talker(talker);
    out.literal("GGA,");
    appendClock(out, time);
    out.append(',');
    appendPosition(out, position);
    out.append(',');
    out.number(fixQuality, 0);
    out.append(',');
    out.number(satellites, 2);
    out.append(',');
    out.fixed(double(hdop), 1);
    out.append(',');
    appendSmall(out, altitude);
    out.literal(",M,");
    appendSmall(out, separation);
    out.literal(",M,,");
    return out.finish();
}

QByteArray zda(const QDateTime &time, const QString &talker)
{
    const QDateTime utc = time.toUTC();
    // Local minus UTC at that instant; both parts carry the offset's sign (-3:30 is -3, -30).
    const int offset = time.toLocalTime().offsetFromUtc();
    SentenceWriter out;
    out.talker(talker);
    out.literal("ZDA,");
    appendClock(out, utc);
    out.append(',');
    if (utc.isValid()) {
        const QDate date = utc.date();
        out.number(date.day(), 2);
        out.append(',');
        out.number(date.month(), 2);
        out.append(',');
        // "yyyy": four digits after the sign, -44 is "-0044".
        if (date.year() < 0)
            out.append('-');
        out.number(qAbs(date.year()), 4);
    }
    out.append(',');
    out.number(offset / 3600, 0);
    out.append(',');
    out.number(offset % 3600 / 60, 0);
    return out.finish();
}

QByteArray mwv(int angle, float speed, MwvData::WindReferences reference, bool valid,
               const QString &talker)
{
    SentenceWriter out;
    out.talker(talker);
    out.literal("MWV,");
    out.number(angle, 3);
    out.append(',');
    out.append(reference == MwvData::TrueWind ? 'T' : 'R');
    out.append(',');
    out.fixed(double(speed), 1);
    out.literal(",M,");
    out.append(valid ? 'A' : 'V');
    return out.finish();
}

bool getValue(const QByteArray &sentence, int key, float &value)
{
    Scanner scanner(receivedText(sentence));
    Captures captures;
    if (scanner.match(key, captures) < 1)
        return false;
    value = toFloat(captures.span[0]);
    return true;
}

bool getValues(const QByteArray &sentence, int key, float &first, float &second)
{
    Scanner scanner(receivedText(sentence));
    Captures captures;
    if (scanner.match(key, captures) < 2)
        return false;
    first = toFloat(captures.span[0]);
    second = toFloat(captures.span[1]);
    return true;
}

bool getMwvValues(const QByteArray &sentence, MwvData &data)
{
    Scanner scanner(receivedText(sentence));
    Captures captures;
    if (scanner.match(C::Mwv, captures) < 5)
        return false;
    data.angle = toFloat(captures.span[0]);
    data.reference = upper(captures.span[1]) == 'T' ? MwvData::TrueWind : MwvData::RelativeWind;
    float speed = toFloat(captures.span[2]);
    const char unit = upper(captures.span[3]);
    if (unit == 'K')
        speed *= 0.2777778f;
    else if (unit == 'N')
        speed *= 0.5144445f;
    data.speed = speed;
    data.valid = upper(captures.span[4]) == 'A';
    return true;
}

} // namespace Nmea
