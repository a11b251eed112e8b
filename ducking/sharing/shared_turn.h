// Ducking beside other controllers of the same sound server. Every change
// of levels is made in the shared turn, against the shared table of holds
// (shared_holds.h), so that ducks neither compound nor undo each other and
// no controller ever takes a level another one wrote for a session's own.
//
// A change that cannot have the turn (its holder kept it longer than any
// change takes) reads the table all the same, takes originals and the
// others' holds from it, and writes its own into it without the turn. So
// that no holder ever writes a table older than the one on disk, every
// write first checks the table's generation, and a table that moved since
// the change read it is read again and merged with the change's own holds,
// releases and ramps; the change then brings its sessions where the merged
// holds leave them. A change that cannot write the table (a newer
// program's, full, or not writable) keeps its holds and releases in this
// controller's records, to be written at its next turn; its keeper writes
// them should it end first. Only where the table cannot be read at all
// (nowhere private to keep it) does a controller change levels alone.
// APPDUCK_DEBUG says why, each time.
#pragma once

#include "audio/session_table.h"
#include "ducking/saved_volumes.h"
#include "ducking/sharing/shared_holds.h"

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

struct SessionId {
    uint32_t pid;
    uint64_t instance;
};

// What one controller keeps of the sharing from one change to the next:
// whose holds its are, the releases it could not write yet, and room for
// the table a turn reads.
struct Sharing {
    bool told_whose = false;  // a keeper, holding for its controller
    Holder self = {};
    // Released while the table could not be written, to be written at the
    // next turn that can: until then the table still shows these holds,
    // which must not come back as records.
    SessionId unwritten[kMaxSaved];
    int unwritten_count = 0;
    unsigned unwritten_changes = 0;  // so that the keeper is told afresh
    bool in_turn = false;
    HoldTable table;  // as the turn read it
    char text[kHoldTableText];
};

// A ramp a change gave the table, kept so that a merge keeps it too.
struct NotedRamp {
    uint32_t pid;
    uint64_t instance;
    float from;
    float to;
};

// The turn as a change holds it, from take_turn to give_turn: the table it
// read, the records it reconciled with it, and what it found moved.
struct SharedTurn {
    Sharing* sharing;
    SavedVolumes* saved;
    HoldTable* table;  // the sharing's, read by this turn
    bool taken;     // this controller has the turn
    bool known;     // the table was read: its originals and holds count
    bool writable;  // the table ours to write: in the turn, or past its holder's time
    bool changed;   // the table is to be written
    int slot;       // this controller's in the table; -1: none
    bool said_no_room;  // a table full of controllers was said once
    bool without_turn;  // its holder kept the turn past any change's time
    uint32_t holder;    // that holder, 0 when the system cannot tell
    uint64_t generation;  // of the table as this turn read it
    // Sessions a dropped holder's end, a release or a merge moves to a new
    // least share, by the table's sessions.
    bool moved[kMaxSaved];
    bool moved_planned[kMaxSaved];  // and this change ramps them there
    float left_at[kMaxSaved];       // the least share they were left at
    SessionId taken_over[kMaxSaved];  // not yet let go
    int taken_over_count;
    NotedRamp noted[kMaxSaved];
    int noted_count;
};

// Whose holds this process's are: its own unless told otherwise; a keeper
// holds for the controller it outlives.
void share_as(Sharing& sharing, uint32_t pid, uint64_t started);
bool sharing_identity(Sharing& sharing, uint32_t* pid, uint64_t* started);

enum class TurnWait {
    kPatiently,  // a change of levels: waits while a holder may still be busy
    kIfFree,     // a restore with nothing saved: the holder prunes in its turn
};
// Takes the turn and reads the table. Holders whose processes ended are
// dropped (the sessions they held are to go to their new levels in this
// change: moved_target), and this controller's records and its holds in
// the table are made to agree.
SharedTurn take_turn(Sharing& sharing, SavedVolumes& saved, TurnWait wait);
// Writes the table now, before a ramp: a controller killed during it leaves
// the originals to the next one, never a level half down.
void publish(SharedTurn& turn);
// When the table on disk moved since this turn read it (a change that went
// on past this one's time wrote it), reads it again and merges this turn's
// records and ramps into it; sessions whose least share moved are marked.
// True when it moved.
bool refresh_table(SharedTurn& turn);
// Writes what changed and gives the turn.
void give_turn(SharedTurn& turn);

