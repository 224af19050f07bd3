#include "nmea.h"

#include <QRegularExpression>
#include <QStringList>

#include <cfloat>
#include <cmath>
#include <cstring>

namespace {

const QString NumberPattern = QStringLiteral("[+-]?(?:\\d*[.])?\\d+");
const QString SymbolPattern = QStringLiteral("[A-Za-z0-9]");

QHash<int, QString> makeNmeaRegEx()
{
    QHash<int, QString> table;
    table.insert(C::Dbt,
                 QStringLiteral("\\$..DBT,%1,f,(%2),M.*\\*").arg(NumberPattern, NumberPattern));
    table.insert(C::Mtw, QStringLiteral("\\$..MTW,(%1),C\\*").arg(NumberPattern));
    table.insert(C::Xdr,
                 QStringLiteral("\\$..XDR,A,(%1),D,PTCH,A,(%2),D,ROLL\\*")
                     .arg(NumberPattern, NumberPattern));
    table.insert(
        C::Mwv,
        QStringLiteral("\\$..MWV,(%1),(%2),(%3),(%4),(%5)\\*")
            .arg(NumberPattern, SymbolPattern, NumberPattern, SymbolPattern, SymbolPattern));
    return table;
}

QByteArray assemble(const QStringList &fields)
{
    const QByteArray body = fields.join(QLatin1Char(',')).toLatin1();
    return '$' + body + '*' + Nmea::calcChecksum(body);
}

bool isValidFix(qint32 fixType)
{
    return fixType == 2 || fixType == 3;
}

} // namespace

namespace C {
const QHash<int, QString> NmeaRegEx = makeNmeaRegEx();
} // namespace C

QString formatPrefix(const QString &talker)
{
    return talker.size() == 2 ? talker.toUpper() : QStringLiteral("YX");
}

QString f32(float value, int decimals)
{
    return QString::number(double(value), 'f', decimals);
}

template<typename T> T wrap360(T angle)
{
    T r = std::fmod(angle, T(360));
    if (r < 0)
        r += T(360);
    return r;
}

template<typename T> T wrap180(T angle)
{
    T r = wrap360(angle);
    if (r > T(180))
        r -= T(360);
    return r;
}

template<typename T> T wrap2PI(T angle)
{
    const T twoPi = T(2 * M_PI);
    T r = std::fmod(angle, twoPi);
    if (r < 0)
        r += twoPi;
    return r;
}

template<typename T> T wrapPI(T angle)
{
    const T pi = T(M_PI);
    const T twoPi = T(2 * M_PI);
    T r = wrap2PI(angle);
    if (r > pi)
        r -= twoPi;
    return r;
}

template float wrap360<float>(float);
template float wrap180<float>(float);
template float wrap2PI<float>(float);
template float wrapPI<float>(float);

