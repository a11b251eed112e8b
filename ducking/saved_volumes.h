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
// level of them went to the platform's memory of the session too, and a
// level none of them wrote was set by someone else. Several controllers'
// changes (a duck, its settling, another's release) can each add one.
constexpr int kRampsKept = 8;
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

// One controller's records, in the order they were saved.
struct SavedVolumes {
    SavedSession records[kMaxSaved];
    int count = 0;
    // Records the keeper has yet to hear of, by their place, and a count of
    // the changes that moved places (a drop), after which it hears all afresh.
    bool untold[kMaxSaved] = {};
    unsigned times_rewritten = 0;
};

SavedSession* find_saved(SavedVolumes& saved, uint32_t pid, uint64_t instance);
// The share of its own level a session at this volume is at now (1 for a
// session saved silent).
float current_share(const SavedSession& record, float volume);
// A record of the entry to be ducked: with `original` (another
// controller's first hold), its level and ramps; else its own level as it
// is now. Null when the table is full or the level cannot be read: such a
// session is not lowered.
SavedSession* save_session(SavedVolumes& saved, const SessionEntry& entry,
                           const SavedSession* original);
// Where the session is to sit now (the least share held on it) and this
// controller's own share; the keeper hears of a change.
void set_share(SavedVolumes& saved, SavedSession& record, float share, float held);
// A record's original, as another controller's first hold read it; the
// keeper hears of it.
void set_original(SavedVolumes& saved, SavedSession& record, const SavedSession& original);
// A ramp is about to write the session's levels.
void note_ramp(SavedVolumes& saved, SavedSession& record, float from, float to);

bool nothing_saved(const SavedVolumes& saved);
void forget_saved_volumes(SavedVolumes& saved);
// Keeps a record as the keeper heard it or the shared table holds it,
// replacing one of the same session; null when the table is full.
SavedSession* keep_record(SavedVolumes& saved, const SavedSession& record);
// Drops every record for which `settled(record, index, context)` is true.
void drop_records(SavedVolumes& saved,
                  bool (*settled)(const SavedSession& record, int index, void* context),
                  void* context);

// Read access for the keeper's link: the records in table order, a count
// of the changes that moved records (a drop), and whether a record is new
// or changed since it was last asked (which it then no longer is).
int saved_count(const SavedVolumes& saved);
SavedSession& saved_at(SavedVolumes& saved, int index);
const SavedSession& saved_at(const SavedVolumes& saved, int index);
int index_of(const SavedVolumes& saved, const SavedSession& record);
unsigned times_rewritten(const SavedVolumes& saved);
bool take_untold(SavedVolumes& saved, int index);
