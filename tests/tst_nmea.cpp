#include "nmea.h"

#include <QLocale>
#include <QRandomGenerator>
#include <QtTest>

#include <clocale>
#include <cstring>
#include <ctime>

namespace {

// Floats compared bit for bit, so that -0.0 and 0.0 count as different.
bool sameBits(float a, float b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

QByteArray sentenceOf(const QStringList &fields)
{
    const QByteArray body = fields.join(QLatin1Char(',')).toLatin1();
    return '$' + body + '*' + Nmea::calcChecksum(body);
}

// The straightforward way of writing the simulator's sentences, which the builders must match
// byte for byte.
QByteArray plainDbt(float depth, const QString &talker)
{
    return sentenceOf({formatPrefix(talker) + QLatin1String("DBT"),
                       QString::number(double(depth * 3.28084f), 'f', 3), QStringLiteral("f"),
                       QString::number(double(depth), 'f', 3), QStringLiteral("M"), QString(),
                       QString()});
}

QByteArray plainMtw(float temperature, const QString &talker)
{
    return sentenceOf({formatPrefix(talker) + QLatin1String("MTW"),
                       QString::number(double(temperature), 'f', 2), QStringLiteral("C")});
}

QByteArray plainYxxdr(float pitch, float roll)
{
    return sentenceOf(
        {QStringLiteral("YXXDR"), QStringLiteral("A"), QString::number(double(pitch), 'f', 1),
         QStringLiteral("D"), QStringLiteral("PTCH"), QStringLiteral("A"),
         QString::number(double(roll), 'f', 1), QStringLiteral("D"), QStringLiteral("ROLL")});
}

// Random floats that stress fixed-point rounding: any bit pattern, values around the usual
// ranges, and exact halves of the last decimal.
float randomFloat(QRandomGenerator &random)
{
    switch (random.bounded(4)) {
    case 0: {
        float value;
        do {
            const quint32 bits = random.generate();
            std::memcpy(&value, &bits, sizeof value);
        } while (!std::isfinite(value));
        return value;
    }
    case 1:
        return float(random.generateDouble() * 2000.0 - 1000.0);
    case 2:
        return float((qint64(random.bounded(2000001)) - 1000000) / 1000.0);
    default: {
        const int scale = 1 << random.bounded(1, 12);
        return float(int(random.bounded(4000001)) - 2000000) / float(scale);
    }
    }
}

const char *const Seeds[] = {
    "$SDDBT,40.4,f,12.3,M,6.7,F*07",
    "$YXMTW,19.5,C*1F",
    "$YXXDR,A,-3.2,D,PTCH,A,10.0,D,ROLL*40",
    "$WIMWV,045,T,10.0,N,A*0B",
    "$WIMWV,270.5,r,36,k,v*3A",
    "$SMDBT,16.404,f,5.000,M,,*55",
    "noise$SMMTW,20.50,C*3A\r\n",
    "$A,1*00$SMMTW,20.50,C*3A",
    "$SDDBT,40.4,f,,M,,F*36",
    "$\xC3\xA9\xF0\x9F\x98\x80MTW,+.5,C*",
};

// A seed mutated a few times with bytes the templates care about, and some they should not.
QByteArray mutated(QRandomGenerator &random)
{
    static const char alphabet[] =
        "$,.*+-0123456789DBTMWVXRACfPHOLNKkrv\n\r\t \xC3\xA9\xE2\x80\xF0";
    const int alphabetSize = int(sizeof alphabet); // includes the zero byte
    QByteArray s = Seeds[random.bounded(int(std::size(Seeds)))];
    if (random.bounded(4) == 0)
        s += Seeds[random.bounded(int(std::size(Seeds)))];
    const int edits = random.bounded(5);
    for (int i = 0; i < edits; ++i) {
        const int at = random.bounded(s.size() + 1);
        const char c = alphabet[random.bounded(alphabetSize)];
        switch (random.bounded(4)) {
        case 0:
            s.insert(at, c);
            break;
        case 1:
            if (at < s.size())
                s[at] = c;
            break;
        case 2:
            s.remove(at, random.bounded(1, 4));
            break;
        default:
            s.insert(at, s.mid(random.bounded(s.size() + 1), random.bounded(1, 8)));
            break;
        }
    }
    return s;
}

} // namespace

class TestNmea : public QObject
{
    Q_OBJECT

private slots:
    void builders_data();
    void builders();
    void underGermanLocale();
    void fixedPoint_data();
    void fixedPoint();
    void fixedPointMatchesQString();
    void buildersMatchPlainAssembly();
    void positionsMatchQString();
    void framing();
    void checksum_data();
    void checksum();
    void isNmeaString_data();
    void isNmeaString();
    void wraps();
    void zda_data();
    void zda();
    void parsers_data();
    void parsers();
    void mwvParser_data();
    void mwvParser();
    void roundTrips();
    void parsersMatchRegex();
    void badInput_data();
    void badInput();
};

void TestNmea::builders_data()
{
    QTest::addColumn<QByteArray>("sentence");
    QTest::addColumn<QByteArray>("expected");

    const float d1 = 5.0f, d2 = 5.5f, t = 20.0f;
    const QDateTime time(QDate(2024, 3, 5), QTime(14, 7, 9, 42), Qt::UTC);
    GnssCoordinates fix;
    fix.latitude = 47.5;
    fix.longitude = -122.25;
    fix.fixType = 3;
    GnssCoordinates noFix = fix;
    noFix.fixType = 4;
    noFix.latitude = -0.0;

    QTest::newRow("dbt") << Nmea::dbt(5.0f, QStringLiteral("SM"))
                         << QByteArray("$SMDBT,16.404,f,5.000,M,,*55");
    QTest::newRow("dbt lower-case talker")
        << Nmea::dbt(1.0f, QStringLiteral("gp")) << QByteArray("$GPDBT,3.281,f,1.000,M,,*67");
    QTest::newRow("dbt long talker")
        << Nmea::dbt(1.0f, QStringLiteral("GPS")) << QByteArray("$YXDBT,3.281,f,1.000,M,,*71");
    QTest::newRow("dbt zero") << Nmea::dbt(0.0f, QStringLiteral("SM"))
                              << QByteArray("$SMDBT,0.000,f,0.000,M,,*67");
    QTest::newRow("dpt") << Nmea::dpt(5.0f, 0.0f, QStringLiteral("SM"))
                         << QByteArray("$SMDPT,5.000,0.000*5B");
    QTest::newRow("dpt no talker")
        << Nmea::dpt(5.0f, 0.0f, QString()) << QByteArray("$YXDPT,5.000,0.000*44");
    QTest::newRow("mtw") << Nmea::mtw(20.5f, QStringLiteral("SM"))
                         << QByteArray("$SMMTW,20.50,C*3A");
    QTest::newRow("mtw negative") << Nmea::mtw(-1.5f, QStringLiteral("SM"))
                                  << QByteArray("$SMMTW,-1.50,C*24");
    QTest::newRow("xdr") << Nmea::xdr(&d1, &d2, &t, QStringLiteral("SM"))
                         << QByteArray("$SMXDR,D,5.00,M,XDHI,D,5.50,M,XDLO,C,20.00,C,WTHI*79");
    QTest::newRow("xdr null second")
        << Nmea::xdr(&d1, nullptr, &t, QStringLiteral("SM"))
        << QByteArray("$SMXDR,D,5.00,M,XDHI,D,,M,XDLO,C,20.00,C,WTHI*67");
    QTest::newRow("xdr all null") << Nmea::xdr(nullptr, nullptr, nullptr, QStringLiteral("SM"))
                                  << QByteArray("$SMXDR,D,,M,XDHI,D,,M,XDLO,C,,C,WTHI*50");
    QTest::newRow("yxxdr") << Nmea::yxxdr(-12.5f, 3.0f)
                           << QByteArray("$YXXDR,A,-12.5,D,PTCH,A,3.0,D,ROLL*45");
    QTest::newRow("yxxdr zero") << Nmea::yxxdr(0.0f, 0.0f)
                                << QByteArray("$YXXDR,A,0.0,D,PTCH,A,0.0,D,ROLL*5D");
    QTest::newRow("rmc") << Nmea::rmc(time, fix, 5.0f, -10.0f, QStringLiteral("gp"))
                         << QByteArray("$GPRMC,140709.042,A,4730.000000,N,12215.000000,W,9.72,"
                                       "350.00,050324,,,A*7E");
    QTest::newRow("rmc no fix, course -400, latitude -0")
        << Nmea::rmc(time, noFix, 0.0f, -400.0f, QStringLiteral("gp"))
        << QByteArray("$GPRMC,140709.042,V,0000.000000,N,12215.000000,W,0.00,-40.00,050324,,,"
                      "N*75");
    QTest::newRow("gga") << Nmea::gga(time, fix, 1, 7, 0.9f, 0.0f, 45.123f, QStringLiteral("gp"))
                         << QByteArray("$GPGGA,140709.042,4730.000000,N,12215.000000,W,1,07,0.9,"
                                       "0,M,45.123,M,,*57");
    QTest::newRow("gga tiny altitudes, many satellites")
        << Nmea::gga(time, fix, 2, 123, 1.25f, -1e-8f, 0.0004f, QStringLiteral("gp"))
        << QByteArray("$GPGGA,140709.042,4730.000000,N,12215.000000,W,2,123,1.3,0,M,0.000,M,,"
                      "*59");
    const QDateTime noDate(QDate(), QTime(14, 7, 9, 42), Qt::UTC);
    QTest::newRow("rmc time without a date")
        << Nmea::rmc(noDate, fix, 5.0f, -10.0f, QStringLiteral("gp"))
        << QByteArray("$GPRMC,,A,4730.000000,N,12215.000000,W,9.72,350.00,,,,A*6D");
    QTest::newRow("gga time without a date")
        << Nmea::gga(noDate, fix, 1, 7, 0.9f, 0.0f, 45.123f, QStringLiteral("gp"))
        << QByteArray("$GPGGA,,4730.000000,N,12215.000000,W,1,07,0.9,0,M,45.123,M,,*44");
    QTest::newRow("rmc 1999, course -0.005 in single precision")
        << Nmea::rmc(QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59, 999), Qt::UTC), fix, 5.0f,
                     -0.005f, QStringLiteral("gp"))
        << QByteArray("$GPRMC,235959.999,A,4730.000000,N,12215.000000,W,9.72,359.99,311299,,,"
                      "A*73");
    QTest::newRow("rmc course -2^-23")
        << Nmea::rmc(time, fix, 0.0f, -1.1920929e-7f, QStringLiteral("gp"))
        << QByteArray("$GPRMC,140709.042,A,4730.000000,N,12215.000000,W,0.00,360.00,050324,,,"
                      "A*71");
    QTest::newRow("rmc course -1e-7")
        << Nmea::rmc(time, fix, 0.0f, -1e-7f, QStringLiteral("gp"))
        << QByteArray("$GPRMC,140709.042,A,4730.000000,N,12215.000000,W,0.00,-0.00,050324,,,"
                      "A*59");
    QTest::newRow("gga altitude 2^-23, separation -2^-24")
        << Nmea::gga(time, fix, 1, 7, 0.9f, 1.1920929e-7f, -5.9604645e-8f, QStringLiteral("gp"))
        << QByteArray("$GPGGA,140709.042,4730.000000,N,12215.000000,W,1,07,0.9,0.000,M,0,M,,"
                      "*66");
    GnssCoordinates far = fix;
    far.latitude = 1e20;
    far.longitude = -1e20;
    QTest::newRow("gga beyond 192 bytes")
        << Nmea::gga(time, far, 1, 7, 3.4028235e38f, -3.4028235e38f, 1e18f, QStringLiteral("gp"))
        << QByteArray("$GPGGA,140709.042,10000000000000000000000.000000,N,"
                      "10000000000000000000000.000000,W,1,07,"
                      "340282346638528859811704183484516925440.0,"
                      "-340282346638528859811704183484516925440.000,M,999999984306749440.000,M,,"
                      "*53");
    QTest::newRow("dbt non-ASCII talker") << Nmea::dbt(1.0f, QStringLiteral("\u00e9x"))
                                          << QByteArray("$\xC9XDBT,3.281,f,1.000,M,,*E1");
    QTest::newRow("mwv") << Nmea::mwv(45, 3.5f, MwvData::TrueWind, true, QStringLiteral("gp"))
                         << QByteArray("$GPMWV,045,T,3.5,M,A*36");
    QTest::newRow("mwv relative, invalid")
        << Nmea::mwv(270, 0.0f, MwvData::RelativeWind, false, QString())
        << QByteArray("$YXMWV,270,R,0.0,M,V*33");
    QTest::newRow("mwv negative angle")
        << Nmea::mwv(-5, 1.0f, MwvData::RelativeWind, true, QStringLiteral("WI"))
        << sentenceOf({QStringLiteral("WIMWV"),
                       QStringLiteral("%1").arg(-5, 3, 10, QLatin1Char('0')), QStringLiteral("R"),
                       QStringLiteral("1.0"), QStringLiteral("M"), QStringLiteral("A")});
}

