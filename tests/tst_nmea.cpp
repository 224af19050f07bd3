// The NMEA toolkit: what its builders write and its parsers read, against tables of exact results
// in tests/data; f32 against QString::number on a few thousand floats. (Hostile inputs of a
// megabyte are fuzz_nmea's and bench_nmea's.)

#include "datarows.h"
#include "nmea.h"

#include <QLocale>
#include <QRegularExpression>

#include <charconv>
#include <clocale>
#include <cstring>
#include <ctime>
#include <random>

// A float as text that tells every float apart, -0 from 0 too, whatever the locale ("%.9g").
static QByteArray text(float value)
{
    char buffer[32];
    const auto end =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 9);
    return QByteArray(buffer, int(end.ptr - buffer));
}

// An expected result with every word that is a number written as the float it stands for.
static QByteArray asFloats(const QByteArray &result)
{
    QList<QByteArray> words = result.split(' ');
    for (QByteArray &word : words) {
        bool number = false;
        const double value = word.toDouble(&number);
        if (number)
            word = text(float(value));
    }
    return words.join(' ');
}

// yyyy-MM-ddTHH:mm:ss.zzz, in UTC with a "Z"; without the date, a time of day alone.
static QDateTime dateTime(const QByteArray &text)
{
    static const QRegularExpression format(
        QStringLiteral("^(?:(-?\\d+)-(\\d+)-(\\d+))?T(\\d+):(\\d+):(\\d+)\\.(\\d+)(Z?)$"));
    const QRegularExpressionMatch m = format.match(QString::fromLatin1(text));
    const auto part = [&](int i) { return m.captured(i).toInt(); };
    return QDateTime(m.capturedLength(1) ? QDate(part(1), part(2), part(3)) : QDate(),
                     QTime(part(4), part(5), part(6), part(7)),
                     m.capturedLength(8) ? Qt::UTC : Qt::LocalTime);
}

// A number of a table row as the builders take it: read as a double, then rounded to a float, so
// that the largest float reads as itself.
static float number(const QByteArray &text)
{
    return float(text.toDouble());
}

// A builder of the toolkit called with the fields of a row of its table.
using Fields = const QByteArrayList &;
using Builder = QByteArray (*)(Fields);
Q_DECLARE_METATYPE(Builder)

// Adds the rows of tests/data/nmea-<name>.txt ("tag | argument | ... | expected", unescaped) as
// rows "<name>: <tag>" of build, and again under a German locale.
static void addBuilderRows(const char *name, Builder build)
{
    const QByteArray table = "nmea-" + QByteArray(name).toLower() + ".txt";
    for (const QByteArrayList &row : readRows(table.constData())) {
        QByteArrayList fields;
        for (const QByteArray &field : row)
            fields << unescape(field);
        const QByteArrayList arguments = fields.mid(1, fields.size() - 2);
        QTest::newRow(name + (": " + row.first())) << build << arguments << fields.last() << false;
        QTest::newRow(name + (": " + row.first() + ", German locale"))
            << build << arguments << fields.last() << true;
    }
}

// What a parser of the toolkit reads out of input, written as the results of the parser table.
static QByteArray parse(const QByteArray &function, const QByteArray &input)
{
    if (function == "checksum")
        return Nmea::checksum(input) ? "true" : "false";
    if (function == "isNmeaString") {
        QByteArray piece("-");
        const bool found = Nmea::isNmeaString(input, &piece);
        return found == Nmea::isNmeaString(input) && found == (piece != "-") ? piece
                                                                             : "results differ";
    }
    constexpr float untouched = -999.0f;
    if (function == "getMwvValues") {
        MwvData data;
        data.speed = data.angle = untouched;
        data.reference = MwvData::RelativeWind;
        data.valid = true;
        if (!Nmea::getMwvValues(input, data))
            return data.speed == untouched && data.angle == untouched && data.valid ? "-"
                                                                                    : "touched";
        return text(data.angle) + (data.reference == MwvData::TrueWind ? " T " : " R ") +
            text(data.speed) + (data.valid ? " 1" : " 0");
    }
    const QByteArray name = function.mid(4);
    const QHash<QByteArray, int> keys {
        {"dbt", C::Dbt}, {"mtw", C::Mtw}, {"xdr", C::Xdr}, {"mwv", C::Mwv}};
    const int key = keys.value(name, name.toInt());
    float value = untouched, first = untouched, second = untouched;
    const bool found = Nmea::getValue(input, key, value);
    const bool foundBoth = Nmea::getValues(input, key, first, second);
    if (found ? foundBoth && text(first) != text(value)
              : value != untouched || (!foundBoth && (first != untouched || second != untouched)))
        return "touched, or the two readings differ";
    return (found ? text(value) : "-") + ' ' + (foundBoth ? text(second) : "-");
}

// Random floats that stress fixed-point rounding: any bit pattern, and exact halves of the last
// decimal.
static float randomFloat(std::mt19937 &random)
{
    // A draw below highest, from the top of a 32-bit one.
    const auto below = [&random](quint32 highest) {
        return quint32(quint64(random()) * highest >> 32);
    };
    float value;
    do {
        const quint32 bits = quint32(random());
        std::memcpy(&value, &bits, sizeof value);
    } while (!std::isfinite(value));
    if (below(2))
        return value;
    const int numerator = int(below(4000001)) - 2000000;
    return float(numerator) / float(1 << (1 + below(11)));
}

