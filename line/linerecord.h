#ifndef KELVANE_LINERECORD_H
#define KELVANE_LINERECORD_H

#include <QByteArray>
#include <QList>

/// The text format of a recorded serial line (kelvane-host --record, kelvane-scope --from).
///
///     # kelvane-host line record 2
///     # any further line starting with "#" is a comment
///     0.000000 device $SMDBT,8.2,f,2.50,M,1.36,F*3A
///      $SMMTW,20.50,C*3A
///      $YXXDR,A,-19.0,D,PTCH,A,51.0,D,ROLL*7C
///     0.412345 client #go
///
/// An entry is the bytes of one source that crossed the line by one time: the seconds since the
/// recording began with six decimals (microseconds), one space, the source ("device": the
/// instrument's output as it reached the client; "client": the client's commands as they
/// reached the instrument), one space and the entry's first line; each further line of the entry
/// follows on a line of text of its own that begins with one space. A line of text holds the
/// bytes of one line of the stream without its CR LF, which the end of the text line stands for,
/// escaped: "\r", "\n", "\t", "\\" and "\xHH" (two lower-case hex digits) for any other byte
/// outside 0x20 to 0x7E. A line of text that ends in a backslash of its own ("\" with no escape
/// after it) stands for its bytes alone: a line that ends without CR LF (a bare LF is then
/// "\n\"), or the start of one that the next entry goes on with.
///
/// Version 1 (`# kelvane-host line record 1`) had one entry per line of text, every byte
/// escaped ("\r\n" too) and nothing for the text line's end; it is still read.
///
/// A line of text is at most MaxLineBytes long: the writer cuts a longer line of the stream into
/// further lines of its entry that end in a backslash of their own, and readers refuse a longer
/// one. A time is at most MaxSeconds.
namespace LineRecord {

enum Source { Device, Client };

/// The version written.
const int Version = 2;

/// The longest line of text, its line ending left out; readers hold one at a time.
constexpr int MaxLineBytes = 1 << 20;
/// The latest time, in seconds (about 31 years): in microseconds, and summed over the rounds of a
/// looped replay, it stays far from overflowing.
constexpr qint64 MaxSeconds = 999999999;

/// One line of a record as read, and what the lines before it left for the next: a further
/// line of an entry has the time and source of the line that began it.
struct Entry
{
    qint64 us = 0;
    Source source = Device;
    QByteArray bytes;
    int version = Version; ///< of the record being read
    bool begun = false; ///< a line with a time was read: a further line may follow
    bool timeTooLate = false; ///< parse() refused the line for a time beyond MaxSeconds
};

/// The first line of a record file of the version written, with its line ending.
QByteArray header();
/// The version of the record whose start data is: 1 or 2; 0 when it is no record.
int version(const QByteArray &start);
inline bool isRecord(const QByteArray &start)
{
    return version(start) > 0;
}
/// A line of a record that holds no bytes: a comment ("#...") or an empty line (its line
/// ending may be there).
bool isComment(const char *line, int size);
/// Appends to *out the entry for size bytes from source that had crossed by us.
void append(QByteArray *out, qint64 us, Source source, const char *bytes, int size);
/// The entry for bytes from source at us.
QByteArray format(qint64 us, Source source, const QByteArray &bytes);
/// Every byte escaped as in a line of text, CR and LF too.
QByteArray escape(const QByteArray &bytes);
/// The bytes of text escaped as escape() writes them; false for a stray or unknown escape.
bool unescape(const QByteArray &text, QByteArray *bytes);
/// One line of a record (its line ending may be there) into *entry, by entry->version; false
/// when it is not one (entry->timeTooLate says whether for its time alone), and then *entry
/// holds nothing else of use. The entry's bytes keep their memory from call to call.
bool parse(const char *line, int size, Entry *entry);
inline bool parse(const QByteArray &line, Entry *entry)
{
    return parse(line.constData(), line.size(), entry);
}
/// For a reader that has begun an entry of version 2 (entry->begun): the further lines of it
/// from text on that hold plain text (no escape, no CR), each a line up to its LF before reach,
/// their bytes appended to *bytes as parse() gives them one by one. Returns where the lines taken
/// end (text when none was) and adds their count to *lines.
const char *takePlainLines(const char *text, const char *reach, QByteArray *bytes, int *lines);
/// The value of a hexadecimal digit, either case; -1 for any other byte.
int hexValue(char c);

} // namespace LineRecord

#endif // KELVANE_LINERECORD_H
