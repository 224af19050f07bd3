#ifndef KELVANE_FUZZ_NMEAREFERENCE_H
#define KELVANE_FUZZ_NMEAREFERENCE_H

#include "nmea.h"

// The NMEA toolkit's parsers and checks done the straightforward way, by matching the
// QRegularExpression of each template: slow, and plainly what the templates say. fuzz_nmea
// checks the toolkit's scanners against them, input for input; bench_nmea times them against the
// scanners, with the templates compiled once (Once) and, the naive way, on every call (EachCall).
namespace NmeaReference {
enum Compile { Once, EachCall };
bool checksum(const QByteArray &sentence);
bool isNmeaString(const QByteArray &data, QByteArray *sentence = nullptr);
bool getValue(const QByteArray &sentence, int key, float &value, Compile compile = Once);
bool getValues(const QByteArray &sentence, int key, float &first, float &second,
               Compile compile = Once);
bool getMwvValues(const QByteArray &sentence, MwvData &data, Compile compile = Once);
} // namespace NmeaReference

#endif // KELVANE_FUZZ_NMEAREFERENCE_H
