// Ducking beside other controllers of the same sound server. Every change
// of levels is made in the shared turn, against the shared table of holds
// (shared_holds.h), so that ducks neither compound nor undo each other and
// no controller ever takes a level another one wrote for a session's own.
//
// A change that cannot have the turn (its holder kept it longer than any
// change takes), or cannot write the table (a newer program's, full, or
// not writable), reads the table all the same and takes originals and the
// others' holds from it. Its own holds and releases wait in this
// controller's records, and are written at its next turn; its keeper
// writes them should it end first. Only where the table cannot be read at
// all (nowhere private to keep it) does a controller change levels alone.
// APPDUCK_DEBUG says why, each time.
#pragma once

#include "audio/session_table.h"
#include "saved_volumes.h"
#include "shared_holds.h"

#include <cstdint>

// How long a controller waits for the turn while one holder keeps it. A
// turn lasts one rebuild, one ramp and the server's answers, and every wait
// for the server gives up after 2 s of silence, so a holder that keeps the
// turn for longer than a restore keeps trying (10 s) is stopped or stuck.
// Waiting on would only hold up the reply: a change made without the turn
// loses nothing.
constexpr uint64_t kTurnPatienceMs = 10 * 1000;
// How often a waiting controller looks again; the turn is no queue.
constexpr unsigned kTurnPollMs = 2;

// The turn as a change holds it, from take_turn to give_turn.
struct SharedTurn {
    bool taken;     // this controller has the turn
    bool known;     // the table was read: its originals and holds count
    bool writable;  // taken, and the table ours to write
    bool changed;   // the table is to be written
    int slot;       // this controller's in the table; -1: none
    bool said_no_room;  // a table full of controllers was said once
};

// Whose holds this process's are: its own unless told otherwise; a keeper
// holds for the controller it outlives.
void share_as(uint32_t pid, uint64_t started);
bool sharing_identity(uint32_t* pid, uint64_t* started);

enum class TurnWait {
    kPatiently,  // a change of levels: waits while a holder may still be busy
    kIfFree,     // a restore with nothing saved: the holder prunes in its turn
};
// Takes the turn and reads the table. Holders whose processes ended are
// dropped (the sessions they held are to go to their new levels in this
// change: moved_target), and this controller's records and its holds in
// the table are made to agree.
SharedTurn take_turn(TurnWait wait);
// Writes the table now, before a ramp: a controller killed during it leaves
// the originals to the next one, never a level half down.
void publish(SharedTurn& turn);
// Writes what changed and gives the turn.
void give_turn(SharedTurn& turn);

// The original another controller's first hold read for a session, to be
// the record's; null when the table holds none.
const SavedSession* shared_original(SharedTurn& turn, uint32_t pid, uint64_t instance);
// This controller holds the record's session at `share`; returns the least
// share held, where the session is to sit, and keeps both in the record.
float hold(SharedTurn& turn, SavedSession& saved, float share);
// The least share the other controllers hold on the record's session, the
// target of this controller's restore; 1 when none does.
float others_least(SharedTurn& turn, const SavedSession& saved);
// A ramp is about to write the levels of a recorded session: every
// controller learns them, and so never takes one for an original.
void note_shared_ramp(SharedTurn& turn, const SavedSession& saved, float from, float to);
// For a session this controller does not record: where a dropped holder
// leaves it, from `from` to `to` shares of `own`. False when it is not to
// move.
bool moved_target(SharedTurn& turn, const SessionEntry& entry, float* from, float* to,
                  const SessionLevel** own);
bool anything_moved(const SharedTurn& turn);
// A record this controller drops, its session back or gone: its hold goes,
// from the table now or at the next turn that can write it.
void drop_hold(SharedTurn& turn, const SavedSession& saved);
// After a restore: with nothing left saved, this controller's place in the
// table goes too.
void release_settled(SharedTurn& turn);

// Holds this controller released while the table could not be written.
// Each is written at the next turn that can, and the session then goes to
// its new least share in that change; a controller with any left does not
// end before its keeper has them (keeper.h).
int unwritten_release_count();
void unwritten_release_at(int index, uint32_t* pid, uint64_t* instance);
// Counts the changes of that list, so that the keeper is told afresh.
unsigned unwritten_releases_changed();
// The keeper's copy of its controller's list.
void keep_unwritten_release(uint32_t pid, uint64_t instance);
void forget_unwritten_releases();

// The table's sessions, for sessions that start from a held one's memory:
// such a session is held as the one it came from is, by the same holders.
int shared_session_count(const SharedTurn& turn);
const HeldSession& shared_session(const SharedTurn& turn, int index);
// Holds a new session, with this original (its own pid and instance), as
// the table's session `source` is held; true when this controller is among
// its holders, with its share in *held.
bool hold_as(SharedTurn& turn, int source, const SavedSession& original, float* held);
