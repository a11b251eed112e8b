// What the parts of the simulated platform share: the failures a test
// injects, the references every handle holds, the virtual clock, and the
// few calls between parts, each named with the part that provides it.
// Each part keeps the rest of its world to itself.
#pragma once

#include "support/simulated/platform.h"

#include <cstddef>
#include <cstdint>

// ---- core.cpp ----------------------------------------------------------------

// A platform call: counted when it comes after the runtime was left.
void note_call();
// Counts the call and says whether the test made this operation fail.
bool fails(SimOp op, int target = kSimAnyTarget);

enum class Kind : uint8_t {
    kFree, kEnumerator, kEndpoints, kEndpoint, kManager, kSessions, kControl,
    kControl2, kVolume, kSnapshot
};

// One handed-out reference. target is the endpoint index or session id it
// stands for; cursor walks a snapshot.
struct SimObject {
    Kind kind;
    int refs;
    int target;
    int cursor;
};
// A fresh reference of that kind.
SimObject* obtain(Kind kind, int target);
// The object behind a live handle of that kind (asserted).
SimObject& object_behind(void* opaque, Kind kind);
// Drops one reference; a release of one already released is counted.
void drop(void* opaque, Kind kind);

// Appends text and a separator to a fixed log, dropping what does not fit.
void log_text(char* log, size_t capacity, const char* text, char separator);

// ---- clock.cpp -----------------------------------------------------------------

// The virtual clock, in milliseconds; sleeps and slow answers move it.
uint64_t& clock_now();
// The runtime was left: calls after it are counted.
bool runtime_left();

// ---- sessions.cpp --------------------------------------------------------------

// Lands every volume set whose answer is due by `now` (the clock stands
// there meanwhile).
void deliver_answers(uint64_t now);
// A process ended: so did its sessions.
void end_sessions_of(uint32_t pid);

// ---- processes.cpp ------------------------------------------------------------

// The process is this program's own or one of the world's, not ended.
bool process_running(uint32_t pid);
// This program's own process, as the world stands now (not a platform call).
uint32_t current_pid();

// ---- keeper.cpp ---------------------------------------------------------------

// How long the keeper's transcript is now, for the volume log.
int keeper_transcript_length();

// ---- shared_turn.cpp ------------------------------------------------------------

// How many shared tables were written so far, for the volume log.
int shared_tables_written();

// ---- each part: back to an empty world --------------------------------------

void reset_core();
void reset_clock();
void reset_sessions();
void reset_processes();
void reset_keeper();
void reset_shared_turn();
