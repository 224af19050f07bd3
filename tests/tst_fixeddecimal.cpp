// Numbers as the instrument writes them, read exactly, and whether two of them can be roundings
// of one value: the check by which the scope compares a header's pitch and roll with its
// attitude sentence.

#include "fixeddecimal.h"
#include "nmea.h"

#include <QtTest>

#include <cmath>
#include <cstring>

// Under AddressSanitizer every allocation records its whole stack (scope/sanitizerdefaults.cpp),
// which makes the enumeration below take many minutes: there it visits every 97th value, enough
// for what the sanitizers look for; the arithmetic is checked whole by the other builds.
#if defined(__SANITIZE_ADDRESS__)
static constexpr qint64 Stride = 97;
#else
static constexpr qint64 Stride = 1;
#endif

class tst_FixedDecimal : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void sameValue_data();
    void sameValue();
    void everyDrawOfTheSimulator();
};

void tst_FixedDecimal::parse_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qint64>("units");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<bool>("negative");

    QTest::newRow("three decimals") << QByteArray("-71.650") << true << 71650ll << 3 << true;
    QTest::newRow("negative zero keeps its sign") << QByteArray("-0.0") << true << 0ll << 1 << true;
    QTest::newRow("sixteen digits")
        << QByteArray("9999999999999.999") << false << 0ll << 0 << false;
    QTest::newRow("plus sign") << QByteArray("+1.5") << false << 0ll << 0 << false;
    QTest::newRow("no digit after the point") << QByteArray("5.") << false << 0ll << 0 << false;
    QTest::newRow("two points") << QByteArray("1.2.3") << false << 0ll << 0 << false;
}

void tst_FixedDecimal::parse()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, ok);
    QFETCH(qint64, units);
    QFETCH(int, decimals);
    QFETCH(bool, negative);

    FixedDecimal value;
    value.units = -1;
    QCOMPARE(FixedDecimal::parse(text, &value), ok);
    QCOMPARE(value.units, ok ? units : -1);
    if (ok)
        QVERIFY(value.decimals == decimals && value.negative == negative);
}

void tst_FixedDecimal::sameValue_data()
{
    QTest::addColumn<QByteArray>("a");
    QTest::addColumn<QByteArray>("b");
    QTest::addColumn<bool>("same");

    // A header's value to three decimals against the attitude sentence's to one.
    QTest::newRow("half-way, rounded toward zero")
        << QByteArray("-71.650") << QByteArray("-71.6") << true;
    QTest::newRow("half-way, rounded away") << QByteArray("-71.650") << QByteArray("-71.7") << true;
    QTest::newRow("a tenth off at half-way")
        << QByteArray("-71.650") << QByteArray("-71.5") << false;
    QTest::newRow("just below half-way, rounded up")
        << QByteArray("71.649") << QByteArray("71.7") << false;
    QTest::newRow("just above half-way, rounded down")
        << QByteArray("71.651") << QByteArray("71.6") << false;
    QTest::newRow("carried into the units") << QByteArray("9.960") << QByteArray("10.0") << true;
    QTest::newRow("negative zero") << QByteArray("-0.010") << QByteArray("-0.0") << true;
    QTest::newRow("sign lost") << QByteArray("-0.010") << QByteArray("0.0") << false;
    QTest::newRow("sign added") << QByteArray("0.000") << QByteArray("-0.0") << false;
    QTest::newRow("integer against decimals") << QByteArray("3") << QByteArray("3.499") << true;
    QTest::newRow("far beyond the bound")
        << QByteArray("9999999999999") << QByteArray("0.001") << false;
}

void tst_FixedDecimal::sameValue()
{
    QFETCH(QByteArray, a);
    QFETCH(QByteArray, b);
    QFETCH(bool, same);

    FixedDecimal x;
    FixedDecimal y;
    QVERIFY(FixedDecimal::parse(a, &x) && FixedDecimal::parse(b, &y));
    QCOMPARE(FixedDecimal::sameValue(x, y), same);
}

// Every pitch and roll the simulator can draw (180 u - 90 in single precision, u = rand() as a
// float times 2^-31, so one u for each float from 0 to 2^31 that is a whole number), written as
// the simulator writes it into the header (f32, three decimals) and into the attitude sentence
// (Nmea::yxxdr, one decimal): the two must always agree. The half-way cases of the header's
// third decimal are counted, so that the enumeration is seen to reach both of their roundings.
void tst_FixedDecimal::everyDrawOfTheSimulator()
{
    const float scale = 1.0f / 2147483648.0f;
    qint64 values = 0;
    qint64 halfwayDown = 0;
    qint64 halfwayUp = 0;
    QByteArray firstFailure;
    int failures = 0;
    float previous = NAN;
    float pending = NAN;
    auto check = [&](float pitch, float roll) {
        // "$YXXDR,A,<pitch>,D,PTCH,A,<roll>,D,ROLL*hh"
        const QByteArray sentence = Nmea::yxxdr(pitch, roll);
        const int pitchAt = int(std::strlen("$YXXDR,A,"));
        const int pitchEnd = sentence.indexOf(',', pitchAt);
        const int rollAt = pitchEnd + int(std::strlen(",D,PTCH,A,"));
        for (int i = 0; i < 2; ++i) {
            const float value = i == 0 ? pitch : roll;
            const QByteArray header = f32(value, 3).toLatin1();
            const int at = i == 0 ? pitchAt : rollAt;
            const QByteArray tenths =
                QByteArray::fromRawData(sentence.constData() + at,
                                        (i == 0 ? pitchEnd : sentence.indexOf(',', rollAt)) - at);
            FixedDecimal a;
            FixedDecimal b;
            const bool same = FixedDecimal::parse(header, &a) && FixedDecimal::parse(tenths, &b) &&
                FixedDecimal::sameValue(a, b);
            if (!same && failures++ == 0)
                firstFailure = header + " against " + tenths;
            if (header.endsWith("50")) {
                const qint64 hundredths = a.units / 10;
                (b.units * 10 == hundredths - 5 ? halfwayDown : halfwayUp) += 1;
            }
        }
    };
    // Float bit patterns rise with the value: from 2^24 on every float is a whole number.
    const float firstSparse = 16777216.0f;
    quint32 bits = 0;
    std::memcpy(&bits, &firstSparse, sizeof bits);
    for (qint64 n = 0;; ++n) {
        float f = 0.0f;
        if (n <= 16777216) {
            f = float(n);
        } else {
            ++bits;
            std::memcpy(&f, &bits, sizeof f);
            if (f > 2147483648.0f)
                break;
        }
        const float value = 180.0f * (f * scale) - 90.0f;
        if (value == previous)
            continue;
        previous = value;
        if (values++ % Stride != 0 && value != 90.0f)
            continue;
        if (std::isnan(pending)) {
            pending = value;
        } else {
            check(pending, value);
            pending = NAN;
        }
    }
    if (!std::isnan(pending))
        check(pending, pending);
    qInfo("%lld values from %f to %f; half-way headers rounded down %lld, up %lld times", values,
          double(180.0f * 0.0f - 90.0f), double(previous), halfwayDown, halfwayUp);
    QVERIFY2(failures == 0,
             qPrintable(QStringLiteral("%1 disagreements, the first: %2")
                            .arg(failures)
                            .arg(QString::fromLatin1(firstFailure))));
    QCOMPARE(previous, 90.0f);
    QVERIFY(halfwayDown > 0 && halfwayUp > 0);
}

QTEST_GUILESS_MAIN(tst_FixedDecimal)
#include "tst_fixeddecimal.moc"
