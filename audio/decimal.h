// Decimal numbers in text: the one place the program reads them.
#pragma once

#include <cstdint>

// Values at or above this are all "too large" to every caller; reading
// stops growing there, so no digit string can overflow.
constexpr uint64_t kDecimalCeiling = UINT64_C(1) << 62;

// Reads the decimal digits at text (none give 0), saturating at
// kDecimalCeiling; *end, when given, is set to the first byte after them.
uint64_t read_decimal_digits(const char* text, const char** end);

// True when the whole text is one unsigned 32-bit decimal number: at least
// one digit and nothing else.
bool parse_uint32(const char* text, uint32_t* value);
