#ifndef KELVANE_NMEA_H
#define KELVANE_NMEA_H

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>

// The NMEA 0183 toolkit: sentence framing, builders and parsers.
//
// A sentence is "$" + body + "*" + two upper-case hexadecimal digits of the exclusive-or of the
// body's bytes; the body is the fields joined by ",", the first field being talker + formatter:
//
//   $SMDBT,16.404,f,5.000,M,,*55
//    `---------body---------' `checksum
//
// Builders append no line ending. Numbers are written in fixed point with "." as the decimal
// point whatever the locale, digit for digit as QString::number(double(v), 'f', n) writes them.
// Every function here is reentrant and keeps no state.

/// A position fix as the GNSS sentences read it.
struct GnssCoordinates
{
    double latitude = 0.0; ///< decimal degrees, north positive
    double longitude = 0.0; ///< decimal degrees, east positive
    qint32 fixType = 0; ///< 2 and 3 are valid fixes, anything else is not
};

/// A wind reading, as written by Nmea::mwv and read by Nmea::getMwvValues.
struct MwvData
{
    enum WindReferences { TrueWind = 0, RelativeWind = 1 };

    float speed = 0.0f; ///< metres per second
    float angle = 0.0f; ///< degrees
    WindReferences reference = TrueWind;
    bool valid = false;
};

namespace C {
/// Keys of C::NmeaRegEx, one per sentence kind that the parsers read.
enum NmeaRegExKey : int { Dbt = 0, Mtw = 1, Xdr = 2, Mwv = 3 };
/// The parsers' regular-expression templates by key, complete expressions (number and symbol
/// patterns already substituted). Filled during static initialisation, never modified.
extern const QHash<int, QString> NmeaRegEx;
} // namespace C

/// The talker to use: two characters upper-cased, anything else "YX".
QString formatPrefix(const QString &talker);
/// value in fixed point with exactly decimals decimals, "." as decimal point, no "+" sign.
QString f32(float value, int decimals);
/// Appends value to out as QString::number(value, 'f', decimals) writes it, byte for byte, without
/// building a QString for any value a float or a short decimal can hold.
void appendFixed(QByteArray &out, double value, int decimals);

/// Angle wrapping in the argument's type (instantiated for float): wrap360 to [0, 360),
/// wrap180 to (-180, 180], wrap2PI to [0, 2 pi), wrapPI to (-pi, pi].
template<typename T> T wrap360(T angle);
template<typename T> T wrap180(T angle);
template<typename T> T wrap2PI(T angle);
template<typename T> T wrapPI(T angle);

namespace Nmea {

/// Exclusive-or of all bytes of data as two upper-case hexadecimal digits ("00" when empty).
QByteArray calcChecksum(const QByteArray &data);
/// Appends "*" and calcChecksum() of text's bytes from position from on; allocates nothing once
/// text has the room.
void appendChecksum(QByteArray &text, int from = 0);
/// True when the last two bytes of sentence are the checksum of the bytes between its first "$"
/// and the first "*" after it; false when anything follows the checksum. Without a "$" and a "*"
/// after it, true only for a text that ends in two zero bytes (never a printable one).
bool checksum(const QByteArray &sentence);
/// Looks for the first sentence-shaped piece "$" + two characters + upper-case letters + "," +
/// at least one character other than "*" + "*" + two characters; text after a zero byte is not
/// searched. On success stores the piece (as UTF-8) in *sentence when it is not null.
bool isNmeaString(const QByteArray &data, QByteArray *sentence = nullptr);
/// abs(angle) as degrees * 100 + minutes, fixed point, left-padded with "0" to width characters.
QString toDegMin(double angle, int width, int decimals);

/// $ttDBT,<feet 3 dp>,f,<metres 3 dp>,M,,*hh
QByteArray dbt(float depth, const QString &talker = QString());
/// $ttDPT,<depth 3 dp>,<offset 3 dp>*hh
QByteArray dpt(float depth, float offset, const QString &talker = QString());
/// $ttMTW,<temperature 2 dp>,C*hh
QByteArray mtw(float temperature, const QString &talker = QString());
/// $ttXDR,D,<d1>,M,XDHI,D,<d2>,M,XDLO,C,<t>,C,WTHI*hh with 2 dp; a null pointer leaves its value
/// field empty.
QByteArray xdr(const float *depth1, const float *depth2, const float *temperature,
               const QString &talker = QString());
/// $YXXDR,A,<pitch 1 dp>,D,PTCH,A,<roll 1 dp>,D,ROLL*hh (the talker is always YX).
QByteArray yxxdr(float pitch, float roll);
/// dbt(), mtw() and yxxdr() written into sentence, its old contents replaced: no allocation once
/// sentence has the room (reserve() it), for a writer that sends them on every ping.
void dbt(QByteArray &sentence, float depth, const QString &talker);
void mtw(QByteArray &sentence, float temperature, const QString &talker);
void yxxdr(QByteArray &sentence, float pitch, float roll);

/// $ttRMC,hhmmss.zzz,A|V,lat,N|S,lon,E|W,<knots 2 dp>,<course 2 dp>,ddMMyy,,,A|N*hh
QByteArray rmc(const QDateTime &time, const GnssCoordinates &position, float speed, float course,
               const QString &talker = QString());
/// $ttGGA,hhmmss.zzz,lat,N|S,lon,E|W,q,ss,<hdop 1 dp>,<alt>,M,<sep>,M,,*hh
QByteArray gga(const QDateTime &time, const GnssCoordinates &position, int fixQuality,
               unsigned short satellites, float hdop, float altitude, float separation,
               const QString &talker = QString());
/// $ttZDA,hhmmss.zzz,dd,MM,yyyy,zh,zm*hh in UTC, with the local zone's offset at that instant.
QByteArray zda(const QDateTime &time, const QString &talker = QString());
/// $ttMWV,<angle 3 digits>,T|R,<speed 1 dp>,M,A|V*hh
QByteArray mwv(int angle, float speed, MwvData::WindReferences reference, bool valid,
               const QString &talker = QString());

/// Reads capture 1 of the template C::NmeaRegEx[key], searched in sentence up to its first zero
/// byte (the checksum is not read). False, value untouched, when the key is unknown or nothing
/// matches.
bool getValue(const QByteArray &sentence, int key, float &value);
/// As getValue, for templates with two captures (C::Xdr: pitch and roll).
bool getValues(const QByteArray &sentence, int key, float &first, float &second);
/// Reads an MWV sentence; speed is converted to metres per second from "K" and "N" units.
bool getMwvValues(const QByteArray &sentence, MwvData &data);

} // namespace Nmea

#endif // KELVANE_NMEA_H
