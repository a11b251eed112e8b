// The lines this program tells its keeper, one per change of what is saved:
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
//                                  the keeper keeps (shared_turn.h); told
//                                  first
//   release PID INSTANCE           a hold released while the shared table
//                                  could not be written, to be written at
//                                  the next turn; after a clear, the saves
//
// A save for a session the keeper holds replaces it. Each record is one
// line ended by a line feed, written whole in one write (a pipe takes up to
// 4096 bytes at once or not at all), so the keeper never sees half of one.
// The platform only moves the bytes. The shared table (shared_holds.h)
// carries the same save and holder records.
#pragma once

#include "record_text.h"
#include "saved_volumes.h"

// The keeper's command line: the program itself, with this one argument.
constexpr char kKeeperMarker[] = "--keeper";
// The longest record without its line feed.
constexpr int kMaxKeeperRecord = 1280;
// A save of a full channel set, every ramp and the longest key fits: seven
// numbers of at most 20 digits, 15 characters a channel, 22 a ramp.
static_assert(kMaxKeeperRecord >= 5 + 7 * 21 + kMaxChannels * 15 + kRampsKept * 22 + kMaxMemoryKey);
// A record and its line feed go in one atomic write: a Linux pipe takes
// 4096 bytes (PIPE_BUF) at once, a Windows pipe more.
static_assert(kMaxKeeperRecord + 1 <= 4096);
// Room in the keeper's pipe for every record of a full table twice (all of
// them told afresh after a drop, say, while the last telling is unread), so
// a write never finds it full while the keeper is alive and reading.
constexpr int kKeeperPipeBytes = 1 << 20;
static_assert(kKeeperPipeBytes >= 2 * kMaxSaved * (kMaxKeeperRecord + 1));

extern const char kClearRecord[];

// In this program: one record to the keeper, framed and written whole;
// false when it was not delivered (the keeper gone or behind).
bool send_keeper_record(const char* record);
// In the keeper: the next record the program sent, without its line feed;
// false once the pipe has ended. A line too long for a record, and a last
// line without its line feed, are dropped.
bool receive_keeper_record(char* record, int capacity);

bool format_saved_record(const SavedSession& saved, char* out, int capacity);
// A save that does not parse whole is none.
bool parse_saved_record(const char* record, SavedSession* saved);

bool format_holder_record(uint32_t pid, uint64_t started, char* out, int capacity);
bool parse_holder_record(const char* record, uint32_t* pid, uint64_t* started);

bool format_release_record(uint32_t pid, uint64_t instance, char* out, int capacity);
bool parse_release_record(const char* record, uint32_t* pid, uint64_t* instance);
