// LineReplay as plain code: a file and a time in, the bytes due by then out.

#include "linerecord.h"
#include "linereplay.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

// What take() gives at a time, and when the replay has bytes next (-1: at its end).
struct Take
{
    qint64 us;
    QByteArray bytes;
    qint64 nextUs;
};
using Takes = QVector<Take>;

} // namespace

Q_DECLARE_METATYPE(Takes)

class TstLineReplay : public QObject
{
    Q_OBJECT

private slots:
    void play_data();
    void play();
    void dueBeforeStart();
    void refused_data();
    void refused();
    void recordings_data();
    void recordings();
    void fileChanges_data();
    void fileChanges();

private:
    // A file in the test's folder with text, its path.
    QString file(const QByteArray &text)
    {
        const QString path = dir.filePath(QString::number(++files));
        QFile out(path);
        return out.open(QIODevice::WriteOnly) && out.write(text) == text.size() ? path : QString();
    }

    static QByteArray readData(const char *name)
    {
        QFile data(QStringLiteral(KELVANE_TEST_DATA_DIR "/") + QLatin1String(name));
        return data.open(QIODevice::ReadOnly) ? data.readAll() : QByteArray();
    }

    QTemporaryDir dir;
    int files = 0;
};

void TstLineReplay::play_data()
{
    QTest::addColumn<QByteArray>("records"); // after the header line
    QTest::addColumn<int>("baud");
    QTest::addColumn<bool>("loop");
    QTest::addColumn<Takes>("takes");
    QTest::addColumn<int>("round"); // at the end

    const QByteArray twoLines = "# a comment\n"
                                "0.000000 device $A\n"
                                "0.100000 device $B\n";
    QTest::newRow("each entry at its recorded time")
        << twoLines << 0 << false
        << Takes {{0, "$A\r\n", 100000}, {99999, "", 100000}, {100000, "$B\r\n", -1}} << 1;
    QTest::newRow("a line over two entries goes whole, when its LF was recorded")
        << QByteArray("0.000000 device $A\\r\\\n0.004000 device \\n\\\n") << 0 << false
        << Takes {{0, "", 4000}, {4000, "$A\r\n", -1}} << 1;
    QTest::newRow("an entry's lines go as one, with an empty line")
        << QByteArray("0.500000 device $A\n \n $B\n") << 0 << false
        << Takes {{499999, "", 500000}, {500000, "$A\r\n\r\n$B\r\n", -1}} << 1;
    // 12 bytes take 12500 us at 9600 baud (10 bits a byte).
    QTest::newRow("at 9600 baud a line sets out so that it has crossed at its time")
        << QByteArray("1.000000 device 0123456789\n") << 9600 << false
        << Takes {{987499, "", 987500}, {987500, "0123456789\r\n", -1}} << 1;
    QTest::newRow("the end of the file without an LF goes at its time")
        << QByteArray("0.000000 device $A\n0.200000 device $B\\\n") << 0 << false
        << Takes {{0, "$A\r\n", 200000}, {200000, "$B", -1}} << 1;
    QTest::newRow("looped: the next round starts when the last entry was due")
        << twoLines << 0 << true
        << Takes {{0, "$A\r\n", 100000},
                  {100000, "$B\r\n$A\r\n", 200000},
                  {200000, "$B\r\n$A\r\n", 300000}}
        << 3;
}

void TstLineReplay::play()
{
    QFETCH(QByteArray, records);
    QFETCH(int, baud);
    QFETCH(bool, loop);
    QFETCH(Takes, takes);
    QFETCH(int, round);
    LineReplay replay;
    QString error;
    QVERIFY2(replay.open(file(LineRecord::header() + records), &error), qPrintable(error));
    QVERIFY(replay.isRecord());
    replay.setBaud(baud);
    replay.setLoop(loop);
    replay.start(0);
    for (const Take &take : qAsConst(takes)) {
        QCOMPARE(LineRecord::escape(replay.take(take.us, 1 << 20)), LineRecord::escape(take.bytes));
        QCOMPARE(replay.nextUs(), take.nextUs);
    }
    QCOMPARE(replay.atEnd(), !loop);
    QCOMPARE(replay.round(), round);
}

