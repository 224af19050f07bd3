// The NMEA toolkit: what its builders write and its parsers read, against tables of exact results
// in tests/data; f32 against QString::number on a few thousand floats; the parsers on inputs
// large enough to show any work that grows faster than the input.

#include "datarows.h"
#include "nmea.h"

#include <QLocale>
#include <QRegularExpression>

#include <clocale>
#include <cstring>
#include <ctime>
#include <random>

// A float as text that tells every float apart, -0 from 0 too.
static QByteArray text(float value)
{
    char buffer[32];
    qsnprintf(buffer, sizeof buffer, "%.9g", double(value));
    return buffer;
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
    const auto field = [&](int i) { return m.captured(i).toInt(); };
    return QDateTime(m.capturedLength(1) ? QDate(field(1), field(2), field(3)) : QDate(),
                     QTime(field(4), field(5), field(6), field(7)),
                     m.capturedLength(8) ? Qt::UTC : Qt::LocalTime);
}

// What a function of the toolkit writes for the arguments of a table row.
static QByteArray build(const QByteArray &function, const QByteArray &arguments)
{
    QList<QByteArray> a;
    for (const QByteArray &argument : arguments.split(','))
        a << argument.trimmed();
    const auto f = [&](int i) { return float(a.value(i).toDouble()); };
    const QString talker = QString::fromUtf8(a.last());
    GnssCoordinates position;
    position.latitude = a.value(1).toDouble();
    position.longitude = a.value(2).toDouble();

    if (function == "xdr") {
        const float v[3] = {f(0), f(1), f(2)};
        const auto given = [&](int i) { return a[i] == "null" ? nullptr : &v[i]; };
        return Nmea::xdr(given(0), given(1), given(2), talker);
    }
    if (function == "zda") {
        // Local times are read in the zone under test; no other row reads one.
        qputenv("TZ", a[0]);
        tzset();
        return Nmea::zda(dateTime(a[1]), talker);
    }
    const auto n = [&](int i) { return a.value(i).toInt(); };
    if (function == "rmc") // gga takes its own fix quality
        position.fixType = n(3);
    const auto reference = a.value(2) == "T" ? MwvData::TrueWind : MwvData::RelativeWind;
    const QDateTime time = dateTime(a[0]);
    return function == "formatPrefix" ? formatPrefix(talker).toUtf8()
        : function == "calcChecksum"  ? Nmea::calcChecksum(arguments)
        : function == "toDegMin"      ? Nmea::toDegMin(a[0].toDouble(), n(1), n(2)).toLatin1()
        : function == "f32"           ? f32(f(0), n(1)).toLatin1()
        : function == "wrap360"       ? text(wrap360(f(0)))
        : function == "wrap180"       ? text(wrap180(f(0)))
        : function == "wrap2PI"       ? text(wrap2PI(f(0)))
        : function == "wrapPI"        ? text(wrapPI(f(0)))
        : function == "dbt"           ? Nmea::dbt(f(0), talker)
        : function == "dpt"           ? Nmea::dpt(f(0), f(1), talker)
        : function == "mtw"           ? Nmea::mtw(f(0), talker)
        : function == "yxxdr"         ? Nmea::yxxdr(f(0), f(1))
        : function == "rmc"           ? Nmea::rmc(time, position, f(4), f(5), talker)
        : function == "mwv"           ? Nmea::mwv(n(0), f(1), reference, a[3] == "1", talker)
        : function == "gga"
        ? Nmea::gga(time, position, n(3), ushort(n(4)), f(5), f(6), f(7), talker)
        : QByteArray("no such function");
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
    void hugeInput_data();
    void hugeInput();
};

void TestNmea::builders_data()
{
    addRows("nmea-builders.txt", {"function", "arguments", "expected"});
}

void TestNmea::builders()
{
    QFETCH(QByteArray, function);
    QFETCH(QByteArray, arguments);
    QFETCH(QByteArray, expected);
    // Qt's default locale and the C library's numeric one, where the machine has it.
    const bool german = QByteArray(QTest::currentDataTag()).endsWith("German locale");
    const QByteArray cNumeric = std::setlocale(LC_NUMERIC, nullptr);
    QLocale::setDefault(german ? QLocale(QLocale::German, QLocale::Germany) : QLocale::c());
    if (german)
        std::setlocale(LC_NUMERIC, "de_DE.UTF-8") || std::setlocale(LC_NUMERIC, "de_DE");
    const QByteArray actual = build(function, arguments);
    std::setlocale(LC_NUMERIC, cNumeric.constData());
    QCOMPARE(actual, function.startsWith("wrap") ? asFloats(expected) : expected);
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

void TestNmea::hugeInput_data()
{
    QTest::addColumn<QByteArray>("input");
    const QByteArray starts = QByteArray("$SDDBT,1,f,2,M").repeated(300000 / 14 + 1);
    QTest::newRow("a megabyte of dollars") << QByteArray(1 << 20, '$');
    QTest::newRow("300 000 characters of DBT starts, star on the next line") << starts + "\n*";
    QTest::newRow("a megabyte of digits") << "$YXMTW," + QByteArray(1 << 20, '7');
}

void TestNmea::hugeInput()
{
    QFETCH(QByteArray, input);
    for (const QByteArray function :
         {"get dbt", "get mtw", "get xdr", "get mwv", "getMwvValues", "isNmeaString"})
        QCOMPARE(parse(function, input), QByteArray(function.startsWith("get ") ? "- -" : "-"));
    QVERIFY(!Nmea::checksum(input));
}

QTEST_GUILESS_MAIN(TestNmea)
#include "tst_nmea.moc"
