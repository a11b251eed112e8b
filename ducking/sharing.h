// Ducking beside other controllers of the same sound server: each change
// of levels is made in the shared turn, against the shared table of holds
// (shared_holds.h), so that ducks neither compound nor undo each other. A
// controller that cannot share (nowhere private to share, the turn not had
// within a second, a table it cannot read) changes levels alone, as if it
// were the only one.
#pragma once

#include "audio/session_table.h"
#include "saved_volumes.h"

#include <cstdint>

constexpr unsigned kSharedTurnWaitMs = 1000;

// Whose holds this process's are: its own unless told otherwise; a keeper
// holds for the controller it outlives.
void share_as(uint32_t pid, uint64_t started);
bool sharing_identity(uint32_t* pid, uint64_t* started);

// Takes the turn and reads the table; false when this change is made alone.
// Holders whose processes have ended are dropped, and the sessions they
// held are to go to their new levels in this change (shared_target).
bool begin_shared_change();
// Writes the table now, before the ramp: a controller killed during it
// leaves the originals it read to the next one, never a level half down.
void publish_shared_holds();
// Writes the table back when it changed and gives the turn.
void end_shared_change();

// In a shared change, this controller holds the record's session at
// `share`: the record takes the session's original from the table, where
// another controller's first hold put it, or gives its own as the original.
// Returns the least share held, the session's target; outside a shared
// change, `share`.
float hold_shared(SavedSession& saved, float share);
// The least share the other controllers hold on the record's session, the
// target of this controller's restore; 1 when none does or outside a
// shared change.
float share_of_others(const SavedSession& saved);
// For a session this controller does not record: where a dropped holder
// leaves it, from `from` to `to` shares of `own`. False when it is not to
// move.
bool shared_target(const SessionEntry& entry, float* from, float* to, const SessionLevel** own);
// After a restore: this controller's holds on sessions it no longer
// records go, and sessions nobody holds leave the table.
void release_settled_holds();
