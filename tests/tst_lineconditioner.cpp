// LineConditioner as plain code: bytes and a clock in, bytes out. The transforms, the pace and
// the fault lists are tables in tests/data; the rates of the faults are checked here.

#include "datarows.h"
#include "lineconditioner.h"
#include "linerecord.h"

#include <cmath>

// Bytes escaped as in a line record; "(nothing)" for none.
static QByteArray recordBytes(const QByteArray &text)
{
    LineRecord::Entry entry;
    return text == "(nothing)"                                 ? QByteArray()
        : LineRecord::parse("0.000000 device " + text, &entry) ? entry.bytes
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

class TstLineConditioner : public QObject
{
    Q_OBJECT

private slots:
    void transform_data();
    void transform();
    void pacing_data() { addRows("line-pacing.txt", {"units", "baud", "operations"}); }
    void pacing();
    void rates_data();
    void rates();
    void faultList_data() { addRows("line-fault-lists.txt", {"text", "result"}); }
    void faultList();
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

    // Recorded and read back: the same bytes at the same time.
    QByteArray back;
    for (const QByteArray &line :
         LineRecord::format(7000005, LineRecord::Device, out).split('\n')) {
        LineRecord::Entry entry;
        QVERIFY2(line.isEmpty() || (LineRecord::parse(line, &entry) && entry.us == 7000005),
                 line.constData());
        back += entry.bytes;
    }
    QCOMPARE(back, out);
}

void TstLineConditioner::pacing()
{
    QFETCH(QByteArray, units);
    QFETCH(QByteArray, baud);
    QFETCH(QByteArray, operations);
    LineConditioner line(units == "chunks" ? LineConditioner::Chunks : LineConditioner::Lines);
    line.setBaud(baud.toInt());
    for (const QByteArray &operation : operations.split(';')) {
        const QList<QByteArray> a = operation.simplified().split(' ');
        const qint64 x = a.value(1).toLongLong();
        const qint64 y = a.value(2).toLongLong();
        const char op = a.at(0).at(0);
        qint64 seen = y;
        if (op == 'w' || op == 'h')
            line.write(x, QByteArray(int(y) - (op == 'w'), 'a') + QByteArray(op == 'w', '\n'));
        else if (op == 't')
            seen = line.take(x).size();
        else if (op == 'r')
            seen = line.room(x);
        else if (op == 'n')
            seen = line.nextUs();
        else if (op == 'l')
            line.setListening(x != 0);
        else if (op == 's')
            line.stall(x, y);
        else if (op == 'u')
            line.unplug(x, y);
        else if (op == 'g')
            line.injectGarbage(x, int(y));
        else if (op == 'c')
            seen = a.at(1) == "out"    ? line.counts().bytesOut
                : a.at(1) == "unheard" ? line.counts().unheardBytes
                                       : line.counts().unpluggedBytes;
        else
            QFAIL(operation.constData());
        QVERIFY2(seen == (op == 'n' ? x : y),
                 qPrintable(operation + ": " + QByteArray::number(seen)));
    }
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

void TstLineConditioner::faultList()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, result);
    LineFaultRates rates;
    QString error;
    QCOMPARE(rates.parse(QString::fromUtf8(text), &error) ? rates.toString() : error,
             QString::fromUtf8(result));
}

QTEST_GUILESS_MAIN(TstLineConditioner)
#include "tst_lineconditioner.moc"
