// LineConditioner as plain code: bytes and a clock in microseconds in, bytes out. The transforms
// are a table in tests/data; the pace, the events and the listeners are named
// cases here, as are the rates of the faults.

#include "datarows.h"
#include "lineconditioner.h"
#include "linerecord.h"

#include <cmath>

// Bytes escaped as in a line record; "(nothing)" for none.
static QByteArray recordBytes(const QByteArray &text)
{
    QByteArray bytes;
    return text == "(nothing)"               ? QByteArray()
        : LineRecord::unescape(text, &bytes) ? bytes
                                             : QByteArray("(bad escape)");
}

// 10^4 NMEA-like lines of 20 to 60 bytes.
static QByteArray sentences(int count)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes += "$SMDBT," + QByteArray(10 + i % 40, char('0' + i % 10)) + "*00\r\n";
    return bytes;
}

// n bytes: "a"s and an LF; a part of a line: "a"s only.
static QByteArray line(int n)
{
    return QByteArray(n - 1, 'a') + '\n';
}
static QByteArray part(int n)
{
    return QByteArray(n, 'a');
}

class TstLineConditioner : public QObject
{
    Q_OBJECT

private slots:
    void transform_data();
    void transform();
    void crossing_data();
    void crossing();
    void nextWakeUp();
    void runsAheadOfItsReceiver();
    void idleLineStartsAfresh();
    void partialLine();
    void stallHoldsThenGivesAll();
    void unplugLosesWhatIsOnTheLine();
    void nobodyListening();
    void newListenerStartsWithNextLine();
    void garbageGoesBeforeNextLine();
    void chunksGoWhole();
    void rates_data();
    void rates();
};

void TstLineConditioner::transform_data()
{
    QTest::addColumn<QList<QByteArray>>("row");
    for (const QList<QByteArray> &row : readRows("line-transform.txt"))
        QTest::newRow(row.at(0).constData()) << row;
}

void TstLineConditioner::transform()
{
    QFETCH(QList<QByteArray>, row);
    QCOMPARE(row.size(), 7);
    LineConditioner line(row.at(1) == "chunks" ? LineConditioner::Chunks : LineConditioner::Lines,
                         row.at(2).toULongLong());
    LineFaultRates rates;
    QString error;
    QVERIFY2(row.at(3) == "none" || rates.parse(QString::fromLatin1(row.at(3)), &error),
             qPrintable(error));
    line.setRates(rates);
    line.setTalker(row.at(4).trimmed());
    line.write(0, recordBytes(row.at(5)));
    QByteArray out;
    for (QByteArray piece; !(piece = line.take(LineConditioner::PartialLineUs)).isEmpty();)
        out += piece;
    QCOMPARE(LineRecord::escape(out), LineRecord::escape(recordBytes(row.at(6))));
}

void TstLineConditioner::crossing_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("written"); // a line of so many bytes at 0 us
    QTest::addColumn<qint64>("atUs");
    QTest::addColumn<int>("crossed"); // bytes take() gives then
    // 8N1: 10 bits a byte; at 115200 baud byte k has crossed at ceil(k * 86.806) us.
    QTest::newRow("115200 baud: nothing before 87 us") << 115200 << 100 << qint64(86) << 0;
    QTest::newRow("115200 baud: byte 1 crosses at 87 us") << 115200 << 100 << qint64(87) << 1;
    QTest::newRow("115200 baud: 99 bytes by 8680 us") << 115200 << 100 << qint64(8680) << 99;
    QTest::newRow("115200 baud: byte 100 at 8681 us") << 115200 << 100 << qint64(8681) << 100;
    QTest::newRow("9600 baud: byte 1 at 1042 us") << 9600 << 10 << qint64(1042) << 1;
    QTest::newRow("9600 baud: 9 bytes by 10416 us") << 9600 << 10 << qint64(10416) << 9;
    QTest::newRow("unpaced: everything at once") << 0 << 100 << qint64(0) << 100;
}

