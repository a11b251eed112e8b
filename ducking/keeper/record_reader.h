// The keeper's side of its pipe: what the pipe delivers, split into lines.
#pragma once

struct RecordReader {
    char bytes[8192];
    int start;
    int end;
    bool skipping;  // inside a line too long for the buffer
};

// Gives the next whole line, without its line feed; lines that do not fit
// in capacity (no record is that long) and a last line without a line feed
// are dropped. read_more(into, room) reads what the pipe has, and returns
// 0 or less at its end. False once the pipe has ended.
bool next_record(RecordReader& reader, char* record, int capacity,
                 int (*read_more)(char* into, int room));
