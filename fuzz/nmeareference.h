#ifndef KELVANE_FUZZ_NMEAREFERENCE_H
#define KELVANE_FUZZ_NMEAREFERENCE_H

#include "nmea.h"

// The NMEA toolkit's parsers and checks done the straightforward way, by matching the
// QRegularExpression of each template (compiled once): slow, and plainly what the templates say.
// fuzz_nmea checks the toolkit's scanners against them, input for input.
namespace NmeaReference {
bool checksum(const QByteArray &sentence);
bool isNmeaString(const QByteArray &data, QByteArray *sentence = nullptr);
bool getValue(const QByteArray &sentence, int key, float &value);
bool getValues(const QByteArray &sentence, int key, float &first, float &second);
bool getMwvValues(const QByteArray &sentence, MwvData &data);
} // namespace NmeaReference

#endif // KELVANE_FUZZ_NMEAREFERENCE_H
