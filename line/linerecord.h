#ifndef KELVANE_LINERECORD_H
#define KELVANE_LINERECORD_H

#include <QByteArray>
#include <QList>

/// The text format of a recorded serial line (kelvane-host --record, kelvane-scope --from).
///
///     # kelvane-host line record 1
///     # any further line starting with "#" is a comment
///     0.000000 device $SMDBT,8.2,f,2.50,M,1.36,F*3A\r\n
///     0.412345 client #go\r\n
///
/// One record per line: the seconds since the recording began with six decimals (microseconds),
/// one space, the source ("device": the instrument's output as it reached the client; "client":
/// the client's commands as they reached the instrument), one space and the bytes, escaped:
/// "\r", "\n", "\t", "\\" and "\xHH" (two lower-case hex digits) for any other byte outside
/// 0x20 to 0x7E. A record ends after its first LF byte, so each line of text is one record.
namespace LineRecord {

enum Source { Device, Client };

struct Entry
{
    qint64 us = 0;
    Source source = Device;
    QByteArray bytes;
};

/// The first line of every record file, with its line ending.
QByteArray header();
/// Whether data (the start of a file) begins with header().
bool isRecord(const QByteArray &start);
/// The record lines for bytes from source at us: one per LF in bytes, and one for the rest.
QByteArray format(qint64 us, Source source, const QByteArray &bytes);
QByteArray escape(const QByteArray &bytes);
/// One record line (its line ending may be there) into *entry; false when it is not one, and
/// then *entry holds nothing of use. The entry's bytes keep their memory from call to call.
bool parse(const char *line, int size, Entry *entry);
inline bool parse(const QByteArray &line, Entry *entry)
{
    return parse(line.constData(), line.size(), entry);
}
/// The value of a hexadecimal digit, either case; -1 for any other byte.
int hexValue(char c);

} // namespace LineRecord

#endif // KELVANE_LINERECORD_H
