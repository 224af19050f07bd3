// libFuzzer target: the NMEA toolkit's fast paths against their references, input for input.
// Every input goes through the scanner parsers and the regex reference of nmeareference.cpp
// (getValue and getValues with every key, getMwvValues, isNmeaString with and without an
// out-parameter, checksum); the results and every output must be the same, floats bit for bit.
// The first bytes also feed f32 and the DBT builder, checked against QString::number and the
// plain QStringList assembly.

#include "nmea.h"
#include "nmeareference.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void fail(const char *what, const QByteArray &input)
{
    std::fprintf(stderr, "fuzz_nmea: %s differs for input %s\n", what,
                 input.toPercentEncoding().constData());
    std::abort();
}

bool sameBits(float a, float b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

void checkParsers(const QByteArray &input)
{
    for (int key = -1; key <= 4; ++key) {
        float fast = -7.0f, reference = -7.0f;
        if (Nmea::getValue(input, key, fast) != NmeaReference::getValue(input, key, reference) ||
            !sameBits(fast, reference))
            fail("getValue", input);
        float fastFirst = -7.0f, fastSecond = -7.0f, first = -7.0f, second = -7.0f;
        if (Nmea::getValues(input, key, fastFirst, fastSecond) !=
                NmeaReference::getValues(input, key, first, second) ||
            !sameBits(fastFirst, first) || !sameBits(fastSecond, second))
            fail("getValues", input);
    }

    MwvData fast, reference;
    fast.valid = reference.valid = true;
    if (Nmea::getMwvValues(input, fast) != NmeaReference::getMwvValues(input, reference) ||
        !sameBits(fast.angle, reference.angle) || !sameBits(fast.speed, reference.speed) ||
        fast.reference != reference.reference || fast.valid != reference.valid)
        fail("getMwvValues", input);

    QByteArray piece("-"), referencePiece("-");
    if (Nmea::isNmeaString(input, &piece) != NmeaReference::isNmeaString(input, &referencePiece) ||
        piece != referencePiece || Nmea::isNmeaString(input) != (piece != "-"))
        fail("isNmeaString", input);

    if (Nmea::checksum(input) != NmeaReference::checksum(input))
        fail("checksum", input);
}

void checkBuilders(const uint8_t *data, size_t size, const QByteArray &input)
{
    if (size < 7)
        return;
    float value;
    std::memcpy(&value, data, sizeof value);
    if (!std::isfinite(value))
        return;
    const int decimals = data[4] % 12;
    if (f32(value, decimals) != QString::number(double(value), 'f', decimals))
        fail("f32", input);

    const QString talker = QString::fromUtf8(reinterpret_cast<const char *>(data + 5), 2);
    const QStringList fields = {formatPrefix(talker) + QLatin1String("DBT"),
                                QString::number(double(value * 3.28084f), 'f', 3),
                                QStringLiteral("f"),
                                QString::number(double(value), 'f', 3),
                                QStringLiteral("M"),
                                QString(),
                                QString()};
    const QByteArray body = fields.join(QLatin1Char(',')).toLatin1();
    if (Nmea::dbt(value, talker) != '$' + body + '*' + Nmea::calcChecksum(body))
        fail("dbt", input);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (1 << 20))
        return 0;
    // No copy and no terminating zero: every reader must stay inside the given bytes.
    const QByteArray input =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    checkParsers(input);
    checkBuilders(data, size, input);
    return 0;
}
