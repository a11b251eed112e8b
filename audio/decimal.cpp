#include "audio/decimal.h"

uint64_t read_decimal_digits(const char* text, const char** end)
{
    uint64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        const uint64_t digit = static_cast<uint64_t>(*text - '0');
        // Checked before the multiplication, which could otherwise wrap.
        if (value > (kDecimalCeiling - digit) / 10)
            value = kDecimalCeiling;
        else
            value = value * 10 + digit;
    }
    if (end)
        *end = text;
    return value;
}

bool parse_uint32(const char* text, uint32_t* value)
{
    const char* end = nullptr;
    const uint64_t read = read_decimal_digits(text, &end);
    if (end == text || *end != 0 || read > UINT32_MAX)
        return false;
    *value = static_cast<uint32_t>(read);
    return true;
}