namespace Nmea {

QByteArray calcChecksum(const QByteArray &data)
{
    unsigned char sum = 0;
    for (const char c : data)
        sum ^= static_cast<unsigned char>(c);
    static const char digits[] = "0123456789ABCDEF";
    const char hex[2] = {digits[sum >> 4], digits[sum & 0xF]};
    return QByteArray(hex, 2);
}

bool checksum(const QByteArray &sentence)
{
    return Reference::checksum(sentence);
}

bool isNmeaString(const QByteArray &data, QByteArray *sentence)
{
    return Reference::isNmeaString(data, sentence);
}

QString toDegMin(double angle, int width, int decimals)
{
    double whole = 0.0;
    const double fraction = std::modf(angle, &whole);
    const double value = std::fabs(fraction * 60.0 + whole * 100.0);
    return QString::number(value, 'f', decimals).rightJustified(width, QLatin1Char('0'));
}

QByteArray dbt(float depth, const QString &talker)
{
    return assemble({formatPrefix(talker) + QLatin1String("DBT"), f32(depth * 3.28084f, 3),
                     QStringLiteral("f"), f32(depth, 3), QStringLiteral("M"), QString(),
                     QString()});
}

QByteArray dpt(float depth, float offset, const QString &talker)
{
    return assemble({formatPrefix(talker) + QLatin1String("DPT"), f32(depth, 3), f32(offset, 3)});
}

QByteArray mtw(float temperature, const QString &talker)
{
    return assemble(
        {formatPrefix(talker) + QLatin1String("MTW"), f32(temperature, 2), QStringLiteral("C")});
}

QByteArray xdr(const float *depth1, const float *depth2, const float *temperature,
               const QString &talker)
{
    auto value = [](const float *v) { return v ? f32(*v, 2) : QString(); };
    return assemble({formatPrefix(talker) + QLatin1String("XDR"), QStringLiteral("D"),
                     value(depth1), QStringLiteral("M"), QStringLiteral("XDHI"),
                     QStringLiteral("D"), value(depth2), QStringLiteral("M"),
                     QStringLiteral("XDLO"), QStringLiteral("C"), value(temperature),
                     QStringLiteral("C"), QStringLiteral("WTHI")});
}

QByteArray yxxdr(float pitch, float roll)
{
    return assemble({QStringLiteral("YXXDR"), QStringLiteral("A"), f32(pitch, 1),
                     QStringLiteral("D"), QStringLiteral("PTCH"), QStringLiteral("A"), f32(roll, 1),
                     QStringLiteral("D"), QStringLiteral("ROLL")});
}

namespace {

QString twoDigits(int v)
{
    return QString::number(v).rightJustified(2, QLatin1Char('0'));
}

QString clockText(const QTime &t)
{
    return twoDigits(t.hour()) + twoDigits(t.minute()) + twoDigits(t.second()) + QLatin1Char('.') +
        QString::number(t.msec()).rightJustified(3, QLatin1Char('0'));
}

QString smallFloat(float v)
{
    return std::fabs(v) < FLT_EPSILON ? QStringLiteral("0") : f32(v, 3);
}

} // namespace

QByteArray rmc(const QDateTime &time, const GnssCoordinates &position, float speed, float course,
               const QString &talker)
{
    const bool valid = isValidFix(position.fixType);
    if (course <= -FLT_EPSILON)
        course += 360.0f;
    const QDate d = time.date();
    return assemble({formatPrefix(talker) + QLatin1String("RMC"), clockText(time.time()),
                     valid ? QStringLiteral("A") : QStringLiteral("V"),
                     toDegMin(position.latitude, 11, 6),
                     position.latitude < 0 ? QStringLiteral("S") : QStringLiteral("N"),
                     toDegMin(position.longitude, 12, 6),
                     position.longitude < 0 ? QStringLiteral("W") : QStringLiteral("E"),
                     f32(speed * 1.94384f, 2), f32(course, 2),
                     twoDigits(d.day()) + twoDigits(d.month()) + twoDigits(d.year() % 100),
                     QString(), QString(), valid ? QStringLiteral("A") : QStringLiteral("N")});
}

QByteArray gga(const QDateTime &time, const GnssCoordinates &position, int fixQuality,
               unsigned short satellites, float hdop, float altitude, float separation,
               const QString &talker)
{
    return assemble({formatPrefix(talker) + QLatin1String("GGA"), clockText(time.time()),
                     toDegMin(position.latitude, 11, 6),
                     position.latitude < 0 ? QStringLiteral("S") : QStringLiteral("N"),
                     toDegMin(position.longitude, 12, 6),
                     position.longitude < 0 ? QStringLiteral("W") : QStringLiteral("E"),
                     QString::number(fixQuality),
                     QString::number(satellites).rightJustified(2, QLatin1Char('0')), f32(hdop, 1),
                     smallFloat(altitude), QStringLiteral("M"), smallFloat(separation),
                     QStringLiteral("M"), QString(), QString()});
}

QByteArray zda(const QDateTime &time, const QString &talker)
{
    const QDateTime utc = time.toUTC();
    const int offset = time.toLocalTime().offsetFromUtc();
    const QDate d = utc.date();
    return assemble({formatPrefix(talker) + QLatin1String("ZDA"), clockText(utc.time()),
                     twoDigits(d.day()), twoDigits(d.month()),
                     QString::number(d.year()).rightJustified(4, QLatin1Char('0')),
                     QString::number(offset / 3600), QString::number(offset % 3600 / 60)});
}

QByteArray mwv(int angle, float speed, MwvData::WindReferences reference, bool valid,
               const QString &talker)
{
    return assemble({formatPrefix(talker) + QLatin1String("MWV"),
                     QStringLiteral("%1").arg(angle, 3, 10, QLatin1Char('0')),
                     reference == MwvData::TrueWind ? QStringLiteral("T") : QStringLiteral("R"),
                     f32(speed, 1), QStringLiteral("M"),
                     valid ? QStringLiteral("A") : QStringLiteral("V")});
}

bool getValue(const QByteArray &sentence, int key, float &value)
{
    return Reference::getValue(sentence, key, value);
}

bool getValues(const QByteArray &sentence, int key, float &first, float &second)
{
    return Reference::getValues(sentence, key, first, second);
}

bool getMwvValues(const QByteArray &sentence, MwvData &data)
{
    return Reference::getMwvValues(sentence, data);
}

namespace Reference {

namespace {

// Received bytes as text: UTF-8 up to the first zero byte.
QString toText(const QByteArray &data)
{
    return QString::fromUtf8(data.constData(), int(qstrnlen(data.constData(), uint(data.size()))));
}

QRegularExpressionMatch matchTemplate(const QByteArray &sentence, int key, bool *known)
{
    const auto it = C::NmeaRegEx.constFind(key);
    *known = it != C::NmeaRegEx.constEnd();
    if (!*known)
        return QRegularExpressionMatch();
    const QRegularExpression expression(*it);
    return expression.match(toText(sentence));
}

} // namespace

bool checksum(const QByteArray &sentence)
{
    const int start = sentence.indexOf('$');
    const int end = start < 0 ? -1 : sentence.indexOf('*', start);
    if (start < 0 || end < 0)
        return false;
    return sentence.endsWith(calcChecksum(sentence.mid(start + 1, end - start - 1)));
}

bool isNmeaString(const QByteArray &data, QByteArray *sentence)
{
    const QRegularExpression expression(QStringLiteral("(\\$..[A-Z]+,[^*]+\\*..)"));
    const QRegularExpressionMatch match = expression.match(toText(data));
    if (!match.hasMatch())
        return false;
    if (sentence)
        *sentence = match.captured(1).toUtf8();
    return true;
}

bool getValue(const QByteArray &sentence, int key, float &value)
{
    bool known = false;
    const QRegularExpressionMatch match = matchTemplate(sentence, key, &known);
    if (!known || !match.hasMatch() || match.lastCapturedIndex() < 1)
        return false;
    value = match.capturedRef(1).toFloat();
    return true;
}

bool getValues(const QByteArray &sentence, int key, float &first, float &second)
{
    bool known = false;
    const QRegularExpressionMatch match = matchTemplate(sentence, key, &known);
    if (!known || !match.hasMatch() || match.lastCapturedIndex() < 2)
        return false;
    first = match.capturedRef(1).toFloat();
    second = match.capturedRef(2).toFloat();
    return true;
}

bool getMwvValues(const QByteArray &sentence, MwvData &data)
{
    bool known = false;
    const QRegularExpressionMatch match = matchTemplate(sentence, C::Mwv, &known);
    if (!known || !match.hasMatch() || match.lastCapturedIndex() < 5)
        return false;
    data.angle = match.capturedRef(1).toFloat();
    data.reference = match.capturedRef(2).toString().toUpper() == QLatin1String("T")
        ? MwvData::TrueWind
        : MwvData::RelativeWind;
    float speed = match.capturedRef(3).toFloat();
    const QString unit = match.capturedRef(4).toString().toUpper();
    if (unit == QLatin1String("K"))
        speed *= 0.2777778f;
    else if (unit == QLatin1String("N"))
        speed *= 0.5144445f;
    data.speed = speed;
    data.valid = match.capturedRef(5).toString().toUpper() == QLatin1String("A");
    return true;
}

} // namespace Reference

} // namespace Nmea
