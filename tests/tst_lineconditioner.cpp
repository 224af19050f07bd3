// LineConditioner as plain code: bytes and a clock in, bytes out. The transforms and the pace
// are tables in tests/data; the statistics of the faults and their seeding are checked here.

#include "datarows.h"
#include "lineconditioner.h"
#include "linerecord.h"

#include <QtTest>

#include <cmath>

namespace {

// Bytes escaped as in a line record; "(nothing)" for none.
QByteArray recordBytes(const QByteArray &text)
{
    LineRecord::Entry entry;
    if (text == "(nothing)")
        return QByteArray();
    return LineRecord::parse("0.000000 device " + text, &entry) ? entry.bytes
                                                                : QByteArray("(bad escape)");
}

// 10^4 NMEA-like lines of 20 to 60 bytes.
QByteArray sentences(int count)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes += "$SMDBT," + QByteArray(10 + i % 40, char('0' + i % 10)) + "*00\r\n";
    return bytes;
}

QByteArray conditioned(quint64 seed, const QString &faults, const QByteArray &input)
{
    LineConditioner line(LineConditioner::Lines, seed);
    LineFaultRates rates;
    QString error;
    rates.parse(faults, &error);
    line.setRates(rates);
    line.write(0, input);
    return line.take(LineConditioner::PartialLineUs);
}

} // namespace

class TstLineConditioner : public QObject
{
    Q_OBJECT

private slots:
    void transform_data();
    void transform();
    void pacing_data();
    void pacing();
    void seeded();
    void rates_data();
    void rates();
    void faultList_data();
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
}

void TstLineConditioner::pacing_data()
{
    QTest::addColumn<QList<QByteArray>>("row");
    for (const QList<QByteArray> &row : readRows("line-pacing.txt"))
        QTest::newRow(row.at(0).constData()) << row;
}

void TstLineConditioner::pacing()
{
    QFETCH(QList<QByteArray>, row);
    QCOMPARE(row.size(), 4);
    LineConditioner line(row.at(1) == "chunks" ? LineConditioner::Chunks : LineConditioner::Lines);
    line.setBaud(row.at(2).toInt());
    for (const QString &operation : QString::fromLatin1(row.at(3)).split(QLatin1Char(';'))) {
        const QStringList a = operation.simplified().split(QLatin1Char(' '));
        const QChar op = a.at(0).at(0);
        const qint64 x = a.value(1).toLongLong();
        const qint64 y = a.value(2).toLongLong();
        if (op == QLatin1Char('w'))
            line.write(x, QByteArray(int(y - 1), 'a') + '\n');
        else if (op == QLatin1Char('h'))
            line.write(x, QByteArray(int(y), 'a'));
        else if (op == QLatin1Char('t'))
            QVERIFY2(line.take(x).size() == y, qPrintable(operation));
        else if (op == QLatin1Char('r'))
            QVERIFY2(line.room(x) == y,
                     qPrintable(operation + QStringLiteral(": %1").arg(line.room(x))));
        else if (op == QLatin1Char('n'))
            QVERIFY2(line.nextUs() == x,
                     qPrintable(operation + QStringLiteral(": %1").arg(line.nextUs())));
        else if (op == QLatin1Char('l'))
            line.setListening(x != 0);
        else if (op == QLatin1Char('s'))
            line.stall(x, y);
        else if (op == QLatin1Char('u'))
            line.unplug(x, y);
        else if (op == QLatin1Char('g'))
            line.injectGarbage(x, int(y));
        else if (op == QLatin1Char('c')) {
            const LineCounts &c = line.counts();
            const qint64 value = a.at(1) == QLatin1String("out") ? c.bytesOut
                : a.at(1) == QLatin1String("unheard")            ? c.unheardBytes
                                                                 : c.unpluggedBytes;
            QVERIFY2(value == y, qPrintable(operation + QStringLiteral(": %1").arg(value)));
        } else
            QFAIL(qPrintable(operation));
    }
}

// The same seed gives the same bytes, another seed other bytes; the direction's counts add up.
void TstLineConditioner::seeded()
{
    const QString all = QStringLiteral("checksum=0.05,drop=0.05,truncate=0.05,duplicate=0.05,"
                                       "garbage=0.05,flip=0.001");
    const QByteArray input = sentences(10000);
    const QByteArray first = conditioned(42, all, input);
    QCOMPARE(conditioned(42, all, input), first);
    QVERIFY(conditioned(43, all, input) != first);
    QVERIFY(first != input);
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
    const double trials = perUnit > 0 ? 10000 : input.size();
    const double p = rates.rate[size_t(kind)];
    const double expected = trials * p;
    const double sigma = std::sqrt(trials * p * (1 - p));
    const qint64 seen = line.counts().faults[size_t(kind)];
    QVERIFY2(std::fabs(seen - expected) <= 4 * sigma,
             qPrintable(QStringLiteral("%1 injected, %2 expected").arg(seen).arg(expected)));
}

void TstLineConditioner::faultList_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("result"); // toString() after parse, or the error
    QTest::newRow("two kinds") << "drop=0.5, flip=1"
                               << "drop=0.5,flip=1";
    QTest::newRow("zero is none") << "garbage=0"
                                  << "none";
    QTest::newRow("unknown kind")
        << "noise=0.1"
        << "unknown fault \"noise\" (KIND=RATE with KIND one of checksum, drop, truncate, "
           "duplicate, garbage, flip)";
    QTest::newRow("above 1") << "drop=1.5"
                             << "the rate of drop must be a number from 0 to 1, got \"1.5\"";
    QTest::newRow("not a number") << "drop=nan"
                                  << "the rate of drop must be a number from 0 to 1, got \"nan\"";
}

void TstLineConditioner::faultList()
{
    QFETCH(QString, text);
    QFETCH(QString, result);
    LineFaultRates rates;
    QString error;
    QCOMPARE(rates.parse(text, &error) ? rates.toString() : error, result);
}

QTEST_GUILESS_MAIN(TstLineConditioner)
#include "tst_lineconditioner.moc"