void TestNmea::builders()
{
    QFETCH(QByteArray, sentence);
    QFETCH(QByteArray, expected);
    QCOMPARE(sentence, expected);
}

void TestNmea::underGermanLocale()
{
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    // The C library's numeric locale too, where the machine has it.
    const QByteArray cNumeric = std::setlocale(LC_NUMERIC, nullptr);
    const bool haveCLocale = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") ||
        std::setlocale(LC_NUMERIC, "de_DE.utf8") || std::setlocale(LC_NUMERIC, "de_DE");
    QCOMPARE(QLocale().toString(1.5), QStringLiteral("1,5"));

    const QByteArray dbt = Nmea::dbt(1234.5f, QStringLiteral("SM"));
    const QString fixed = f32(-1234.5f, 2);
    const QString degMin = Nmea::toDegMin(47.5, 11, 6);

    std::setlocale(LC_NUMERIC, cNumeric.constData());
    QLocale::setDefault(previous);
    QCOMPARE(dbt, QByteArray("$SMDBT,4050.197,f,1234.500,M,,*68"));
    QCOMPARE(fixed, QStringLiteral("-1234.50"));
    QCOMPARE(degMin, QStringLiteral("4730.000000"));
    if (!haveCLocale)
        qInfo("no German C locale on this machine; checked with Qt's German locale only");
}

