// The millimetre field against the exact reference, over the extents where
// mistakes hide (powers of two, field limits) and a fixed pseudo-random sample.
#include "fieldtext.h"
#include "millimetre_reference.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::string ProgramField(int32_t extent, uint32_t unitCode)
{
    float size;
    char text[8];
    MillimetreSize(extent, unitCode, &size);
    FormatMillimetreText(size, text);
    return text;
}

std::vector<int32_t> BoundaryExtents()
{
    std::vector<int32_t> extents;
    auto around = [&](int64_t centre, int spread) {
        for (int64_t e = centre - spread; e <= centre + spread; ++e)
            if (e >= INT32_MIN && e <= INT32_MAX)
                extents.push_back((int32_t)e);
    };
    around(0, 2000);
    for (int bit = 1; bit <= 31; ++bit) {
        around(1ll << bit, 3);
        around(-(1ll << bit), 3);
    }
    around(INT32_MAX, 3);
    around(INT32_MIN, 3);
    // Where the field turns to asterisks: 99999.95 and -9999.95 millimetres.
    around(3937006, 50);    // inches
    around(9999995, 50);    // centimetres
    around(-393700, 50);
    around(-999995, 50);
    return extents;
}

TEST(MillimetreField, AgreesWithTheExactReferenceAtBoundaries)
{
    for (uint32_t unitCode = 1; unitCode <= 2; ++unitCode)
        for (int32_t extent : BoundaryExtents())
            ASSERT_EQ(ReferenceMillimetreField(extent, unitCode), ProgramField(extent, unitCode))
                << extent << " in unit " << unitCode;
}

TEST(MillimetreField, AgreesWithTheExactReferenceOnASample)
{
    uint32_t state = 12345;
    for (int i = 0; i < 2000000; ++i) {
        state = state * 1664525u + 1013904223u; // fixed sequence: same cases every run
        int32_t extent = (int32_t)state;
        if (i & 1)
            extent >>= (i >> 1) % 24; // smaller magnitudes too
        for (uint32_t unitCode = 1; unitCode <= 2; ++unitCode)
            ASSERT_EQ(ReferenceMillimetreField(extent, unitCode), ProgramField(extent, unitCode))
                << extent << " in unit " << unitCode;
    }
}

}  // namespace
