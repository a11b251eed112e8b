// The lines this program tells its keeper, one per change of what is saved:
//
//   save PID BITS                  a process's saved volume (BITS: the
//                                  float's bit pattern, so it travels exactly)
//   memory MUTED N P1..PN B1..BN KEY   a stream's memory: mute flag, channel
//                                  count, positions, levels as bits, and its
//                                  name, which runs to the end of the line
//   clear                          everything saved was restored
#pragma once

#include "saved_volumes.h"

// One record is one write to a pipe, which is atomic up to 4096 bytes.
constexpr int kMaxKeeperRecord = 1024;
static_assert(kMaxKeeperRecord <= 4096);

extern const char kClearRecord[];

bool format_saved_record(const SavedVolume& saved, char* out, int capacity);
bool format_memory_record(const VolumeMemory& memory, char* out, int capacity);

enum class KeeperRecord { kSave, kMemory, kClear, kUnknown };
// Fills saved or memory, as the record says; a record that does not parse
// whole is unknown.
KeeperRecord parse_keeper_record(const char* record, SavedVolume* saved, VolumeMemory* memory);
