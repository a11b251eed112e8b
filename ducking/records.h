// The records this program writes for its keeper and for the table several
// controllers share, one per line:
//
//   save PID INSTANCE VOLUME SHARE MUTED N P1..PN V1..VN R F1 T1..FR TR [KEY]
//        a saved session: its process and instance, its volume and the
//        share it sits at (floats as their bits), its memory's mute flag,
//        its channel count, positions and raw values, the ramps written to
//        it (their count, then each one's start and target share), and the
//        memory key it carried, which runs to the end of the line (none:
//        the line ends after the ramps)
//   clear                          nothing is saved any more
//   holder PID STARTED             whose holds beside other controllers
//                                  these are (sharing/shared_turn.h)
//   release PID INSTANCE           a hold released while the shared table
//                                  could not be written, to be written at
//                                  the next turn
//
// The keeper hears them over its pipe (keeper/keeper_pipe.h); the shared
// table (sharing/shared_holds.h) carries the save and holder records.
#pragma once

#include "ducking/record_text.h"
#include "ducking/saved_volumes.h"

// The longest record without its line feed.
constexpr int kMaxRecord = 1280;
// A save of a full channel set, every ramp and the longest key fits: seven
// numbers of at most 20 digits, 15 characters a channel, 22 a ramp.
static_assert(kMaxRecord >= 5 + 7 * 21 + kMaxChannels * 15 + kRampsKept * 22 + kMaxMemoryKey);

extern const char kClearRecord[];

bool format_saved_record(const SavedSession& saved, char* out, int capacity);
// A save that does not parse whole is none.
bool parse_saved_record(const char* record, SavedSession* saved);

bool format_holder_record(uint32_t pid, uint64_t started, char* out, int capacity);
bool parse_holder_record(const char* record, uint32_t* pid, uint64_t* started);

bool format_release_record(uint32_t pid, uint64_t instance, char* out, int capacity);
bool parse_release_record(const char* record, uint32_t* pid, uint64_t* instance);