void TstLineConditioner::crossing()
{
    QFETCH(int, baud);
    QFETCH(int, written);
    QFETCH(qint64, atUs);
    QFETCH(int, crossed);
    LineConditioner conditioner;
    conditioner.setBaud(baud);
    conditioner.write(0, line(written));
    QCOMPARE(conditioner.take(atUs).size(), crossed);
    QCOMPARE(conditioner.counts().bytesOut, qint64(crossed));
}

// nextUs() says when take() has the next byte, and -1 once nothing waits.
void TstLineConditioner::nextWakeUp()
{
    LineConditioner conditioner;
    conditioner.setBaud(115200);
    conditioner.write(0, line(100));
    QCOMPARE(conditioner.take(87).size(), 1);
    QCOMPARE(conditioner.nextUs(), qint64(174));
    QCOMPARE(conditioner.take(8681).size(), 99);
    QCOMPARE(conditioner.nextUs(), qint64(-1));
}

// The line takes 20 ms of bytes ahead of its receiver and no more, so that a faster source
// backs up.
void TstLineConditioner::runsAheadOfItsReceiver()
{
    LineConditioner conditioner;
    conditioner.setBaud(115200);
    QCOMPARE(conditioner.room(0), qint64(230));
    conditioner.write(0, line(230));
    QCOMPARE(conditioner.room(0), qint64(0));
    QCOMPARE(conditioner.room(8681), qint64(100));
}

void TstLineConditioner::idleLineStartsAfresh()
{
    LineConditioner conditioner;
    conditioner.setBaud(115200);
    conditioner.write(0, line(10));
    QCOMPARE(conditioner.take(1000).size(), 10);
    conditioner.write(50000, line(10));
    QCOMPARE(conditioner.take(50086).size(), 0);
    QCOMPARE(conditioner.take(50087).size(), 1);
}

// A part of a line waits for its LF, for 100 ms at most.
void TstLineConditioner::partialLine()
{
    LineConditioner conditioner;
    conditioner.setBaud(0);
    conditioner.write(0, part(5));
    QCOMPARE(conditioner.take(0).size(), 0);
    QCOMPARE(conditioner.nextUs(), qint64(100000));
    conditioner.write(10, line(3));
    QCOMPARE(conditioner.take(10).size(), 8);
    conditioner.write(20, part(5));
    QCOMPARE(conditioner.take(100019).size(), 0);
    QCOMPARE(conditioner.take(100020).size(), 5);
}

void TstLineConditioner::stallHoldsThenGivesAll()
{
    LineConditioner conditioner;
    conditioner.setBaud(115200);
    conditioner.write(0, line(100));
    conditioner.stall(0, 20000);
    QCOMPARE(conditioner.take(8681).size(), 0);
    QCOMPARE(conditioner.nextUs(), qint64(20000));
    QCOMPARE(conditioner.take(20000).size(), 100);
}

// What is on the line and what comes during an unplug is lost; what comes after it crosses.
void TstLineConditioner::unplugLosesWhatIsOnTheLine()
{
    LineConditioner conditioner;
    conditioner.setBaud(115200);
    conditioner.write(0, line(100));
    QCOMPARE(conditioner.take(87).size(), 1);
    conditioner.unplug(88, 5000);
    QCOMPARE(conditioner.take(8681).size(), 0);
    conditioner.write(1000, line(10));
    QCOMPARE(conditioner.take(9000).size(), 0);
    conditioner.write(6000, line(10));
    QCOMPARE(conditioner.take(6869).size(), 10);
    QCOMPARE(conditioner.counts().unpluggedBytes, qint64(109));
}

// While nobody listens the bytes still take their time on the line, and are dropped and counted;
// a listener who leaves loses what waits.
void TstLineConditioner::nobodyListening()
{
    LineConditioner conditioner;
    conditioner.setBaud(115200);
    conditioner.setListening(false);
    conditioner.write(0, line(10) + part(3));
    QCOMPARE(conditioner.room(0), qint64(217));
    QCOMPARE(conditioner.take(100000).size(), 0);
    conditioner.setListening(true);
    conditioner.write(200000, line(10));
    conditioner.setListening(false);
    QCOMPARE(conditioner.take(300000).size(), 0);
    QCOMPARE(conditioner.counts().unheardBytes, qint64(23));
}