// At 9600 baud a line recorded 4 ms in sets out 8.5 ms before the replay began: it is due at
// once. A negative time would read as "nothing more", and the line would wait for another wake-up.
void TstLineReplay::dueBeforeStart()
{
    LineReplay replay;
    QString error;
    QVERIFY2(replay.open(file(LineRecord::header() + "0.004000 device 0123456789\n"), &error),
             qPrintable(error));
    replay.setBaud(9600);
    replay.start(0);
    QCOMPARE(replay.nextUs(), 0);
    QCOMPARE(replay.take(0, 1 << 20), QByteArray("0123456789\r\n"));
}

void TstLineReplay::refused_data()
{
    QTest::addColumn<QByteArray>("text"); // the whole file
    QTest::addColumn<QString>("error"); // FILE: its path
    const QByteArray header = LineRecord::header();
    QTest::newRow("a line that is no record")
        << header + "0.000000 device $A\n0.5 device\n"
        << QStringLiteral("FILE:3: not a record (SECONDS device|client BYTES): 0.5 device");
    QTest::newRow("a further line before any entry")
        << header + "# a comment\n $A\n"
        << QStringLiteral("FILE:3: not a record (SECONDS device|client BYTES): $A");
    QTest::newRow("a record earlier than the one before")
        << header + "0.500000 device $A\n0.400000 device $B\n"
        << QStringLiteral("FILE:3: earlier than the record before: 0.400000 device $B");
    QTest::newRow("a record of the client's commands only")
        << header + "0.000000 client #go\n"
        << QStringLiteral("cannot replay FILE: it records no bytes of the instrument");
    QTest::newRow("a time past the last second a record may have")
        << header + "1000000000.000000 device $A\n"
        << QStringLiteral("FILE:2: a time beyond 999999999 s: 1000000000.000000 device $A");
    QTest::newRow("a time past what 64 bits hold")
        << header + "0.000000 device $A\n99999999999999999999.000000 device $B\n"
        << QStringLiteral("FILE:3: a time beyond 999999999 s: 99999999999999999999.000000 "
                          "device $B");
    QTest::newRow("a line longer than 1 MiB")
        << header + "0.000000 device " + QByteArray(LineRecord::MaxLineBytes, 'x') + "\n"
        << QStringLiteral("FILE:2: a line longer than 1048576 bytes: 0.000000 device ") +
            QString(64, QLatin1Char('x'));
    QTest::newRow("an empty capture")
        << QByteArray() << QStringLiteral("cannot replay FILE: it is empty");
}

// The whole file is read at open(), so that a bad line stops the host before it starts.
void TstLineReplay::refused()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, error);
    const QString path = file(text);
    LineReplay replay;
    QString why;
    QVERIFY(!replay.open(path, &why));
    QCOMPARE(why, QString(error).replace(QStringLiteral("FILE"), path));
}

void TstLineReplay::recordings_data()
{
    QTest::addColumn<QByteArray>("records"); // the whole file
    QTest::addColumn<QByteArray>("played");
    QTest::addColumn<QStringList>("news"); // FILE: its path

    // One paced run of frames with faults and a stall, as the host recorded it before entries
    // had further lines, and the same entries written as they are now; the client's command in
    // it is not played.
    const QByteArray frames = readData("record-frames.bytes");
    QTest::newRow("version 1") << readData("record-v1-frames.record") << frames << QStringList();
    QTest::newRow("version 2") << readData("record-v2-frames.record") << frames << QStringList();
    // Every byte escaped to four: written whole, the text would be four times the longest line.
    const QByteArray noText = QByteArray(600000, '\x01') + "\r\n";
    QTest::newRow("a long line of the stream, written in lines of text a reader takes")
        << LineRecord::header() + LineRecord::format(0, LineRecord::Device, noText) << noText
        << QStringList();
    const QByteArray bareLfs(100000, '\n');
    QTest::newRow("bare LFs, five bytes of text each")
        << LineRecord::header() + LineRecord::format(0, LineRecord::Device, bareLfs) << bareLfs
        << QStringList();
    // No more than 1 MiB of one time goes together. The writer puts each 600014-byte line in
    // three lines of text: joined whole, the run would end at line 10. (Its CR LF falls inside
    // one of the blocks of sixteen bytes that the writer takes plain text in.)
    const QByteArray line = QByteArray(600014, 'x') + "\r\n";
    const QByteArray entry = LineRecord::format(0, LineRecord::Device, line);
    QTest::newRow("entries of one time past 1 MiB go in pieces, said with the line")
        << LineRecord::header() + entry + entry + entry << line + line + line
        << QStringList {QStringLiteral("FILE:6: the bytes of one time or of one line pass "
                                       "1048576; they go in pieces")};
}