void TestNmea::fixedPoint_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<QString>("expected");

    QTest::newRow("two decimals") << 20.5f << 2 << "20.50";
    QTest::newRow("negative") << -12.5f << 1 << "-12.5";
    QTest::newRow("binary error") << 0.1f << 3 << "0.100";
    QTest::newRow("tie rounds away from zero") << 0.125f << 2 << "0.13";
    QTest::newRow("negative tie") << -2.5f << 0 << "-3";
    QTest::newRow("negative zero has no sign") << -0.0f << 2 << "0.00";
    QTest::newRow("negative rounding to zero keeps it") << -0.001f << 2 << "-0.00";
    QTest::newRow("float's own digits") << 0.1f << 9 << "0.100000001";
    QTest::newRow("largest float")
        << 3.4028235e38f << 2 << "340282346638528859811704183484516925440.00";
    QTest::newRow("smallest denormal") << 1e-45f << 4 << "0.0000";
    QTest::newRow("16 million and one half") << 16777215.0f << 1 << "16777215.0";
    QTest::newRow("many decimals") << 0.1f << 12 << "0.100000001490";
    QTest::newRow("carry into the integer part") << 9.999f << 2 << "10.00";
    QTest::newRow("beyond 2^64") << 3e19f << 1 << "30000001041030971392.0";
    QTest::newRow("infinity") << std::numeric_limits<float>::infinity() << 2 << "inf";
}