// A listener's first byte starts a line: one who joins, or the next after one who left
// mid-line, starts with the next whole line.
void TstLineConditioner::newListenerStartsWithNextLine()
{
    for (const bool leftMidLine : {false, true}) {
        LineConditioner conditioner;
        conditioner.setBaud(0);
        conditioner.setListening(leftMidLine);
        conditioner.write(0, part(3));
        conditioner.setListening(false);
        conditioner.setListening(true);
        conditioner.write(0, line(5));
        QCOMPARE(conditioner.take(0).size(), 0);
        conditioner.write(0, line(5));
        QCOMPARE(conditioner.take(0).size(), 5);
    }
}

void TstLineConditioner::garbageGoesBeforeNextLine()
{
    LineConditioner conditioner;
    conditioner.setBaud(0);
    conditioner.write(0, part(3));
    conditioner.injectGarbage(0, 4);
    QCOMPARE(conditioner.take(0).size(), 4);
    conditioner.write(0, line(2));
    QCOMPARE(conditioner.take(0).size(), 5);
    // On a paced line noise waits to cross: no more of it than the line may hold.
    conditioner.setBaud(9600);
    QCOMPARE(conditioner.injectGarbage(0, 1000000), 1000000);
    QCOMPARE(conditioner.injectGarbage(0, 1000000), LineConditioner::MaxHeldBytes - 1000000);
    QCOMPARE(conditioner.pending(), qint64(LineConditioner::MaxHeldBytes));
}

// Commands: each write crosses whole, at its last byte; none while nobody takes them.
void TstLineConditioner::chunksGoWhole()
{
    LineConditioner conditioner(LineConditioner::Chunks);
    conditioner.setBaud(115200);
    conditioner.write(0, line(10));
    conditioner.write(0, line(10));
    QCOMPARE(conditioner.take(868).size(), 0);
    QCOMPARE(conditioner.take(869).size(), 10);
    QCOMPARE(conditioner.take(1736).size(), 0);
    QCOMPARE(conditioner.take(1737).size(), 10);
    conditioner.setListening(false);
    conditioner.write(2000, line(10));
    conditioner.setListening(true);
    QCOMPARE(conditioner.take(5000).size(), 0);
}

void TstLineConditioner::rates_data()
{
    QTest::addColumn<QString>("faults");
    QTest::addColumn<int>("kind");
    QTest::addColumn<double>("perUnit"); // trials per line
    for (int kind = 0; kind < LineFaultCount - 1; ++kind)
        QTest::newRow(qPrintable(lineFaultName(LineFault(kind))))
            << lineFaultName(LineFault(kind)) + QStringLiteral("=0.1") << kind << 1.0;
    QTest::newRow("flip") << QStringLiteral("flip=0.002") << int(LineFault::Flip) << 0.0;
}

// Each kind at its rate, within four standard deviations over 10^4 lines.
void TstLineConditioner::rates()
{
    QFETCH(QString, faults);
    QFETCH(int, kind);
    QFETCH(double, perUnit);
    LineConditioner line(LineConditioner::Lines, 7);
    QString error;
    LineFaultRates rates;
    QVERIFY(rates.parse(faults, &error));
    line.setRates(rates);
    const QByteArray input = sentences(10000);
    line.write(0, input);
    const double trials = perUnit > 0 ? 10000 : input.size(), p = rates.rate[size_t(kind)];
    const double expected = trials * p;
    const qint64 seen = line.counts().faults[size_t(kind)];
    QVERIFY2(std::fabs(seen - expected) <= 4 * std::sqrt(expected * (1 - p)),
             qPrintable(QStringLiteral("%1 injected, %2 expected").arg(seen).arg(expected)));
}

QTEST_GUILESS_MAIN(TstLineConditioner)
#include "tst_lineconditioner.moc"