// Every byte of the instrument that the recording holds is played, in order, none changed.
void TstLineReplay::recordings()
{
    QFETCH(QByteArray, records);
    QFETCH(QByteArray, played);
    QFETCH(QStringList, news);
    const QString path = file(records);
    LineReplay replay;
    QString error;
    QVERIFY2(replay.open(path, &error), qPrintable(error));
    replay.start(0);
    QByteArray bytes;
    for (int i = 0; i < 100000 && !replay.atEnd(); ++i)
        bytes += replay.take(qMax<qint64>(0, replay.nextUs()), 1 << 20);
    QVERIFY(replay.atEnd());
    QVERIFY(bytes == played);
    QCOMPARE(replay.takeNews(), news.replaceInStrings(QStringLiteral("FILE"), path));
}

void TstLineReplay::fileChanges_data()
{
    QTest::addColumn<QByteArray>("now"); // what the file holds once its first line was taken
    QTest::addColumn<int>("modified"); // seconds added to its modification time; 0: put back
    QTest::addColumn<QString>("news"); // FILE: its path

    const QString cut = QStringLiteral("FILE changed while it played (67 bytes when opened, %1 "
                                       "now); the replay ends");
    QTest::newRow("cut to its first line") << LineRecord::header() << 5 << cut.arg(29);
    QTest::newRow("rewritten as long") << LineRecord::header() +
            "0.000000 device $C\n"
            "0.100000 device $D\n" << 5 << cut.arg(67);
    // Nothing tells this file from the one opened: the round that finds no bytes ends it.
    QTest::newRow("rewritten as long without the instrument's bytes, its time put back")
        << LineRecord::header() + QByteArray("#\n").repeated(19) << 0
        << QStringLiteral("a round of FILE played none of the instrument's bytes; the replay "
                          "ends");
}

// A looped replay whose file changes under it ends, with one line that says why, rather than
// play (or spin over) what the file holds now.
void TstLineReplay::fileChanges()
{
    QFETCH(QByteArray, now);
    QFETCH(int, modified);
    QFETCH(QString, news);
    const QString path = file(LineRecord::header() + "0.000000 device $A\n0.100000 device $B\n");
    const QByteArray name = QFile::encodeName(path);
    struct stat before = {};
    QVERIFY(::stat(name.constData(), &before) == 0);
    LineReplay replay;
    QString error;
    QVERIFY(replay.open(path, &error));
    replay.setLoop(true);
    replay.start(0);
    QCOMPARE(replay.take(0, 1 << 20), QByteArray("$A\r\n"));
    QFile rewritten(path);
    QVERIFY(rewritten.open(QIODevice::WriteOnly) && rewritten.write(now) == now.size());
    rewritten.close();
    // Set apart from the first write's time, or put back to it, whatever the clock's step.
    timespec times[2] = {before.st_atim, before.st_mtim};
    times[1].tv_sec += modified;
    QVERIFY(::utimensat(AT_FDCWD, name.constData(), times, 0) == 0);
    for (int i = 1; i < 4 && !replay.atEnd(); ++i)
        replay.take(i * 100000, 1 << 20);
    QCOMPARE(replay.nextUs(), -1);
    QCOMPARE(replay.takeNews(), QStringList {news.replace(QStringLiteral("FILE"), path)});
}

QTEST_GUILESS_MAIN(TstLineReplay)
#include "tst_linereplay.moc"