void TestNmea::fixedPoint()
{
    QFETCH(float, value);
    QFETCH(int, decimals);
    QFETCH(QString, expected);
    QCOMPARE(f32(value, decimals), expected);
}

void TestNmea::fixedPointMatchesQString()
{
    QRandomGenerator random(20240305);
    for (int i = 0; i < 1000000; ++i) {
        const float value = randomFloat(random);
        const int decimals = 1 + (i & 3);
        const QString expected = QString::number(double(value), 'f', decimals);
        const QString actual = f32(value, decimals);
        if (actual != expected)
            QFAIL(qPrintable(QStringLiteral("f32(%1, %2) gave %3, expected %4")
                                 .arg(double(value), 0, 'g', 9)
                                 .arg(decimals)
                                 .arg(actual, expected)));
    }
}

void TestNmea::buildersMatchPlainAssembly()
{
    QRandomGenerator random(7);
    const QString talkers[] = {QStringLiteral("SM"), QStringLiteral("gp"), QString(),
                               QStringLiteral("GPS"), QStringLiteral("\u00e9x")};
    for (int i = 0; i < 100000; ++i) {
        const float a = randomFloat(random);
        const float b = randomFloat(random);
        const QString &talker = talkers[i % 5];
        QCOMPARE(Nmea::dbt(a, talker), plainDbt(a, talker));
        QCOMPARE(Nmea::mtw(a, talker), plainMtw(a, talker));
        QCOMPARE(Nmea::yxxdr(a, b), plainYxxdr(a, b));
    }
}

void TestNmea::positionsMatchQString()
{
    QRandomGenerator random(2024);
    const QDateTime time(QDate(2024, 3, 5), QTime(14, 7, 9, 42), Qt::UTC);
    for (int i = 0; i < 20000; ++i) {
        GnssCoordinates position;
        position.latitude = random.generateDouble() * 180.0 - 90.0;
        position.longitude = random.generateDouble() * 360.0 - 180.0;
        position.fixType = random.bounded(7);
        const float speed = randomFloat(random);
        const float course = randomFloat(random);
        const QList<QByteArray> fields =
            Nmea::rmc(time, position, speed, course, QString()).split(',');
        QCOMPARE(fields.size(), 13);
        QCOMPARE(QString::fromLatin1(fields[3]), Nmea::toDegMin(position.latitude, 11, 6));
        QCOMPARE(QString::fromLatin1(fields[5]), Nmea::toDegMin(position.longitude, 12, 6));
        QCOMPARE(QString::fromLatin1(fields[7]), QString::number(double(speed * 1.94384f), 'f', 2));
        const float shown = course <= -1.1920929e-7f ? course + 360.0f : course;
        QCOMPARE(QString::fromLatin1(fields[8]), QString::number(double(shown), 'f', 2));
    }
}

void TestNmea::framing()
{
    QCOMPARE(formatPrefix(QString()), QStringLiteral("YX"));
    QCOMPARE(formatPrefix(QStringLiteral("g")), QStringLiteral("YX"));
    QCOMPARE(formatPrefix(QStringLiteral("gpx")), QStringLiteral("YX"));
    QCOMPARE(formatPrefix(QStringLiteral("Sm")), QStringLiteral("SM"));
    QCOMPARE(Nmea::calcChecksum(QByteArray()), QByteArray("00"));
    QCOMPARE(Nmea::calcChecksum("SMDPT,5.000,0.000"), QByteArray("5B"));
    QCOMPARE(Nmea::calcChecksum("\x0A"), QByteArray("0A"));
    QCOMPARE(Nmea::toDegMin(47.5, 11, 6), QStringLiteral("4730.000000"));
    QCOMPARE(Nmea::toDegMin(-122.25, 12, 6), QStringLiteral("12215.000000"));
    QCOMPARE(Nmea::toDegMin(5.5, 11, 6), QStringLiteral("0530.000000"));
    QCOMPARE(Nmea::toDegMin(-0.5, 11, 6), QStringLiteral("0030.000000"));
    QCOMPARE(Nmea::toDegMin(0.0, 11, 6), QStringLiteral("0000.000000"));
}

