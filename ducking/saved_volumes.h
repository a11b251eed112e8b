// What ducking must be able to undo: each ducked session's own level from
// before its first duck, exactly, with the memory its platform kept it
// under. A record outlives the session table's rebuilds and is dropped only
// once its session is really back (set and confirmed) or really gone (the
// platform answered in full without it, and its memory is put back), so a
// restore that could not see a session loses nothing.
#pragma once

#include "audio/audio_platform.h"
#include "audio/session_table.h"

#include <cstdint>

constexpr int kMaxSaved = 256;

struct SavedSession {
    uint32_t pid;
    uint64_t instance;  // 0: the process's sessions known by no instance
    float volume;       // its master volume before its first duck
    float share;        // of that volume, where the last duck left it
    VolumeMemory own;   // its level then, and the memory key it carried
};

SavedSession* find_saved(uint32_t pid, uint64_t instance);
// The share of its own level a session at this volume is at now (1 for a
// session saved silent).
float current_share(const SavedSession& saved, float volume);
// A record of the entry's own level as it is now, to be ducked to `share`;
// null when the table is full or the level cannot be read: such a session
// is not lowered.
SavedSession* save_session(const SessionEntry& entry, float share);
// The last duck's share for a record; the keeper hears of it.
void set_share(SavedSession& saved, float share);
// A record's original, as another controller's first hold read it; the
// keeper hears of it.
void set_original(SavedSession& saved, float volume, const VolumeMemory& own);
// After a rebuild: a session that started during a duck and took its level
// from a memory that a duck lowered was lowered by that duck too, and gets
// the memory's own level as its record.
void adopt_sessions_lowered_through_memory();

bool nothing_saved();
void forget_saved_volumes();
// Keeps a record as the keeper heard it, replacing one of the same session.
void keep_record(const SavedSession& saved);

// Read access for the keeper's link: the records in table order, and a
// count of the changes that were more than an appended record.
int saved_count();
const SavedSession& saved_at(int index);
unsigned times_rewritten();

// Rebuilds the session table, ramps every saved session back to its own
// level, puts back the memory of sessions that are gone, and drops what is
// back or gone. True when nothing is left saved; false, with what could not
// be seen or confirmed kept, otherwise.
bool restore_saved_volumes();
