#include "ducking/record_text.h"

#include "audio/decimal.h"

#include <cstdio>
#include <cstring>

uint32_t bits_of(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

float float_of(uint32_t bits)
{
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

bool read_word(RecordFields& fields, const char* word)
{
    const size_t length = std::strlen(word);
    if (std::strncmp(fields.at, word, length) != 0 ||
        (fields.at[length] != ' ' && fields.at[length] != 0))
        return false;
    fields.at += length;
    if (*fields.at == ' ')
        ++fields.at;
    return true;
}

bool read_number(RecordFields& fields, uint64_t largest, uint64_t* value)
{
    const char* end = nullptr;
    const uint64_t read = read_decimal_digits(fields.at, &end);
    if (end == fields.at || (*end != ' ' && *end != 0) || read > largest)
        return false;
    *value = read;
    fields.at = *end ? end + 1 : end;
    return true;
}

bool read_u32(RecordFields& fields, uint32_t* value)
{
    uint64_t read = 0;
    if (!read_number(fields, UINT32_MAX, &read))
        return false;
    *value = static_cast<uint32_t>(read);
    return true;
}

bool read_float(RecordFields& fields, float* value)
{
    uint32_t bits = 0;
    if (!read_u32(fields, &bits))
        return false;
    *value = float_of(bits);
    return true;
}

bool fields_end(const RecordFields& fields)
{
    return *fields.at == 0;
}

RecordBuilder start_record(char* out, int capacity, const char* word)
{
    RecordBuilder record{out, capacity, 0, capacity > 0};
    if (record.fits)
        out[0] = 0;
    add_text(record, word);
    return record;
}

void add_number(RecordBuilder& record, uint64_t value)
{
    char number[24];
    std::snprintf(number, sizeof number, "%llu", static_cast<unsigned long long>(value));
    add_text(record, number);
}

void add_float(RecordBuilder& record, float value)
{
    add_number(record, bits_of(value));
}

void add_text(RecordBuilder& record, const char* text)
{
    const int length = static_cast<int>(std::strlen(text));
    const int space = record.used > 0 ? 1 : 0;
    if (!record.fits || record.used + space + length >= record.capacity) {
        record.fits = false;
        return;
    }
    if (space)
        record.out[record.used++] = ' ';
    std::memcpy(record.out + record.used, text, static_cast<size_t>(length) + 1);
    record.used += length;
}
