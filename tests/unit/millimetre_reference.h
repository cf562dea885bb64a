// An independent reference for the millimetre field: exact integer
// arithmetic on the bits of the factor, digit by digit, no floating point.
#ifndef TABTEST_MILLIMETRE_REFERENCE_H
#define TABTEST_MILLIMETRE_REFERENCE_H

#include <stdint.h>

#include <string>

// Rounds value to the given number of significant bits, to nearest, ties to
// even; value * 2^exponent keeps its meaning.
inline void RoundToBits(uint64_t *value, int *exponent, int bits)
{
    while (*value >> bits) {
        int excess = 0;
        while (*value >> (bits + excess))
            ++excess;
        uint64_t dropped = *value & ((1ull << excess) - 1);
        uint64_t half = 1ull << (excess - 1);
        *value >>= excess;
        *exponent += excess;
        if (dropped > half || (dropped == half && (*value & 1)))
            ++*value; // may carry into a new bit: the loop rounds again
    }
}

// The field for an extent in a unit (1 inches, 2 centimetres): the product
// with the single-precision factor, rounded to 53 and then to 24 bits, its
// first dropped decimal digit deciding the rounding to tenths.
inline std::string ReferenceMillimetreField(int32_t extent, uint32_t unitCode)
{
    // 0.0254f = 0xD013A9 * 2^-29, 0.01f = 0xA3D70A * 2^-30
    uint64_t factor = unitCode == 1 ? 0xD013A9 : 0xA3D70A;
    int exponent = unitCode == 1 ? -29 : -30;
    bool negative = extent < 0;
    uint64_t magnitude = negative ? 0 - (uint64_t)(int64_t)extent : (uint64_t)extent;

    uint64_t value = magnitude * factor; // exact: below 2^55
    RoundToBits(&value, &exponent, 53);
    RoundToBits(&value, &exponent, 24);

    uint64_t whole, fraction;
    int fractionBits = exponent < 0 ? -exponent : 0;
    if (exponent >= 0) {
        whole = value << exponent;
        fraction = 0;
    } else {
        whole = value >> fractionBits;
        fraction = value & ((1ull << fractionBits) - 1);
    }
    uint64_t firstDigit = (fraction * 10) >> fractionBits;
    uint64_t rest = (fraction * 10) & ((1ull << fractionBits) - 1);
    uint64_t droppedDigit = (rest * 10) >> fractionBits;
    uint64_t tenths = whole * 10 + firstDigit + (droppedDigit >= 5 ? 1 : 0);

    std::string text;
    if (negative && tenths != 0)
        text = "-";
    if (tenths >= 10)
        text += std::to_string(tenths / 10);
    text += "." + std::to_string(tenths % 10);
    if (text.size() > 7)
        return "*******";
    return std::string(7 - text.size(), ' ') + text;
}

#endif
