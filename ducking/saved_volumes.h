// What ducking must be able to undo: each ducked session's own level from
// before its first duck, exactly, with the memory its platform kept it
// under, and the ramps appduck wrote to it since. A record outlives the
// session table's rebuilds and is dropped only once its session is really
// back (set and confirmed) or really gone (the platform answered in full
// without it, and its memory is put back), so a restore that could not see
// a session loses nothing.
#pragma once

#include "audio/audio_platform.h"
#include "audio/session_table.h"

#include <cstdint>

constexpr int kMaxSaved = 256;

// The last ramps written to a session, as shares of its own level: every
// level of them went to the platform's memory of the session too.
constexpr int kRampsKept = 4;
struct Ramp {
    float from;
    float to;
};

struct SavedSession {
    uint32_t pid;
    uint64_t instance;  // 0: the process's sessions known by no instance
    float volume;       // its master volume before its first duck
    float share;        // of that volume, where the last change left it
    float held;         // this controller's own share, its last duck's
    VolumeMemory own;   // its level then, and the memory key it carried
    Ramp ramps[kRampsKept];  // oldest first
    int ramp_count;
};

SavedSession* find_saved(uint32_t pid, uint64_t instance);
// The share of its own level a session at this volume is at now (1 for a
// session saved silent).
float current_share(const SavedSession& saved, float volume);
// A record of the entry to be ducked: with `original` (another
// controller's first hold), its level and ramps; else its own level as it
// is now. Null when the table is full or the level cannot be read: such a
// session is not lowered.
SavedSession* save_session(const SessionEntry& entry, const SavedSession* original);
// Where the session is to sit now (the least share held on it) and this
// controller's own share; the keeper hears of a change.
void set_share(SavedSession& saved, float share, float held);
// A record's original, as another controller's first hold read it; the
// keeper hears of it.
void set_original(SavedSession& saved, const SavedSession& original);
// A ramp is about to write the session's levels.
void note_ramp(SavedSession& saved, float from, float to);

bool nothing_saved();
void forget_saved_volumes();
// Keeps a record as the keeper heard it or the shared table holds it,
// replacing one of the same session; null when the table is full.
SavedSession* keep_record(const SavedSession& saved);
// Drops every record for which `settled` is true.
void drop_records(bool (*settled)(const SavedSession& saved, int index));

// Read access for the keeper's link: the records in table order, a count
// of the changes that moved records (a drop), and whether a record is new
// or changed since it was last asked (which it then no longer is).
int saved_count();
SavedSession& saved_at(int index);
unsigned times_rewritten();
bool take_untold(int index);
