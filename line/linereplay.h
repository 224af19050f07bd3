#ifndef KELVANE_LINEREPLAY_H
#define KELVANE_LINEREPLAY_H

#include "linerecord.h"
#include <QByteArray>

#include <QFile>
#include <QStringList>

/// The instrument's output played back from a file: a line record (LineRecord's format; its
/// device records at their recorded times, client records skipped) or a plain capture (bytes,
/// as fast as the taker asks: the line's pace is the conditioner's). Plain code: it takes a time
/// in microseconds and gives the bytes due by then, reading the file as it goes.
class LineReplay
{
public:
    /// Opens path, which must be a regular file, and reads it through once: a record must parse
    /// line by line (no line longer than LineRecord::MaxLineBytes), in time order, and hold some
    /// device bytes; a capture must not be empty. False with *error.
    bool open(const QString &path, QString *error);
    bool isRecord() const { return record; }
    /// The instrument's bytes in the file, and the time from the file's start to its last device
    /// record (0 for a capture).
    qint64 bytes() const { return deviceBytes; }
    qint64 spanUs() const { return lastRecordUs; }

    /// At the end, start again: a record's next round begins when its last record has gone.
    void setLoop(bool on) { loop = on; }
    /// The baud rate of the line it is played on: a record is due so much earlier that its
    /// bytes have crossed that line at the recorded time (0: at the recorded time).
    void setBaud(int baud) { bitRate = baud; }
    /// The file's time 0 is nowUs.
    void start(qint64 nowUs);
    /// The bytes due by nowUs, at most maxBytes; what is left is due at once.
    QByteArray take(qint64 nowUs, qint64 maxBytes);
    /// When take() next has bytes (for a capture: at once), never below 0; or -1 at the end.
    qint64 nextUs() const;
    bool atEnd() const { return ended; }
    /// 1 in the first round, 2 once it began again, ...
    int round() const { return rounds; }
    /// Lines for the log since the last call, each said once: the file changed while it played
    /// (the replay then ends: "FILE changed while it played ..."), a round that played nothing,
    /// bytes of one time or of one line of the stream played in pieces of MaxHeldBytes.
    QStringList takeNews();

    /// The bytes of one time (or of one line of the stream) held before they go: more go on
    /// in pieces of this size, at the same time.
    static constexpr int MaxHeldBytes = 1 << 20;

private:
    /// What tells the file opened from one written since: its size and modification time.
    struct Stamp
    {
        qint64 size = -1;
        qint64 modifiedNs = -1;
        bool operator==(const Stamp &other) const
        {
            return size == other.size && modifiedNs == other.modifiedNs;
        }
    };
    enum Read { Line, End, TooLong };
    /// The next line of the file into lineBuffer (*size bytes, its line ending kept); TooLong
    /// for a line of more than LineRecord::MaxLineBytes, of which only the start was read.
    Read readLine(int *size);
    bool fetch();
    Stamp stamp() const;
    /// Ends the replay, with a line that says why, when the file is no longer the one opened.
    bool changed();
    void stop(const QString &why);

    QFile file;
    bool record = false;
    int version = 0; ///< of the record
    LineRecord::Entry reading; ///< what the last line read leaves for the next
    bool loop = false;
    int bitRate = 0;
    qint64 dataStart = 0;
    qint64 deviceBytes = 0;
    qint64 lastRecordUs = 0;
    qint64 roundStartUs = 0;
    qint64 dueUs = 0; ///< of pending, from the round's start
    QByteArray pending;
    QByteArray carry; ///< a record's line without its LF yet
    qint64 carryUs = 0;
    bool ended = false;
    int rounds = 1;
    QString path;
    Stamp opened;
    qint64 roundBytes = 0; ///< the instrument's bytes played in this round
    int lineNumber = 1; ///< of the last line read
    bool splitSaid = false;
    QStringList news;
    QByteArray lineBuffer; ///< the line read last, in memory kept from line to line
};

#endif // KELVANE_LINEREPLAY_H
