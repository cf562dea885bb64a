// The version and size texts, as the dialog shows them.
#include "fieldtext.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>

namespace {

// Runs a text builder on a buffer of sentinels: the text ends with its NUL
// as its last byte, and nothing after it is touched.
template <typename Build>
std::string BuiltText(int bytes, Build build)
{
    char text[16];
    memset(text, '#', sizeof text);
    build(text);
    EXPECT_EQ('\0', text[bytes - 1]);
    for (int i = bytes; i < (int)sizeof text; ++i)
        EXPECT_EQ('#', text[i]) << "wrote past the text at " << i;
    return text;
}

std::string VersionText(uint16_t version)
{
    return BuiltText(VERSION_TEXT_BYTES, [&](char *text) { FormatVersionText(version, text); });
}

std::string MillimetreText(float size)
{
    return BuiltText(MILLIMETRE_TEXT_BYTES, [&](char *text) { FormatMillimetreText(size, text); });
}

std::string MillimetreField(int32_t extent, uint32_t unitCode)
{
    float size;
    EXPECT_TRUE(MillimetreSize(extent, unitCode, &size));
    return MillimetreText(size);
}

uint32_t Bits(float value)
{
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    return bits;
}

float FromBits(uint32_t bits)
{
    float value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

TEST(VersionText, ShowsEachByteAsDigitOrAsterisk)
{
    const struct { uint16_t version; const char *text; } cases[] = {
        { 0x0101, "1.1" }, { 0x0102, "1.2" }, { 0x0000, "0.0" }, { 0x0909, "9.9" },
        { 0x010A, "1.*" }, { 0x0A01, "*.1" }, { 0xFF05, "*.5" }, { 0x0580, "5.*" },
        { 0x7F7F, "*.*" }, { 0xFFFF, "*.*" }, { 0x8000, "*.0" },
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.text, VersionText(c.version)) << std::hex << c.version;
}

TEST(VersionText, EveryWordGivesThreeCharacters)
{
    for (uint32_t version = 0; version <= 0xFFFF; ++version) {
        std::string text = VersionText((uint16_t)version);
        ASSERT_EQ(3u, text.size());
        ASSERT_EQ('.', text[1]);
    }
}

TEST(MillimetreSize, UsesTheSinglePrecisionUnitFactors)
{
    float size;
    ASSERT_TRUE(MillimetreSize(1, 1, &size));
    EXPECT_EQ(0x3CD013A9u, Bits(size));
    ASSERT_TRUE(MillimetreSize(1, 2, &size));
    EXPECT_EQ(0x3C23D70Au, Bits(size));
}

TEST(MillimetreSize, RoundsTheDoubleProductOnceToSingle)
{
    // 16777217 * 0.01f is 167772.17000000575..., whose nearest float
    // 167772.171875 differs from the float product's rounding 167772.15625.
    float size;
    ASSERT_TRUE(MillimetreSize(16777217, 2, &size));
    EXPECT_EQ(167772.171875f, size);
}

TEST(MillimetreSize, KnowsOnlyInchesAndCentimetres)
{
    const uint32_t unknown[] = { 0, 3, 4, 0x80000000u, 0xFFFFFFFFu };
    for (uint32_t unitCode : unknown) {
        float size = 42.0f;
        EXPECT_FALSE(MillimetreSize(500, unitCode, &size)) << unitCode;
        EXPECT_EQ(42.0f, size);
    }
}

TEST(MillimetreField, MatchesTheDocumentedExamples)
{
    const struct { int32_t extent; uint32_t unitCode; const char *field; } cases[] = {
        { 500, 1, "   12.7" },
        { 500, 2, "    5.0" },
        { 100, 1, "    2.5" },
        { 20, 1, "     .5" },
        { 2, 1, "     .1" },
        { 1, 1, "     .0" },
        { 0, 1, "     .0" },
        { 0, 2, "     .0" },
        { 25, 2, "     .3" },  // 0.25 exactly: half away from zero
        { 75, 2, "     .8" },
        { 5, 2, "     .0" },   // 0.0499999..., not .1 as with a double factor
        { -1, 1, "     .0" },  // rounds to zero: no sign
        { -2, 1, "    -.1" },
        { -100, 1, "   -2.5" },
        { -25, 2, "    -.3" },
        { 15200, 2, "  152.0" },
        { 9500, 2, "   95.0" },
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.field, MillimetreField(c.extent, c.unitCode))
            << c.extent << " in unit " << c.unitCode;
}

TEST(MillimetreText, FillsSevenCharactersOrShowsAsterisks)
{
    const struct { float size; const char *field; } cases[] = {
        { 99999.94f, "99999.9" },
        { 99999.95f, "*******" },  // the float is 99999.953125: rounds up to 100000.0
        { 100000.0f, "*******" },
        { -9999.94f, "-9999.9" },
        { -9999.95f, "*******" },  // -9999.9501953125 rounds to -10000.0
        { -10000.0f, "*******" },
        { 0.05f, "     .1" },      // 0.0500000007...
        { -0.0f, "     .0" },
        { 1e-45f, "     .0" },
        { 3.4e38f, "*******" },
        { -3.4e38f, "*******" },
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.field, MillimetreText(c.size)) << c.size;
}

TEST(MillimetreText, LargestExtentsShowAsterisks)
{
    EXPECT_EQ("*******", MillimetreField(INT32_MAX, 1));
    EXPECT_EQ("*******", MillimetreField(INT32_MIN, 1));
    EXPECT_EQ("*******", MillimetreField(INT32_MAX, 2));
    EXPECT_EQ("*******", MillimetreField(INT32_MIN, 2));
}

TEST(MillimetreText, InfinityAndNotANumberShowAsterisks)
{
    EXPECT_EQ("*******", MillimetreText(FromBits(0x7F800000)));
    EXPECT_EQ("*******", MillimetreText(FromBits(0xFF800000)));
    EXPECT_EQ("*******", MillimetreText(FromBits(0x7FC00000)));
}

}  // namespace
