// Texts of the version and size fields.
#include "fieldtext.h"

#include <string.h>

// The factors are these single-precision values, not the decimal fractions:
// the difference shows, for example 5 cm-counts give .0 and not .1.
static const float MillimetresPerInchCount = 0.0254f;      // 0x3CD013A9
static const float MillimetresPerCentimetreCount = 0.01f;  // 0x3C23D70A

static char VersionCharacter(uint8_t number)
{
    return number <= 9 ? (char)('0' + number) : '*';
}

void FormatVersionText(uint16_t version, char *text)
{
    text[0] = VersionCharacter((uint8_t)(version >> 8));
    text[1] = '.';
    text[2] = VersionCharacter((uint8_t)(version & 0xFF));
    text[3] = '\0';
}

bool MillimetreSize(int32_t extent, uint32_t unitCode, float *size)
{
    float factor;
    if (unitCode == 1)
        factor = MillimetresPerInchCount;
    else if (unitCode == 2)
        factor = MillimetresPerCentimetreCount;
    else
        return false;

    // The product is rounded to double, then once more to single precision.
    // Storing it forces the first rounding even where the compiler computes
    // in wider x87 registers (the exact product has at most 55 bits).
    volatile double product = (double)extent * (double)factor;
    *size = (float)product;
    return true;
}

// |size| * 10 rounded half away from zero, computed exactly from the bits
// of the single-precision value. False when the result exceeds every field.
static bool RoundedTenths(float size, uint64_t *tenths)
{
    uint32_t bits;
    memcpy(&bits, &size, sizeof bits);
    uint32_t exponentField = (bits >> 23) & 0xFF;
    uint64_t significand = bits & 0x7FFFFF;
    if (exponentField == 0xFF)
        return false; // infinity or not a number
    if (exponentField != 0)
        significand |= 0x800000;
    else
        exponentField = 1;

    // |size| = significand * 2^exponent
    int exponent = (int)exponentField - 150;
    if (exponent >= 0) {
        if (exponent > 20)
            return false; // at least 2^44, far beyond seven characters
        *tenths = (significand * 10) << exponent;
    } else {
        int shift = -exponent;
        if (shift > 60)
            *tenths = 0; // below 2^-36: rounds to zero
        else
            *tenths = (significand * 10 + ((uint64_t)1 << (shift - 1))) >> shift;
    }
    return true;
}

void FormatMillimetreText(float size, char *text)
{
    const int width = MILLIMETRE_TEXT_BYTES - 1;
    text[width] = '\0';

    uint64_t tenths;
    if (!RoundedTenths(size, &tenths)) {
        memset(text, '*', width);
        return;
    }

    char digits[24]; // at most 17 used: sign, 14 digits, point, decimal
    int start = sizeof digits;
    uint64_t whole = tenths / 10;
    digits[--start] = (char)('0' + tenths % 10);
    digits[--start] = '.';
    for (; whole != 0; whole /= 10)
        digits[--start] = (char)('0' + whole % 10);
    if (size < 0 && tenths != 0)
        digits[--start] = '-';

    int length = (int)sizeof digits - start;
    if (length > width) {
        memset(text, '*', width);
    } else {
        memset(text, ' ', width - length);
        memcpy(text + width - length, digits + start, length);
    }
}
