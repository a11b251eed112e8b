// The lines this program tells its keeper, one per change of what is saved:
//
//   save PID BITS                  a process's saved volume (BITS: the
//                                  float's bit pattern, so it travels exactly)
//   memory MUTED N P1..PN B1..BN KEY   a stream's memory: mute flag, channel
//                                  count, positions, levels as bits, and its
//                                  name, which runs to the end of the line
//   clear                          everything saved was restored
//
// Each record is one line ended by a line feed, written whole in one write
// (a pipe takes up to 4096 bytes at once or not at all), so the keeper
// never sees half of one. The platform only moves the bytes.
#pragma once

#include "saved_volumes.h"

// The keeper's command line: the program itself, with this one argument.
constexpr char kKeeperMarker[] = "--keeper";
// Room in the keeper's pipe for every record of full tables, so a write
// never finds it full while the keeper is alive and reading.
constexpr int kKeeperPipeBytes = 1 << 18;
// The longest record without its line feed.
constexpr int kMaxKeeperRecord = 1024;
// A record and its line feed go in one atomic write: a Linux pipe takes
// 4096 bytes (PIPE_BUF) at once, a Windows pipe more.
static_assert(kMaxKeeperRecord + 1 <= 4096);

extern const char kClearRecord[];

// In this program: one record to the keeper, framed and written whole;
// false when it was not delivered (the keeper gone or behind).
bool send_keeper_record(const char* record);
// In the keeper: the next record the program sent, without its line feed;
// false once the pipe has ended. A line too long for a record, and a last
// line without its line feed, are dropped.
bool receive_keeper_record(char* record, int capacity);

bool format_saved_record(const SavedVolume& saved, char* out, int capacity);
bool format_memory_record(const VolumeMemory& memory, char* out, int capacity);

enum class KeeperRecord { kSave, kMemory, kClear, kUnknown };
// Fills saved or memory, as the record says; a record that does not parse
// whole is unknown.
KeeperRecord parse_keeper_record(const char* record, SavedVolume* saved, VolumeMemory* memory);
