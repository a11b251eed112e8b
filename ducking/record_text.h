// The one grammar of the records this program writes for its keeper and
// for the table several controllers share: a word, then numbers separated
// by single spaces, perhaps a text that runs to the end of the line.
// Floats travel as their bits, so that they arrive exactly.
#pragma once

#include <cstdint>

uint32_t bits_of(float value);
float float_of(uint32_t bits);

// Reads a record's fields from its start.
struct RecordFields {
    const char* at;
};
// The record begins with this word and a space (or is the word alone):
// true, and the fields start after it.
bool read_word(RecordFields& fields, const char* word);
// The next number, at most `largest`, and the space after it (none at
// the record's end).
bool read_number(RecordFields& fields, uint64_t largest, uint64_t* value);
bool read_u32(RecordFields& fields, uint32_t* value);
bool read_float(RecordFields& fields, float* value);
// Nothing is left.
bool fields_end(const RecordFields& fields);

// Builds a record in a buffer of `capacity` bytes; `fits` turns false for
// good once something did not fit.
struct RecordBuilder {
    char* out;
    int capacity;
    int used;
    bool fits;
};
RecordBuilder start_record(char* out, int capacity, const char* word);
void add_number(RecordBuilder& record, uint64_t value);
void add_float(RecordBuilder& record, float value);
// A space and the text, to the end of the record.
void add_text(RecordBuilder& record, const char* text);
