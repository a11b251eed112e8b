#include "hold_lines.h"

#include <cstdio>
#include <cstring>

LineTaken take_hold_line(HoldLineBuffer& buffer, char* line, int capacity)
{
    const char* end =
        static_cast<const char*>(std::memchr(buffer.bytes, '\n', static_cast<size_t>(buffer.filled)));
    if (!end)
        return buffer.filled == static_cast<int>(sizeof buffer.bytes) ? LineTaken::kTooLong
                                                                       : LineTaken::kNone;
    int length = static_cast<int>(end - buffer.bytes);
    const int taken = length + 1;
    if (length > 0 && buffer.bytes[length - 1] == '\r')
        --length;
    if (length >= capacity)
        return LineTaken::kTooLong;
    std::memcpy(line, buffer.bytes, static_cast<size_t>(length));
    line[length] = 0;
    buffer.filled -= taken;
    std::memmove(buffer.bytes, buffer.bytes + taken, static_cast<size_t>(buffer.filled));
    return LineTaken::kLine;
}

bool read_line_from(HoldLineBuffer& buffer, char* line, int capacity, uint64_t deadline_ms,
                    bool (*more)(void* source, HoldLineBuffer& buffer, uint64_t deadline_ms),
                    void* source)
{
    for (;;) {
        const LineTaken taken = take_hold_line(buffer, line, capacity);
        if (taken != LineTaken::kNone)
            return taken == LineTaken::kLine;
        if (!more(source, buffer, deadline_ms))
            return false;
    }
}

int frame_hold_line(const char* line, char* bytes, int capacity)
{
    const int length = std::snprintf(bytes, static_cast<size_t>(capacity), "%s\n", line);
    return length < 0 || length >= capacity ? -1 : length;
}
