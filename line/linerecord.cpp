#include "linerecord.h"

#include <QLatin1String>

#include <cstring>

namespace LineRecord {

namespace {

const char *const Magic = "# kelvane-host line record 1";

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
    return QByteArray(Magic) + '\n';
}

bool isRecord(const QByteArray &start)
{
    return start.startsWith(header()) || start.startsWith(QByteArray(Magic) + "\r\n");
}

QByteArray escape(const QByteArray &bytes)
{
    static const char hex[] = "0123456789abcdef";
    QByteArray out;
    out.reserve(bytes.size() + 8);
    for (const char c : bytes) {
        const uchar u = uchar(c);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\\')
            out += "\\\\";
        else if (u >= 0x20 && u <= 0x7E)
            out += c;
        else
            out += QByteArray("\\x") + hex[u >> 4] + hex[u & 0xF];
    }
    return out;
}

QByteArray format(qint64 us, Source source, const QByteArray &bytes)
{
    const QByteArray prefix = QByteArray::number(us / 1000000) + '.' +
        QByteArray::number(us % 1000000).rightJustified(6, '0') +
        (source == Device ? " device " : " client ");
    QByteArray out;
    int from = 0;
    while (from < bytes.size()) {
        const int lf = bytes.indexOf('\n', from);
        const int end = lf < 0 ? bytes.size() : lf + 1;
        out += prefix + escape(bytes.mid(from, end - from)) + '\n';
        from = end;
    }
    return out;
}

bool parse(const char *line, int size, Entry *entry)
{
    // Escaped bytes hold no CR or LF: those are the line's ending.
    while (size > 0 && (line[size - 1] == '\n' || line[size - 1] == '\r'))
        --size;
    const char *end = line + size;
    const char *space = find(line, end, ' ');
    const char *second = space ? find(space + 1, end, ' ') : nullptr;
    const char *dot = find(line, end, '.');
    if (!second || !dot || dot == line || dot + 7 != space)
        return false;
    bool okSeconds = false;
    bool okMicros = false;
    const qint64 seconds = number(line, dot, &okSeconds);
    const qint64 micros = number(dot + 1, dot + 7, &okMicros);
    if (!okSeconds || !okMicros || seconds < 0 || line[0] == '+' || dot[1] == '+')
        return false;
    const QLatin1String source(space + 1, int(second - space - 1));
    if (source != QLatin1String("device") && source != QLatin1String("client"))
        return false;
    // At most one byte for each byte of text.
    QByteArray &bytes = entry->bytes;
    bytes.resize(int(end - second - 1));
    char *out = bytes.data();
    for (const char *p = second + 1; p < end; ++p) {
        if (*p != '\\') {
            *out++ = *p;
            continue;
        }
        if (++p >= end)
            return false;
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
                return false;
            *out++ = char(high << 4 | low);
            p += 2;
            break;
        }
        default:
            return false;
        }
    }
    bytes.resize(int(out - bytes.constData()));
    entry->us = seconds * 1000000 + micros;
    entry->source = source == QLatin1String("device") ? Device : Client;
    return true;
}

} // namespace LineRecord