void TestNmea::checksum_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("expected");

    QTest::newRow("right") << QByteArray("$SMMTW,20.50,C*3A") << true;
    QTest::newRow("line ending after it") << QByteArray("$SMMTW,20.50,C*3A\r\n") << false;
    QTest::newRow("lower-case hex") << QByteArray("$SMMTW,20.50,C*3a") << false;
    QTest::newRow("wrong") << QByteArray("$SMMTW,20.50,C*3B") << false;
    QTest::newRow("no dollar") << QByteArray("SMMTW,20.50,C*3A") << false;
    // With no "$...*" the last two bytes are compared with two zero bytes.
    QTest::newRow("no star, ends in zero bytes") << QByteArray("$SMMTW\0\0", 8) << true;
    QTest::newRow("no star, one zero byte") << QByteArray("$SMMTW\0", 7) << false;
    QTest::newRow("no dollar, only zero bytes") << QByteArray(2, '\0') << true;
    QTest::newRow("empty body") << QByteArray("$*00") << true;
    QTest::newRow("zero byte inside is covered") << QByteArray("$A\0B*03", 7) << true;
}

void TestNmea::checksum()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, expected);
    QCOMPARE(Nmea::checksum(text), expected);
    QCOMPARE(Nmea::Reference::checksum(text), expected);
}

void TestNmea::isNmeaString_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QByteArray>("piece");

    QTest::newRow("noise around") << QByteArray("noise$SMMTW,20.50,C*3A\r\n") << true
                                  << QByteArray("$SMMTW,20.50,C*3A");
    QTest::newRow("shape only") << QByteArray("$SMDBT,1,f*ZZ") << true
                                << QByteArray("$SMDBT,1,f*ZZ");
    QTest::newRow("no comma") << QByteArray("$SMDBT*12") << false << QByteArray("untouched");
    QTest::newRow("lower-case formatter")
        << QByteArray("$gpdbt,1*00") << false << QByteArray("untouched");
    QTest::newRow("second sentence")
        << QByteArray("$A,1*00$SMMTW,20.50,C*3A") << true << QByteArray("$SMMTW,20.50,C*3A");
    QTest::newRow("after a zero byte")
        << QByteArray("\0$SMMTW,20.50,C*3A", 18) << false << QByteArray("untouched");
    QTest::newRow("no dollar") << QByteArray("SMMTW,20.50,C*3A") << false
                               << QByteArray("untouched");
    QTest::newRow("line break inside the fields")
        << QByteArray("$SMMTW,20\n50*3A") << true << QByteArray("$SMMTW,20\n50*3A");
    QTest::newRow("malformed UTF-8 comes back replaced")
        << QByteArray("$\xE2SMTW,1*00") << true << QByteArray("$\xEF\xBF\xBDSMTW,1*00");
}

void TestNmea::isNmeaString()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, expected);
    QFETCH(QByteArray, piece);
    QByteArray out("untouched");
    QCOMPARE(Nmea::isNmeaString(text, &out), expected);
    QCOMPARE(out, piece);
    QCOMPARE(Nmea::isNmeaString(text), expected);
    QByteArray reference("untouched");
    QCOMPARE(Nmea::Reference::isNmeaString(text, &reference), expected);
    QCOMPARE(reference, piece);
}

void TestNmea::wraps()
{
    QCOMPARE(wrap360(-90.0f), 270.0f);
    QCOMPARE(wrap360(720.0f), 0.0f);
    QCOMPARE(wrap180(270.0f), -90.0f);
    QCOMPARE(wrap180(180.0f), 180.0f);
    QCOMPARE(wrap180(-180.0f), 180.0f);
    QCOMPARE(wrap2PI(-1.0f), 6.2831855f - 1.0f);
    QCOMPARE(wrapPI(4.0f), 4.0f - 6.2831855f);
    QCOMPARE(wrapPI(-3.1415927f), 3.1415927f);
}

void TestNmea::zda_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QDateTime>("time");
    QTest::addColumn<QByteArray>("expected");

    const QDateTime afternoon(QDate(2024, 3, 5), QTime(14, 7, 9, 42), Qt::UTC);
    // POSIX zone strings: the offset is UTC minus local.
    QTest::newRow("UTC") << QByteArray("UTC0") << afternoon
                         << QByteArray("$GPZDA,140709.042,05,03,2024,0,0*59");
    QTest::newRow("+05:30") << QByteArray("IST-5:30") << afternoon
                            << QByteArray("$GPZDA,140709.042,05,03,2024,5,30*6F");
    QTest::newRow("-03:30") << QByteArray("NST+3:30") << afternoon
                            << QByteArray("$GPZDA,140709.042,05,03,2024,-3,-30*69");
    QTest::newRow("+05:30, local date is the next day")
        << QByteArray("IST-5:30") << QDateTime(QDate(2024, 3, 5), QTime(22, 0), Qt::UTC)
        << QByteArray("$GPZDA,220000.000,05,03,2024,5,30*62");
    QTest::newRow("+05:30, given in local time of the next day")
        << QByteArray("IST-5:30") << QDateTime(QDate(2024, 3, 6), QTime(3, 30), Qt::LocalTime)
        << QByteArray("$GPZDA,220000.000,05,03,2024,5,30*62");
    QTest::newRow("year -44") << QByteArray("UTC0")
                              << QDateTime(QDate(-44, 3, 15), QTime(12, 0), Qt::UTC)
                              << QByteArray("$GPZDA,120000.000,15,03,-0044,0,0*7F");
    QTest::newRow("no date") << QByteArray("UTC0")
                             << QDateTime(QDate(), QTime(14, 7, 9, 42), Qt::UTC)
                             << QByteArray("$GPZDA,,,0,0*48");
    QTest::newRow("-03:30, local date is the day before")
        << QByteArray("NST+3:30") << QDateTime(QDate(2024, 3, 5), QTime(1, 0), Qt::UTC)
        << QByteArray("$GPZDA,010000.000,05,03,2024,-3,-30*65");
}

