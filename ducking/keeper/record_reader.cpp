#include "ducking/keeper/record_reader.h"

#include <cstring>

bool next_record(RecordReader& in, char* record, int capacity, int (*read_more)(char*, int))
{
    for (;;) {
        for (int i = in.start; i < in.end; ++i) {
            if (in.bytes[i] != '\n')
                continue;
            const int length = i - in.start;
            const bool whole = !in.skipping && length < capacity;
            if (whole) {
                std::memcpy(record, in.bytes + in.start, static_cast<size_t>(length));
                record[length] = 0;
            }
            in.start = i + 1;
            in.skipping = false;
            if (whole)
                return true;
        }
        // No whole line buffered: keep the partial one, or drop it when it
        // fills the buffer.
        if (in.start > 0) {
            std::memmove(in.bytes, in.bytes + in.start, static_cast<size_t>(in.end - in.start));
            in.end -= in.start;
            in.start = 0;
        }
        if (in.end == static_cast<int>(sizeof in.bytes)) {
            in.end = 0;
            in.skipping = true;
        }
        const int got = read_more(in.bytes + in.end, static_cast<int>(sizeof in.bytes) - in.end);
        if (got <= 0)
            return false;
        in.end += got;
    }
}
