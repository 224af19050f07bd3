// LineReplay as plain code: a file and a time in, the bytes due by then out.

#include "linerecord.h"
#include "linereplay.h"

#include <QTemporaryDir>
#include <QtTest>

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

private:
    // A file in the test's folder with text, its path.
    QString file(const QByteArray &text)
    {
        const QString path = dir.filePath(QString::number(++files));
        QFile out(path);
        return out.open(QIODevice::WriteOnly) && out.write(text) == text.size() ? path : QString();
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
    QTest::newRow("the client's commands are not played")
        << QByteArray("0.000000 device $A\n0.010000 client #go\n0.020000 device $B\n") << 0 << false
        << Takes {{0, "$A\r\n", 20000}, {19999, "", 20000}, {20000, "$B\r\n", -1}} << 1;
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
    QTest::addColumn<QString>("name");
    // One paced run of frames with faults and a stall, as the host recorded it before entries
    // had further lines, and the same entries written as they are now.
    QTest::newRow("version 1") << QStringLiteral("record-v1-frames.record");
    QTest::newRow("version 2") << QStringLiteral("record-v2-frames.record");
}

// Every byte of the instrument that the recording holds is played, in order, none changed.
void TstLineReplay::recordings()
{
    QFETCH(QString, name);
    QFile expected(QStringLiteral(KELVANE_TEST_DATA_DIR "/record-frames.bytes"));
    QVERIFY(expected.open(QIODevice::ReadOnly));
    LineReplay replay;
    QString error;
    QVERIFY2(replay.open(QStringLiteral(KELVANE_TEST_DATA_DIR "/") + name, &error),
             qPrintable(error));
    replay.start(0);
    QByteArray played;
    for (int i = 0; i < 100000 && !replay.atEnd(); ++i)
        played += replay.take(qMax<qint64>(0, replay.nextUs()), 1 << 20);
    QVERIFY(replay.atEnd());
    QCOMPARE(played, expected.readAll());
}

QTEST_GUILESS_MAIN(TstLineReplay)
#include "tst_linereplay.moc"
