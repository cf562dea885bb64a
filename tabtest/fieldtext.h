// Texts of the version and size fields. Pure functions: no platform calls,
// so that they can be checked on any machine and for every input.
#ifndef TABTEST_FIELDTEXT_H
#define TABTEST_FIELDTEXT_H

#include <stdint.h>

// Bytes that the two text builders write at the start of the text buffer,
// the closing NUL included; nothing after them is touched.
#define VERSION_TEXT_BYTES     4
#define MILLIMETRE_TEXT_BYTES  8

// Writes "M.m" and a NUL: each of the major (high) and minor (low) byte as
// its digit when it is 0 to 9, otherwise as an asterisk.
void FormatVersionText(uint16_t version, char *text);

// Tablet size in millimetres of an extent in counts, for the unit code of the
// axis (1 inches, 2 centimetres, as the driver's TU_ codes). False, and no size, for any other unit code.
bool MillimetreSize(int32_t extent, uint32_t unitCode, float *size);

// Writes the size rounded half away from zero to one decimal, without a
// leading zero, right-aligned in seven characters (seven asterisks when it
// does not fit), and a NUL.
void FormatMillimetreText(float size, char *text);

#endif
