#include "linerecord.h"

namespace LineRecord {

namespace {

const char *const Magic = "# kelvane-host line record 1";

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

bool parse(const QByteArray &text, Entry *entry)
{
    // Escaped bytes hold no CR or LF: those are the line's ending.
    QByteArray line = text;
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    const int space = line.indexOf(' ');
    const int second = space < 0 ? -1 : line.indexOf(' ', space + 1);
    const int dot = line.indexOf('.');
    if (second < 0 || dot < 1 || dot + 7 != space)
        return false;
    bool okSeconds = false;
    bool okMicros = false;
    const qint64 seconds = line.left(dot).toLongLong(&okSeconds);
    const qint64 micros = line.mid(dot + 1, 6).toLongLong(&okMicros);
    if (!okSeconds || !okMicros || seconds < 0 || line.at(0) == '+' || line.at(dot + 1) == '+')
        return false;
    const QByteArray source = line.mid(space + 1, second - space - 1);
    if (source != "device" && source != "client")
        return false;
    QByteArray bytes;
    for (int i = second + 1; i < line.size(); ++i) {
        const char c = line.at(i);
        if (c != '\\') {
            bytes += c;
            continue;
        }
        if (++i >= line.size())
            return false;
        switch (line.at(i)) {
        case 'r':
            bytes += '\r';
            break;
        case 'n':
            bytes += '\n';
            break;
        case 't':
            bytes += '\t';
            break;
        case '\\':
            bytes += '\\';
            break;
        case 'x': {
            const int high = i + 1 < line.size() ? hexValue(line.at(i + 1)) : -1;
            const int low = i + 2 < line.size() ? hexValue(line.at(i + 2)) : -1;
            if (high < 0 || low < 0)
                return false;
            bytes += char(high << 4 | low);
            i += 2;
            break;
        }
        default:
            return false;
        }
    }
    entry->us = seconds * 1000000 + micros;
    entry->source = source == "device" ? Device : Client;
    entry->bytes = bytes;
    return true;
}

} // namespace LineRecord