void TestNmea::zda()
{
    QFETCH(QByteArray, zone);
    QFETCH(QDateTime, time);
    QFETCH(QByteArray, expected);

    const QByteArray previous = qgetenv("TZ");
    const bool hadZone = qEnvironmentVariableIsSet("TZ");
    qputenv("TZ", zone);
    tzset();
    // Local times in the rows are read in the zone under test.
    const QDateTime stamp = time.timeSpec() == Qt::LocalTime
        ? QDateTime(time.date(), time.time(), Qt::LocalTime)
        : time;
    const QByteArray sentence = Nmea::zda(stamp, QStringLiteral("gp"));
    if (hadZone)
        qputenv("TZ", previous);
    else
        qunsetenv("TZ");
    tzset();
    QCOMPARE(sentence, expected);
}

void TestNmea::parsers_data()
{
    QTest::addColumn<QByteArray>("sentence");
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("found");
    QTest::addColumn<float>("value");
    QTest::addColumn<bool>("foundBoth");
    QTest::addColumn<float>("second");

    const float none = -999.0f;
    QTest::newRow("dbt") << QByteArray("$SDDBT,40.4,f,12.3,M,6.7,F*07") << int(C::Dbt) << true
                         << 12.3f << false << none;
    QTest::newRow("mtw") << QByteArray("$YXMTW,19.5,C*1F") << int(C::Mtw) << true << 19.5f << false
                         << none;
    QTest::newRow("mtw read as dbt")
        << QByteArray("$YXMTW,19.5,C*1F") << int(C::Dbt) << false << none << false << none;
    QTest::newRow("xdr") << QByteArray("$YXXDR,A,-3.2,D,PTCH,A,10.0,D,ROLL*40") << int(C::Xdr)
                         << true << -3.2f << true << 10.0f;
    QTest::newRow("mwv angle, symbol as number")
        << QByteArray("$WIMWV,045,5,10.0,N,A*3A") << int(C::Mwv) << true << 45.0f << true << 5.0f;
    QTest::newRow("unknown key 4")
        << QByteArray("$YXMTW,19.5,C*1F") << 4 << false << none << false << none;
    QTest::newRow("unknown key -1")
        << QByteArray("$YXMTW,19.5,C*1F") << -1 << false << none << false << none;
    QTest::newRow("empty fields") << QByteArray("$SDDBT,40.4,f,,M,,F*36") << int(C::Dbt) << false
                                  << none << false << none;
    QTest::newRow("trailing point")
        << QByteArray("$YXMTW,12.,C*21") << int(C::Mtw) << false << none << false << none;
    QTest::newRow("exponent") << QByteArray("$YXMTW,1e3,C*6B") << int(C::Mtw) << false << none
                              << false << none;
    QTest::newRow("wrong checksum")
        << QByteArray("$YXMTW,19.5,C*00") << int(C::Mtw) << true << 19.5f << false << none;
    QTest::newRow("noise and line ending")
        << QByteArray("xx$YXMTW,+.5,C*1F\r\n") << int(C::Mtw) << true << 0.5f << false << none;
    QTest::newRow("after a zero byte")
        << QByteArray("\0$YXMTW,19.5,C*1F", 17) << int(C::Mtw) << false << none << false << none;
    QTest::newRow("multi-byte talker") << QByteArray("$\xC3\xA9\xF0\x9F\x98\x80MTW,-0,C*")
                                       << int(C::Mtw) << true << -0.0f << false << none;
    QTest::newRow("line feed in talker")
        << QByteArray("$\nXMTW,1,C*") << int(C::Mtw) << false << none << false << none;
    QTest::newRow("three-character talker")
        << QByteArray("$YXXMTW,1,C*") << int(C::Mtw) << false << none << false << none;
    QTest::newRow("first of two") << QByteArray("$YXMTW,1,C*$YXMTW,2,C*") << int(C::Mtw) << true
                                  << 1.0f << false << none;
    QTest::newRow("dbt star on the next line only")
        << QByteArray("$SDDBT,1,f,2,M\n*") << int(C::Dbt) << false << none << false << none;
    QTest::newRow("dbt star further on")
        << QByteArray("$SDDBT,1,f,2,Mxyz\r*") << int(C::Dbt) << true << 2.0f << false << none;
    QTest::newRow("beyond float range")
        << QByteArray("$YXMTW,-" + QByteArray(50, '9') + ",C*") << int(C::Mtw) << true
        << -std::numeric_limits<float>::infinity() << false << none;
    QTest::newRow("below float range") << QByteArray("$YXMTW,-0." + QByteArray(50, '0') + "1,C*")
                                       << int(C::Mtw) << true << 0.0f << false << none;
    QTest::newRow("beyond double range")
        << QByteArray("$YXMTW,-" + QByteArray(310, '9') + ",C*") << int(C::Mtw) << true
        << -std::numeric_limits<float>::infinity() << false << none;
    QTest::newRow("below double range") << QByteArray("$YXMTW,0." + QByteArray(330, '0') + "1,C*")
                                        << int(C::Mtw) << true << 0.0f << false << none;
    QTest::newRow("17 digits, a float tie in double")
        << QByteArray("$YXMTW,1.0000002980232239,C*") << int(C::Mtw) << true << 1.00000024f << false
        << none;
    QTest::newRow("surrogate in the talker")
        << QByteArray("$\xED\xA0\x80XMTW,1,C*") << int(C::Mtw) << false << none << false << none;
    QTest::newRow("overlong in the talker")
        << QByteArray("$\xE0\x80\x80XMTW,1,C*") << int(C::Mtw) << false << none << false << none;
}

