#include "fixeddecimal.h"

#include <cstdlib>

namespace {

// Digits beyond this could overflow the scaled comparison below.
constexpr int MaxDigits = 15;
constexpr qint64 Limit = 10000000000000000; // 10^16

qint64 power10(int n)
{
    qint64 p = 1;
    while (n-- > 0)
        p *= 10;
    return p;
}

} // namespace

bool FixedDecimal::parse(const char *text, int size, FixedDecimal *out)
{
    FixedDecimal value;
    int i = 0;
    if (size > 0 && text[0] == '-') {
        value.negative = true;
        i = 1;
    }
    int digits = 0;
    bool point = false;
    for (; i < size; ++i) {
        const char c = text[i];
        if (c == '.' && !point && digits > 0) {
            point = true;
            continue;
        }
        if (c < '0' || c > '9' || ++digits > MaxDigits)
            return false;
        value.units = value.units * 10 + (c - '0');
        if (point)
            ++value.decimals;
    }
    if (digits == 0 || (point && value.decimals == 0))
        return false;
    *out = value;
    return true;
}

bool FixedDecimal::sameValue(const FixedDecimal &a, const FixedDecimal &b)
{
    // The sign is written from the value itself, not from its rounding: both texts carry it.
    if (a.negative != b.negative)
        return false;
    const FixedDecimal &fine = a.decimals >= b.decimals ? a : b;
    const FixedDecimal &coarse = a.decimals >= b.decimals ? b : a;
    // In units of the finer decimal, the value lies within 1/2 of fine and within 10^k / 2 of
    // coarse (k the difference in decimals), so the two are less than (1 + 10^k) / 2 apart; as
    // whole numbers of units, at most 10^k / 2 (0 for equal decimals: one value, one text).
    // Half-way values round away from zero, which stays within those bounds.
    const qint64 scale = power10(fine.decimals - coarse.decimals);
    // Beyond 10^16 units the coarse number is more than 10^15 away from any fine one (at most
    // 15 digits), far more than the bound; stopping there keeps the product in range.
    if (coarse.units > Limit / scale)
        return false;
    const qint64 distance = std::llabs(fine.units - coarse.units * scale);
    return 2 * distance <= scale;
}
