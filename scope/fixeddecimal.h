#ifndef KELVANE_FIXEDDECIMAL_H
#define KELVANE_FIXEDDECIMAL_H

#include <QByteArray>
#include <QtGlobal>

/// A number as the instrument writes it: an optional "-", digits, and optionally "." with
/// decimals; held exactly, as a count of units of its last decimal, with the sign as written
/// ("-0.000" is negative: the instrument writes "-" for every value below zero).
struct FixedDecimal
{
    qint64 units = 0; ///< magnitude in units of 10^-decimals
    int decimals = 0;
    bool negative = false;

    /// Reads text in that format (at most 15 digits); false, leaving *out unchanged, otherwise.
    static bool parse(const char *text, int size, FixedDecimal *out);
    static bool parse(const QByteArray &text, FixedDecimal *out)
    {
        return parse(text.constData(), text.size(), out);
    }

    /// True when one real value, rounded to the nearest multiple of each number's last decimal,
    /// can be written as both: the texts agree on the sign, and each lies within half its own
    /// last decimal of the value. "-71.650" and "-71.6" agree (-71.6499), so do "-71.650" and
    /// "-71.7" (-71.6501); "-71.650" and "-71.5" do not.
    static bool sameValue(const FixedDecimal &a, const FixedDecimal &b);
};

#endif // KELVANE_FIXEDDECIMAL_H
