// What the controllers of one sound server hold together, so that their
// ducks neither compound nor undo each other: each held session's original
// level, read once by the first hold on it, and each controller's share of
// that original. A session sits at its original times the least share held.
//
// The table travels as text, one line each:
//
//   appduck-holds 1                  the format, first
//   holder SLOT PID STARTED          a controller, and when it started (a
//                                    reused process id is not taken for it)
//   save ...                         a held session's original, as the
//                                    keeper's record carries it
//   hold SLOT SHARE                  the holder in SLOT holds the session of
//                                    the save before it at SHARE (the
//                                    float's bits)
#pragma once

#include "keeper_records.h"

#include <cstdint>

constexpr int kMaxHolders = 16;

struct Holder {
    uint32_t pid;  // 0: a free slot
    uint64_t started;
};

struct HeldSession {
    SavedSession original;      // its level before the first hold; share unused
    float shares[kMaxHolders];  // each holder's; negative: no hold
};

struct HoldTable {
    Holder holders[kMaxHolders];
    HeldSession sessions[kMaxSaved];
    int session_count;
};

void clear_holds(HoldTable& table);
// A controller's slot, taken when it is new; -1 when every slot is taken.
int holder_slot(HoldTable& table, const Holder& holder);
HeldSession* find_held(HoldTable& table, uint32_t pid, uint64_t instance);
// The holder's hold on a session at `share`, replacing its last one. The
// first hold on a session keeps `read_now` as the original; a later one
// keeps the original already there, never a ducked level. Null when the
// table is full.
HeldSession* hold_session(HoldTable& table, int slot, const SavedSession& read_now, float share);
// The least share held on a session; 1 when none is.
float least_share(const HeldSession& held);
// Drops a holder's holds and frees its slot. The sessions it held stay,
// for the caller to bring to their new least share, until drop_unheld.
void release_holder(HoldTable& table, int slot);
// Drops the sessions nobody holds any more.
void drop_unheld(HoldTable& table);

// Room for the text of a full table.
constexpr int kHoldTableText = 32 + kMaxHolders * 64 + kMaxSaved * (kMaxKeeperRecord + 1 + kMaxHolders * 32);
// False when the text does not fit.
bool format_hold_table(const HoldTable& table, char* out, int capacity);
// False, with the table cleared, for text of another format or any line
// that does not parse whole: a table half read would lose originals.
bool parse_hold_table(const char* text, HoldTable& table);