// The original another controller's first hold read for a session, to be
// the record's; null when the table holds none.
const SavedSession* shared_original(SharedTurn& turn, uint32_t pid, uint64_t instance);
// This controller holds the record's session at `share`; returns the least
// share held, where the session is to sit, and keeps both in the record.
float hold(SharedTurn& turn, SavedSession& record, float share);
// The least share the other controllers hold on the record's session, the
// target of this controller's restore; 1 when none does.
float others_least(SharedTurn& turn, const SavedSession& record);
// A ramp is about to write the levels of a recorded session: every
// controller learns them, and so never takes one for an original.
void note_shared_ramp(SharedTurn& turn, const SavedSession& record, float from, float to);
// Where a dropped holder or a release leaves a session this controller
// does not record: from `from` to `to` shares of `own`.
struct Move {
    bool moves;  // false: not to move
    float from;
    float to;
    const SessionLevel* own;
};
Move moved_target(SharedTurn& turn, const SessionEntry& entry);
bool anything_moved(const SharedTurn& turn);
// A session a dropped holder or a release moved is taken over by the change
// that found it moved: a record of this controller's, held where it was
// left, which this change lifts (to the others' least) like a restore
// would. So the table keeps its original while the change brings it
// there, and a change that cannot (its rebuild did not see it, its levels
// were not confirmed) keeps it for its restore, its end or its keeper.
// Whether the record is one this change took over and lifts:
bool taken_over(const SharedTurn& turn, const SavedSession& record);
// A duck of this controller names it: from now on it is held as its own.
void claim(SharedTurn& turn, const SavedSession& record);
// At the change's end: what it took over and brought there, confirmed, is
// let go, its hold and record with it.
void release_taken_over(SharedTurn& turn, bool confirmed);
// A record this controller drops, its session back or gone: its hold goes,
// from the table now or at the next turn that can write it.
void drop_hold(SharedTurn& turn, const SavedSession& record);
// Someone else set the level of the record's session: this controller's
// hold goes, the session leaves the table, and every other holder is told
// to judge its own record of it before holding it again (its ramps may
// explain the level where the table's cannot).
void leave_to_user(SharedTurn& turn, const SavedSession& record);
// The same for a session this controller does not hold, found set by
// someone else as the table knows it.
void leave_held_to_user(SharedTurn& turn, uint32_t pid, uint64_t instance);
// Whether another controller that found the record's session set by
// someone else told this one so; and the telling, once judged, forgotten.
bool told_hold_ended(const SharedTurn& turn, const SavedSession& record);
void forget_told_hold_ended(SharedTurn& turn, const SavedSession& record);
// Whether a change made without the turn may be meeting the levels of the
// turn's holder, still at work on the session (its holds are in the table).
bool turn_holder_may_be_writing(const SharedTurn& turn, uint32_t pid, uint64_t instance);
// Whether the table holds the record's session from another original than
// the record's: taken afresh since (from the level the user set, say).
bool held_from_another_original(const SharedTurn& turn, const SavedSession& record);
// The table's original of the record's session, with every ramp the table
// knows written to it; null: none.
const SavedSession* shared_original_of(const SharedTurn& turn, const SavedSession& record);

// After a restore: with nothing left saved, this controller's place in the
// table goes too.
void release_settled(SharedTurn& turn);

// Holds this controller released while the table could not be written.
// Each is written at the next turn that can, and the session then goes to
// its new least share in that change; a controller with any left does not
// end before its keeper has them (keeper/keeper.h).
int unwritten_release_count(const Sharing& sharing);
SessionId unwritten_release_at(const Sharing& sharing, int index);
// The keeper's copy of its controller's list.
void keep_unwritten_release(Sharing& sharing, uint32_t pid, uint64_t instance);
void forget_unwritten_releases(Sharing& sharing);

// The table's sessions, for sessions that start from a held one's memory:
// such a session is held as the one it came from is, by the same holders.
int shared_session_count(const SharedTurn& turn);
const HeldSession& shared_session(const SharedTurn& turn, int index);
// Holds a new session, with this original (its own pid and instance), as
// the table's session `source` is held; true when this controller is among
// its holders, with its share in *held.
bool hold_as(SharedTurn& turn, int source, const SavedSession& original, float* held);
