// How the holds' channels frame their lines, alike on every platform: a
// line is its bytes and a line feed; a carriage return before the feed
// (a reply written in text mode on Windows) is no part of it.
#pragma once

#include <cstdint>

struct HoldLineBuffer {
    char bytes[4096];  // read and not yet given out
    int filled;
};

enum class LineTaken { kLine, kNone, kTooLong };
// The first whole line in the buffer, removed from it.
LineTaken take_hold_line(HoldLineBuffer& buffer, char* line, int capacity);
// Reads the next line, asking `more` for bytes while none is whole: it
// appends what it gets within the deadline, false at the end, an error or
// the deadline. False too for a line longer than the buffer or `capacity`.
bool read_line_from(HoldLineBuffer& buffer, char* line, int capacity, uint64_t deadline_ms,
                    bool (*more)(void* source, HoldLineBuffer& buffer, uint64_t deadline_ms),
                    void* source);
// The line with its feed, into `bytes`; its length, or -1 when it does not fit.
int frame_hold_line(const char* line, char* bytes, int capacity);
