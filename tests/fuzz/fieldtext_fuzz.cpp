// Feeds the field-text builders arbitrary inputs: every text has its exact
// length and terminator, nothing after it is touched, and the millimetre
// field agrees with the exact reference.
#include "fieldtext.h"
#include "../unit/millimetre_reference.h"

#include <stdlib.h>
#include <string.h>

static void Check(bool condition)
{
    if (!condition)
        abort();
}

static bool IsNumberCharacter(char c)
{
    return (c >= '0' && c <= '9') || c == '.' || c == '-' || c == ' ' || c == '*';
}

static void CheckVersionText(uint16_t version)
{
    char text[VERSION_TEXT_BYTES + 8];
    memset(text, 0x7E, sizeof text);
    FormatVersionText(version, text);
    Check(text[1] == '.' && text[3] == '\0');
    for (int i : { 0, 2 })
        Check((text[i] >= '0' && text[i] <= '9') || text[i] == '*');
    for (size_t i = VERSION_TEXT_BYTES; i < sizeof text; ++i)
        Check(text[i] == 0x7E);
}

static void CheckMillimetreText(float size, char *text, size_t capacity)
{
    memset(text, 0x7E, capacity);
    FormatMillimetreText(size, text);
    Check(text[MILLIMETRE_TEXT_BYTES - 1] == '\0');
    for (int i = 0; i < MILLIMETRE_TEXT_BYTES - 1; ++i)
        Check(IsNumberCharacter(text[i]));
    for (size_t i = MILLIMETRE_TEXT_BYTES; i < capacity; ++i)
        Check(text[i] == 0x7E);
    Check(strchr(text, '*') == NULL || strcmp(text, "*******") == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 10)
        return 0;
    uint16_t version;
    int32_t extent;
    uint32_t sizeBits;
    memcpy(&version, data, 2);
    memcpy(&extent, data + 2, 4);
    memcpy(&sizeBits, data + 6, 4);
    uint32_t unitCode = size > 10 ? data[10] % 4 : 1;

    CheckVersionText(version);

    // Any float, including infinities, not-a-number and subnormals.
    float anySize;
    memcpy(&anySize, &sizeBits, sizeof anySize);
    char text[MILLIMETRE_TEXT_BYTES + 8];
    CheckMillimetreText(anySize, text, sizeof text);
    char again[MILLIMETRE_TEXT_BYTES + 8];
    CheckMillimetreText(anySize, again, sizeof again);
    Check(memcmp(text, again, MILLIMETRE_TEXT_BYTES) == 0);

    // A size as the dialog computes it, against the reference.
    float computed = 0;
    bool known = MillimetreSize(extent, unitCode, &computed);
    Check(known == (unitCode == 1 || unitCode == 2));
    if (known) {
        CheckMillimetreText(computed, text, sizeof text);
        Check(ReferenceMillimetreField(extent, unitCode) == text);
    }
    return 0;
}
