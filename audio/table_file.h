// The shared table's file, as the real backends keep it: a fixed size,
// made whole once and then written in place, so that a full disk cannot
// stop a write. It holds two copies side by side, each a header and the
// text. A write goes to the copy that is not the newest whole one, so a
// write cut short (a kill, a crash) leaves the last whole copy to every
// reader; the header's count of writes tells the newest, and its length
// and checksum tell a torn copy. A reader without the turn may meet a
// write in progress: it reads again.
#pragma once

#include "audio/audio_platform.h"

#include <cstdint>

constexpr int kTableHeaderBytes = 128;
constexpr int kTableCopyBytes = kTableHeaderBytes + kSharedTableBytes;
constexpr int kTableFileBytes = 2 * kTableCopyBytes;

// The platform's positional reads and writes of the open file.
struct TableFile {
    bool (*read_at)(uint64_t offset, char* into, int length);
    bool (*write_at)(uint64_t offset, const char* bytes, int length);
};

// A file never written (all zeros) reads as an empty table. The generation
// is the count of writes the file has had, as its newest header says: it
// moves with every write made whole.
TableRead read_table_file(const TableFile& file, char* text, int capacity, uint64_t* generation);
bool table_file_generation(const TableFile& file, uint64_t* generation);
bool write_table_file(const TableFile& file, const char* text, int length);
