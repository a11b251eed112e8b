// What the controllers of one sound server hold together, so that their
// ducks neither compound nor undo each other: each held session's original
// level, read once by the first hold on it, the ramps written to it, and
// each controller's share of that original. A session sits at its original
// times the least share held.
//
// The table travels as text, one record a line, in the grammar of the
// records (ducking/records.h):
//
//   appduck-holds 2                  the format, first
//   holder PID STARTED               a controller, and when it started (a
//                                    reused process id is not taken for
//                                    it); the first is holder 0
//   save ...                         a held session's original, with the
//                                    ramps written to it
//   hold HOLDER SHARE                the holder holds the session of the
//                                    save before it at SHARE
//   ended HOLDER PID INSTANCE        the user set that session's level
//                                    while the holder held it: the holder
//                                    judges its record of it before holding
//                                    it again
#pragma once

#include "audio/audio_platform.h"
#include "ducking/records.h"

#include <cstdint>

// Controllers at once; more wait for a place (shared_turn.h).
constexpr int kMaxHolders = 64;

struct Holder {
    uint32_t pid;  // 0: a free slot
    uint64_t started;
};

struct HeldSession {
    SavedSession original;      // its level before the first hold; share: the least held
    float shares[kMaxHolders];  // each holder's; negative: no hold
};

// A hold that ended because someone else set its session's level.
struct EndedHold {
    int slot;
    uint32_t pid;
    uint64_t instance;
};

struct HoldTable {
    Holder holders[kMaxHolders];
    HeldSession sessions[kMaxSaved];
    int session_count;
    EndedHold ended[kMaxSaved];  // oldest first
    int ended_count;
};

void clear_holds(HoldTable& table);
// A controller's slot, taken when it is new; -1 when every slot is taken.
int holder_slot(HoldTable& table, const Holder& holder);
// Its slot, -1 when it has none.
int find_holder(const HoldTable& table, const Holder& holder);
HeldSession* find_held(HoldTable& table, uint32_t pid, uint64_t instance);
// A session held from now on, with `original`'s level and ramps and no
// holds yet; null when the table is full.
HeldSession* add_held(HoldTable& table, const SavedSession& original);
// The holder's hold on a session at `share`, replacing its last one.
void hold_at(HeldSession& held, int slot, float share);
// The same, for the session of `read_now`: the first hold on a session
// keeps `read_now` as the original; a later one keeps the original already
// there, never a ducked level. Null when the table is full.
HeldSession* hold_session(HoldTable& table, int slot, const SavedSession& read_now, float share);
// The least share held on a session; 1 when none is.
float least_share(const HeldSession& held);
// Drops a holder's holds and frees its slot. The sessions it held stay,
// for the caller to bring to their new least share, until drop_unheld.
void release_holder(HoldTable& table, int slot);
// Drops the sessions nobody holds any more.
void drop_unheld(HoldTable& table);
// Someone else set the level of the table's session `index`: it leaves the
// table, and every holder but `except` is told that its hold ended.
void end_holds_for_user(HoldTable& table, int index, int except);
// Whether the holder was told so of the session, and the telling is kept.
bool hold_ended(const HoldTable& table, int slot, uint32_t pid, uint64_t instance);
void forget_ended_hold(HoldTable& table, int slot, uint32_t pid, uint64_t instance);

// The text of a table, as the platform keeps it.
constexpr int kHoldTableText = kSharedTableBytes;
// False when the text does not fit: the table is full.
bool format_hold_table(const HoldTable& table, char* out, int capacity);

enum class TableText {
    kOurs,     // read whole
    kNewer,    // a newer program's: its saves and holds as far as they read, never written
    kDamaged,  // not a table at all, or a line that does not parse: cleared
};
// An empty text is an empty table of ours.
TableText parse_hold_table(const char* text, HoldTable& table);