void TestNmea::parsers()
{
    QFETCH(QByteArray, sentence);
    QFETCH(int, key);
    QFETCH(bool, found);
    QFETCH(float, value);
    QFETCH(bool, foundBoth);
    QFETCH(float, second);

    const float untouched = -999.0f;
    float fast = untouched, reference = untouched;
    QCOMPARE(Nmea::getValue(sentence, key, fast), found);
    QCOMPARE(Nmea::Reference::getValue(sentence, key, reference), found);
    QVERIFY2(sameBits(fast, value), qPrintable(QString::number(double(fast))));
    QVERIFY(sameBits(reference, value));

    float first = untouched, other = untouched;
    QCOMPARE(Nmea::getValues(sentence, key, first, other), foundBoth);
    QVERIFY(sameBits(other, second));
    QVERIFY(sameBits(first, foundBoth ? value : untouched));
    float referenceFirst = untouched, referenceOther = untouched;
    QCOMPARE(Nmea::Reference::getValues(sentence, key, referenceFirst, referenceOther), foundBoth);
    QVERIFY(sameBits(referenceOther, second));
}

void TestNmea::mwvParser_data()
{
    QTest::addColumn<QByteArray>("sentence");
    QTest::addColumn<bool>("found");
    QTest::addColumn<float>("angle");
    QTest::addColumn<int>("reference");
    QTest::addColumn<float>("speed");
    QTest::addColumn<bool>("valid");

    QTest::newRow("knots") << QByteArray("$WIMWV,045,T,10.0,N,A*0B") << true << 45.0f
                           << int(MwvData::TrueWind) << 5.1444445f << true;
    QTest::newRow("km/h, lower case") << QByteArray("$WIMWV,270.5,r,36,k,v*3A") << true << 270.5f
                                      << int(MwvData::RelativeWind) << 10.0f << false;
    QTest::newRow("m/s") << QByteArray("$WIMWV,1,t,2.5,M,a*00") << true << 1.0f
                         << int(MwvData::TrueWind) << 2.5f << true;
    QTest::newRow("other unit, digit status") << QByteArray("$WIMWV,1,X,2.5,S,1*00") << true << 1.0f
                                              << int(MwvData::RelativeWind) << 2.5f << false;
    QTest::newRow("two-letter symbol") << QByteArray("$WIMWV,1,TT,2.5,M,A*00") << false << 0.0f
                                       << int(MwvData::RelativeWind) << 0.0f << false;
}

void TestNmea::mwvParser()
{
    QFETCH(QByteArray, sentence);
    QFETCH(bool, found);

    MwvData untouched;
    untouched.speed = -1.0f;
    untouched.angle = -1.0f;
    untouched.reference = MwvData::RelativeWind;
    untouched.valid = true;
    MwvData fast = untouched, reference = untouched;
    QCOMPARE(Nmea::getMwvValues(sentence, fast), found);
    QCOMPARE(Nmea::Reference::getMwvValues(sentence, reference), found);
    if (!found) {
        QCOMPARE(fast.speed, untouched.speed);
        QCOMPARE(fast.angle, untouched.angle);
        QCOMPARE(fast.valid, untouched.valid);
        return;
    }
    QTEST(fast.angle, "angle");
    QTEST(int(fast.reference), "reference");
    QTEST(fast.speed, "speed");
    QTEST(fast.valid, "valid");
    QVERIFY(sameBits(reference.speed, fast.speed));
    QCOMPARE(reference.reference, fast.reference);
    QCOMPARE(reference.valid, fast.valid);
}

