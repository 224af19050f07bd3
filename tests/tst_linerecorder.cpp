// LineRecorder as plain code: deliveries in, the record's text out.

#include "linerecorder.h"

#include <QBuffer>
#include <QtTest>

namespace {

struct Delivery
{
    qint64 us;
    LineRecord::Source source;
    QByteArray bytes;
};
using Deliveries = QVector<Delivery>;

const LineRecord::Source D = LineRecord::Device;
const LineRecord::Source C = LineRecord::Client;

} // namespace

Q_DECLARE_METATYPE(Deliveries)

class TstLineRecorder : public QObject
{
    Q_OBJECT

private slots:
    void entries_data();
    void entries();
};

void TstLineRecorder::entries_data()
{
    QTest::addColumn<Deliveries>("deliveries");
    QTest::addColumn<QByteArray>("text"); // after the header and comment

    QTest::newRow("deliveries within a millisecond of the first are one entry, at the last's time")
        << Deliveries {{1000000, D, "$A\r\n"},
                       {1000600, D, "$B\r"},
                       {1001000, D, "\n"},
                       {1001200, D, "0\r\n"}}
        << QByteArray("1.001000 device $A\n $B\n1.001200 device 0\n");
    QTest::newRow("a delivery after the window keeps its own time, a line cut between them")
        << Deliveries {{0, D, "$SMDBT,1"}, {1001, D, "*2B\r\n$C\r\n"}}
        << QByteArray("0.000000 device $SMDBT,1\\\n0.001001 device *2B\n $C\n");
    QTest::newRow("the other source ends the entry")
        << Deliveries {{5, D, "$A\r\n"}, {6, C, "#go"}, {7, D, "$B\r\n"}}
        << QByteArray("0.000005 device $A\n0.000006 client #go\\\n0.000007 device $B\n");
    QTest::newRow("short lines of a frame ping, CR LF across blocks of sixteen bytes")
        << Deliveries {{0, D, "1\r\n22\r\n333\r\n4444\r\n5555\r\n666666\r\n7654321\r\n"}}
        << QByteArray("0.000000 device 1\n 22\n 333\n 4444\n 5555\n 666666\n 7654321\n");
    QTest::newRow("a CR that ends a block of sixteen bytes without its LF, lines after it")
        << Deliveries {{0, D, "123456789012345\r8\r\n1234567890123\r\n"}}
        << QByteArray("0.000000 device 123456789012345\\r8\n 1234567890123\n");
    QTest::newRow("bytes that are no text, each in a block of sixteen bytes with an LF")
        << Deliveries {{0, D,
                        "\x1f"
                        "234567890123\r\n7\r\n"},
                       {2000, D,
                        "\x7f"
                        "234567890123\r\n7\r\n"},
                       {4000, D,
                        "\x80"
                        "234567890123\r\n7\r\n"},
                       {6000, D, "\\234567890123\r\n7\r\n"},
                       {8000, D, "$SMDBT,\r\n\n234567\r\n"}}
        << QByteArray("0.000000 device \\x1f234567890123\n 7\n"
                      "0.002000 device \\x7f234567890123\n 7\n"
                      "0.004000 device \\x80234567890123\n 7\n"
                      "0.006000 device \\\\234567890123\n 7\n"
                      "0.008000 device $SMDBT,\n \\n\\\n 234567\n");
    QTest::newRow("bytes that are no text, a bare LF, empty and blank lines")
        << Deliveries {{12345678901, D, "\x01\xff\\\t\n\r\n \r\n"}}
        << QByteArray("12345.678901 device \\x01\\xff\\\\\\t\\n\\\n \n  \n");
}

// The text, exact. (How it reads back is LineReplay's, tested with a recording in both versions.)
void TstLineRecorder::entries()
{
    QFETCH(Deliveries, deliveries);
    QFETCH(QByteArray, text);
    QBuffer out;
    QVERIFY(out.open(QIODevice::WriteOnly));
    LineRecorder recorder(&out, QStringLiteral("Line: unpaced"));
    for (const Delivery &delivery : qAsConst(deliveries))
        recorder.add(delivery.us, delivery.source, delivery.bytes);
    QVERIFY(recorder.flush());
    QCOMPARE(out.data(), LineRecord::header() + "# Line: unpaced\n" + text);
}

QTEST_GUILESS_MAIN(TstLineRecorder)
#include "tst_linerecorder.moc"