class TestNmea : public QObject
{
    Q_OBJECT

private slots:
    void builders_data();
    void builders();
    void fixedPointMatchesQString();
    void parsers_data();
    void parsers();
};

void TestNmea::builders_data()
{
    QTest::addColumn<Builder>("build");
    QTest::addColumn<QByteArrayList>("arguments");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("german");
    addBuilderRows("formatPrefix",
                   [](Fields a) { return formatPrefix(QString::fromUtf8(a[0])).toUtf8(); });
    addBuilderRows("calcChecksum", [](Fields a) { return Nmea::calcChecksum(a[0]); });
    addBuilderRows("toDegMin", [](Fields a) {
        return Nmea::toDegMin(a[0].toDouble(), a[1].toInt(), a[2].toInt()).toLatin1();
    });
    addBuilderRows("f32", [](Fields a) { return f32(number(a[0]), a[1].toInt()).toLatin1(); });
    // The wraps give floats, written as text, bit for bit.
    addBuilderRows("wrap360", [](Fields a) { return text(wrap360(number(a[0]))); });
    addBuilderRows("wrap180", [](Fields a) { return text(wrap180(number(a[0]))); });
    addBuilderRows("wrap2PI", [](Fields a) { return text(wrap2PI(number(a[0]))); });
    addBuilderRows("wrapPI", [](Fields a) { return text(wrapPI(number(a[0]))); });
    addBuilderRows("dbt",
                   [](Fields a) { return Nmea::dbt(number(a[0]), QString::fromUtf8(a[1])); });
    addBuilderRows("dpt", [](Fields a) {
        return Nmea::dpt(number(a[0]), number(a[1]), QString::fromUtf8(a[2]));
    });
    addBuilderRows("mtw",
                   [](Fields a) { return Nmea::mtw(number(a[0]), QString::fromUtf8(a[1])); });
    addBuilderRows("xdr", [](Fields a) {
        // A value left empty is passed as a null pointer.
        const float values[3] = {number(a[0]), number(a[1]), number(a[2])};
        const auto given = [&](int i) { return a[i].isEmpty() ? nullptr : &values[i]; };
        return Nmea::xdr(given(0), given(1), given(2), QString::fromUtf8(a[3]));
    });
    addBuilderRows("yxxdr", [](Fields a) { return Nmea::yxxdr(number(a[0]), number(a[1])); });
    addBuilderRows("rmc", [](Fields a) {
        const GnssCoordinates position {a[1].toDouble(), a[2].toDouble(), a[3].toInt()};
        return Nmea::rmc(dateTime(a[0]), position, number(a[4]), number(a[5]),
                         QString::fromUtf8(a[6]));
    });
    // The fix quality is the builder's argument; the position's fix type is not read.
    addBuilderRows("gga", [](Fields a) {
        const GnssCoordinates position {a[1].toDouble(), a[2].toDouble(), 0};
        return Nmea::gga(dateTime(a[0]), position, a[3].toInt(), ushort(a[4].toInt()), number(a[5]),
                         number(a[6]), number(a[7]), QString::fromUtf8(a[8]));
    });
    addBuilderRows("zda", [](Fields a) {
        // The zone under test, before a local time is read.
        qputenv("TZ", a[0]);
        tzset();
        return Nmea::zda(dateTime(a[1]), QString::fromUtf8(a[2]));
    });
    addBuilderRows("mwv", [](Fields a) {
        return Nmea::mwv(a[0].toInt(), number(a[1]),
                         a[2] == "T" ? MwvData::TrueWind : MwvData::RelativeWind, a[3] == "true",
                         QString::fromUtf8(a[4]));
    });
}

void TestNmea::builders()
{
    QFETCH(Builder, build);
    QFETCH(QByteArrayList, arguments);
    QFETCH(QByteArray, expected);
    QFETCH(bool, german);
    // Qt's default locale and the C library's numeric one (where the machine has it) leave the
    // decimal point alone.
    const QByteArray cNumeric = std::setlocale(LC_NUMERIC, nullptr);
    QLocale::setDefault(german ? QLocale(QLocale::German, QLocale::Germany) : QLocale::c());
    if (german)
        std::setlocale(LC_NUMERIC, "de_DE.UTF-8") || std::setlocale(LC_NUMERIC, "de_DE");
    const QByteArray actual = build(arguments);
    std::setlocale(LC_NUMERIC, cNumeric.constData());
    QCOMPARE(actual, expected);
}

void TestNmea::fixedPointMatchesQString()
{
    // Seeded as QRandomGenerator seeds its engine (Qt 5.10 and later): the floats are those this
    // test has always taken.
    std::seed_seq seed {20240305u};
    std::mt19937 random(seed);
    for (int i = 0; i < 4000; ++i) {
        const float value = randomFloat(random);
        const int decimals = 1 + (i & 3);
        QCOMPARE(f32(value, decimals), QString::number(double(value), 'f', decimals));
    }
}

void TestNmea::parsers_data()
{
    addRows("nmea-parsers.txt", {"function", "input", "expected"});
}

void TestNmea::parsers()
{
    QFETCH(QByteArray, function);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    const bool numbers = function.startsWith("get");
    QCOMPARE(parse(function, input), numbers ? asFloats(expected) : expected);
}

QTEST_GUILESS_MAIN(TestNmea)
#include "tst_nmea.moc"