void TestNmea::roundTrips()
{
    QRandomGenerator random(42);
    const auto printed = [](float v, int decimals) { return f32(v, decimals).toFloat(); };
    for (int i = 0; i < 2000; ++i) {
        const float depth = float(random.generateDouble() * 500.0);
        const float temperature = float(random.generateDouble() * 60.0 - 20.0);
        const float pitch = float(random.generateDouble() * 180.0 - 90.0);
        const float roll = float(random.generateDouble() * 180.0 - 90.0);
        const int angle = random.bounded(360);
        const float speed = float(random.generateDouble() * 50.0);
        const bool valid = random.bounded(2);
        const auto windReference = MwvData::WindReferences(random.bounded(2));

        float value = 0, other = 0;
        QVERIFY(Nmea::getValue(Nmea::dbt(depth, QStringLiteral("SM")), C::Dbt, value));
        QCOMPARE(value, printed(depth, 3));
        QVERIFY(Nmea::getValue(Nmea::mtw(temperature, QStringLiteral("SM")), C::Mtw, value));
        QCOMPARE(value, printed(temperature, 2));
        const QByteArray attitude = Nmea::yxxdr(pitch, roll);
        QVERIFY(Nmea::checksum(attitude));
        QVERIFY(Nmea::getValues(attitude, C::Xdr, value, other));
        QCOMPARE(value, printed(pitch, 1));
        QCOMPARE(other, printed(roll, 1));

        MwvData wind;
        const QByteArray mwv = Nmea::mwv(angle, speed, windReference, valid, QStringLiteral("WI"));
        QVERIFY(Nmea::checksum(mwv));
        QVERIFY(Nmea::getMwvValues(mwv, wind));
        QCOMPARE(wind.angle, float(angle));
        QCOMPARE(wind.speed, printed(speed, 1));
        QCOMPARE(wind.reference, windReference);
        QCOMPARE(wind.valid, valid);
    }
}

void TestNmea::parsersMatchRegex()
{
    QRandomGenerator random(1856);
    for (int i = 0; i < 4000; ++i) {
        const QByteArray input = mutated(random);
        const QByteArray shown = input.toPercentEncoding();
        for (int key = C::Dbt; key <= C::Mwv; ++key) {
            float a = -7.0f, b = -7.0f, c = -7.0f, d = -7.0f;
            QVERIFY2(Nmea::getValue(input, key, a) == Nmea::Reference::getValue(input, key, b),
                     shown.constData());
            QVERIFY2(sameBits(a, b), shown.constData());
            a = b = -7.0f;
            QVERIFY2(Nmea::getValues(input, key, a, c) ==
                         Nmea::Reference::getValues(input, key, b, d),
                     shown.constData());
            QVERIFY2(sameBits(a, b) && sameBits(c, d), shown.constData());
        }
        MwvData fast, reference;
        QVERIFY2(Nmea::getMwvValues(input, fast) == Nmea::Reference::getMwvValues(input, reference),
                 shown.constData());
        QVERIFY2(sameBits(fast.angle, reference.angle) && sameBits(fast.speed, reference.speed) &&
                     fast.reference == reference.reference && fast.valid == reference.valid,
                 shown.constData());
        QByteArray piece("-"), referencePiece("-");
        QVERIFY2(Nmea::isNmeaString(input, &piece) ==
                     Nmea::Reference::isNmeaString(input, &referencePiece),
                 shown.constData());
        QCOMPARE(piece, referencePiece);
        QVERIFY2(Nmea::checksum(input) == Nmea::Reference::checksum(input), shown.constData());
    }
}

void TestNmea::badInput_data()
{
    QTest::addColumn<QByteArray>("input");

    QByteArray repeated;
    while (repeated.size() < 300000)
        repeated += "$SDDBT,1,f,2,M";
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("zero bytes, then text") << QByteArray(64, '\0') + "$SMMTW,20.50,C*3B";
    QTest::newRow("non-ASCII") << QByteArray(4096, '\xE2');
    QTest::newRow("a megabyte, no line break") << QByteArray(1 << 20, '$');
    QTest::newRow("a megabyte of lines") << QByteArray(1 << 20, '\n').replace(0, 1, "$");
    QTest::newRow("300 000 characters of DBT starts, star on the next line") << repeated + "\n*";
    QTest::newRow("a megabyte of digits") << "$YXMTW," + QByteArray(1 << 20, '7');
}

void TestNmea::badInput()
{
    QFETCH(QByteArray, input);
    float value = 1.0f, other = 2.0f;
    MwvData wind;
    QByteArray piece("untouched");
    for (int key = C::Dbt; key <= C::Mwv; ++key) {
        QVERIFY(!Nmea::getValue(input, key, value));
        QVERIFY(!Nmea::getValues(input, key, value, other));
    }
    QVERIFY(!Nmea::getMwvValues(input, wind));
    QVERIFY(!Nmea::isNmeaString(input, &piece));
    QVERIFY(!Nmea::checksum(input));
    QCOMPARE(value, 1.0f);
    QCOMPARE(other, 2.0f);
    QCOMPARE(piece, QByteArray("untouched"));
}

QTEST_GUILESS_MAIN(TestNmea)
#include "tst_nmea.moc"
