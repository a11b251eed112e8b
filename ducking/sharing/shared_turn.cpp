#include "ducking/sharing/shared_turn.h"

#include "audio/diagnostics.h"
#include "ducking/written_levels.h"

#include <cassert>
#include <cstring>

namespace {

bool running(const Holder& holder)
{
    uint64_t started = 0;
    return process_start_time(holder.pid, &started) && started == holder.started;
}

bool is_self(const Sharing& sharing, const Holder& holder)
{
    return holder.pid == sharing.self.pid && holder.started == sharing.self.started;
}

bool released_unwritten(const Sharing& sharing, uint32_t pid, uint64_t instance)
{
    for (int i = 0; i < sharing.unwritten_count; ++i) {
        if (sharing.unwritten[i].pid == pid && sharing.unwritten[i].instance == instance)
            return true;
    }
    return false;
}

void note_unwritten_release(Sharing& sharing, uint32_t pid, uint64_t instance)
{
    if (!released_unwritten(sharing, pid, instance) && sharing.unwritten_count < kMaxSaved) {
        sharing.unwritten[sharing.unwritten_count++] = {pid, instance};
        ++sharing.unwritten_changes;
    }
}

bool same_original(const SavedSession& a, const SavedSession& b)
{
    const SessionLevel& x = a.own.level;
    const SessionLevel& y = b.own.level;
    bool same = a.volume == b.volume && a.own.muted == b.own.muted &&
                std::strcmp(a.own.key, b.own.key) == 0 && x.channels == y.channels;
    for (int i = 0; same && i < x.channels; ++i)
        same = x.positions[i] == y.positions[i] && x.values[i] == y.values[i];
    return same;
}

// Waits for the turn while its holder may still be changing levels; each
// holder is given kTurnPatienceMs from when this controller first saw it.
TurnLock wait_for_turn(TurnWait wait, uint32_t* kept_by)
{
    uint32_t holder = 0;
    uint32_t waited_on = 0;
    uint64_t since = monotonic_ms();
    for (;;) {
        const TurnLock lock = try_shared_turn(wait == TurnWait::kPatiently, &holder);
        if (lock != TurnLock::kBusy || wait == TurnWait::kIfFree)
            return lock;
        if (holder != waited_on) {
            waited_on = holder;
            since = monotonic_ms();
        }
        if (monotonic_ms() - since >= kTurnPatienceMs) {
            *kept_by = holder;
            diagnose("the shared turn was kept by process %u for %llu ms: changing levels "
                     "without it, with the originals in the table",
                     holder, static_cast<unsigned long long>(kTurnPatienceMs));
            return lock;
        }
        // The sound server's connection is served meanwhile.
        sleep_until(monotonic_ms() + kTurnPollMs);
    }
}

// Reads the table into the turn's: known, and how it may be written.
void read_table(SharedTurn& turn)
{
    // Not read: the platform said why, where it was more than no table.
    const TableRead read = read_shared_table(turn.sharing->text, kHoldTableText, &turn.generation);
    if (read == TableRead::kFailed)
        return;
    turn.known = true;
    const TableText kind = read == TableRead::kWhole
                               ? parse_hold_table(turn.sharing->text, *turn.table)
                               : TableText::kDamaged;
    if (kind == TableText::kDamaged) {
        clear_holds(*turn.table);
        diagnose("the shared table holds no whole table of holds: %s",
                 turn.taken ? "it is replaced" : "it is replaced at the next turn");
        turn.changed = true;
    } else if (kind == TableText::kNewer) {
        diagnose("the shared table is a newer appduck's: its originals are used and it is "
                 "left as it is");
    }
    turn.writable = (turn.taken || turn.without_turn) && kind != TableText::kNewer;
}

void note_ramp_given(SharedTurn& turn, const SavedSession& original, float from, float to)
{
    if (turn.noted_count < kMaxSaved)
        turn.noted[turn.noted_count++] = {original.pid, original.instance, from, to};
}

// A holder whose process ended is dropped, whether or not its keeper still
// runs: the keeper, taking the turn later, finds the same levels to set.
void drop_ended_holders(SharedTurn& turn)
{
    HoldTable& table = *turn.table;
    float least[kMaxSaved];
    for (int i = 0; i < table.session_count; ++i)
        least[i] = least_share(table.sessions[i]);
    for (int slot = 0; slot < kMaxHolders; ++slot) {
        const Holder& holder = table.holders[slot];
        if (holder.pid != 0 && !is_self(*turn.sharing, holder) && !running(holder)) {
            release_holder(table, slot);
            turn.changed = true;
        }
    }
    for (int i = 0; i < table.session_count; ++i) {
        turn.moved[i] = least_share(table.sessions[i]) != least[i];
        turn.left_at[i] = least[i];
    }
}

// Sessions the table says this controller holds and it has no record of:
// another controller held a session that started from one of ours as
// ours is held. Holds it released while the table could not be written go,
// and their sessions go to their new least share in this change, as those
// of a dropped holder do.
void take_holds_from_table(SharedTurn& turn)
{
    HoldTable& table = *turn.table;
    for (int i = 0; turn.slot >= 0 && i < table.session_count; ++i) {
        HeldSession& held = table.sessions[i];
        const SavedSession& original = held.original;
        if (held.shares[turn.slot] < 0.0f || find_saved(*turn.saved, original.pid, original.instance) ||
            hold_ended(table, turn.slot, original.pid, original.instance))
            continue;
        if (released_unwritten(*turn.sharing, original.pid, original.instance)) {
            const float least = least_share(held);
            hold_at(held, turn.slot, -1.0f);
            if (!turn.moved[i] && least_share(held) != least) {
                turn.moved[i] = true;
                turn.left_at[i] = least;
            }
            turn.changed = true;
            continue;
        }
        SavedSession* record = keep_record(*turn.saved, original);
        if (record)
            set_share(*turn.saved, *record, least_share(held), held.shares[turn.slot]);
    }
}

// Every record's original is the table's, and the table holds what the
// record says this controller holds. One exception: a table that lost our
// hold (it was damaged) may since have taken a level we wrote for an
// original; ours, read before, is the session's own.
void give_records_to_table(SharedTurn& turn)
{
    SavedVolumes& saved = *turn.saved;
    for (int i = 0; i < saved_count(saved); ++i) {
        SavedSession& record = saved_at(saved, i);
        // Told that the user set its level: judged before it is held again.
        if (turn.slot >= 0 && hold_ended(*turn.table, turn.slot, record.pid, record.instance))
            continue;
        HeldSession* held = find_held(*turn.table, record.pid, record.instance);
        if (held && !same_original(held->original, record)) {
            if (wrote_level(record.ramps, record.ramp_count, record.volume, held->original.volume)) {
                // The table's ramps, copied before our record replaces them:
                // shares of the table's original, made shares of ours, so that
                // they still name the levels they wrote.
                const SavedSession table = held->original;
                held->original = record;
                const float base = record.volume > 0.0f ? table.volume / record.volume : 1.0f;
                for (int r = 0; r < table.ramp_count; ++r)
                    add_ramp(held->original.ramps, &held->original.ramp_count,
                             table.ramps[r].from * base, table.ramps[r].to * base);
                turn.changed = true;
            } else {
                set_original(saved, record, held->original);
            }
        }
        hold(turn, record, record.held);
    }
}

// Every moved session that no record of this controller's covers is taken
// over: held where it was left.
void take_over_moved(SharedTurn& turn)
{
    for (int i = 0; i < turn.table->session_count; ++i) {
        const SavedSession original = turn.table->sessions[i].original;
        if (!turn.moved[i] || find_saved(*turn.saved, original.pid, original.instance) ||
            turn.taken_over_count == kMaxSaved)
            continue;
        SavedSession* record = keep_record(*turn.saved, original);
        if (!record)
            continue;
        turn.taken_over[turn.taken_over_count++] = {original.pid, original.instance};
        hold(turn, *record, turn.left_at[i]);
    }
}

}  // namespace

void share_as(Sharing& sharing, uint32_t pid, uint64_t started)
{
    sharing.self = {pid, started};
    sharing.told_whose = true;
}

bool sharing_identity(Sharing& sharing, uint32_t* pid, uint64_t* started)
{
    bool known = sharing.told_whose;
    if (!known) {
        sharing.self.pid = own_process_id();
        known = process_start_time(sharing.self.pid, &sharing.self.started);
    }
    *pid = sharing.self.pid;
    *started = sharing.self.started;
    return known;
}

SharedTurn take_turn(Sharing& sharing, SavedVolumes& saved, TurnWait wait)
{
    assert(!sharing.in_turn);
    SharedTurn turn{&sharing, &saved, &sharing.table, false, false, false, false, -1, false,
                    false, 0, 0, {}, {}, {}, {}, 0, {}, 0};
    clear_holds(sharing.table);
    uint32_t pid = 0;
    uint64_t started = 0;
    if (!sharing_identity(sharing, &pid, &started)) {
        diagnose("this process's start time cannot be read: changing levels alone");
        return turn;
    }
    const TurnLock lock = wait_for_turn(wait, &turn.holder);
    if (lock != TurnLock::kTaken && wait == TurnWait::kIfFree)
        return turn;
    turn.taken = lock == TurnLock::kTaken;
    turn.without_turn = lock == TurnLock::kBusy;
    sharing.in_turn = turn.taken;
    read_table(turn);
    if (!turn.known)
        return turn;
    drop_ended_holders(turn);
    turn.slot = find_holder(sharing.table, sharing.self);
    take_holds_from_table(turn);
    give_records_to_table(turn);
    take_over_moved(turn);
    return turn;
}

bool refresh_table(SharedTurn& turn)
{
    uint64_t now = 0;
    if (!turn.known || !shared_table_generation(&now) || now == turn.generation)
        return false;
    // Each held session's least share as this change left it.
    HoldTable& table = *turn.table;
    struct Least {
        uint32_t pid;
        uint64_t instance;
        float least;
    };
    Least before[kMaxSaved];
    const int count = table.session_count;
    for (int i = 0; i < count; ++i)
        before[i] = {table.sessions[i].original.pid, table.sessions[i].original.instance,
                     least_share(table.sessions[i])};
    diagnose("the shared table was written while this change held it: read again and merged");
    for (bool& planned : turn.moved_planned)
        planned = false;
    // A table that cannot be read now stays as this change read it.
    read_table(turn);
    drop_ended_holders(turn);
    turn.slot = find_holder(table, turn.sharing->self);
    take_holds_from_table(turn);
    give_records_to_table(turn);
    for (int r = 0; r < turn.noted_count; ++r) {
        const NotedRamp& ramp = turn.noted[r];
        HeldSession* held = find_held(table, ramp.pid, ramp.instance);
        bool kept = false;  // our record, given back to the table, has it
        for (int i = 0; held && i < held->original.ramp_count && !kept; ++i)
            kept = held->original.ramps[i].from == ramp.from && held->original.ramps[i].to == ramp.to;
        if (held && !kept) {
            add_ramp(held->original.ramps, &held->original.ramp_count, ramp.from, ramp.to);
            turn.changed = true;
        }
    }
    for (int i = 0; i < table.session_count; ++i) {
        const SavedSession& original = table.sessions[i].original;
        int was = -1;
        for (int j = 0; j < count && was < 0; ++j) {
            if (before[j].pid == original.pid && before[j].instance == original.instance)
                was = j;
        }
        if (!turn.moved[i] && (was < 0 || before[was].least != least_share(table.sessions[i]))) {
            turn.moved[i] = true;
            turn.left_at[i] = was >= 0 ? before[was].least : least_share(table.sessions[i]);
        }
    }
    take_over_moved(turn);
    return true;
}

void publish(SharedTurn& turn)
{
    // Releases of holds the table no longer has are written too: by being
    // no longer there.
    if (!turn.writable || (!turn.changed && turn.sharing->unwritten_count == 0))
        return;
    // Never a table older than the one on disk.
    refresh_table(turn);
    Sharing& sharing = *turn.sharing;
    if (!format_hold_table(*turn.table, sharing.text, kHoldTableText)) {
        diagnose("the shared table is full: this change's holds wait for a turn with room");
        return;
    }
    // A write cut short is tried once more: until the table has them, the
    // others cannot know this change's levels from a user's.
    const int length = static_cast<int>(std::strlen(sharing.text));
    if (!write_shared_table(sharing.text, length) && !write_shared_table(sharing.text, length)) {
        diagnose("the shared table was not written: this change's holds wait for the next turn");
        return;
    }
    turn.changed = false;
    if (sharing.unwritten_count > 0)
        ++sharing.unwritten_changes;
    sharing.unwritten_count = 0;
    if (!shared_table_generation(&turn.generation))
        turn.generation = 0;
}

void give_turn(SharedTurn& turn)
{
    if (turn.known) {
        const int before = turn.table->session_count;
        drop_unheld(*turn.table);
        turn.changed = turn.changed || turn.table->session_count != before;
    }
    publish(turn);
    if (turn.taken)
        give_shared_turn();
    turn.taken = false;
    turn.writable = false;
    turn.sharing->in_turn = false;
}

const SavedSession* shared_original(SharedTurn& turn, uint32_t pid, uint64_t instance)
{
    const HeldSession* held = turn.known ? find_held(*turn.table, pid, instance) : nullptr;
    return held ? &held->original : nullptr;
}

float hold(SharedTurn& turn, SavedSession& record, float share)
{
    SavedVolumes& saved = *turn.saved;
    if (!turn.known) {
        set_share(saved, record, share, share);
        return share;
    }
    if (turn.slot < 0) {
        turn.slot = holder_slot(*turn.table, turn.sharing->self);
        if (turn.slot < 0 && !turn.said_no_room)
            diagnose("the shared table has no room for another controller: this one's holds "
                     "wait for a turn with room");
        turn.said_no_room = turn.slot < 0;
    }
    HeldSession* held = find_held(*turn.table, record.pid, record.instance);
    if (!held)
        held = add_held(*turn.table, record);
    if (held && !same_original(held->original, record))
        set_original(saved, record, held->original);
    float least = share;
    if (held) {
        if (turn.slot >= 0 && held->shares[turn.slot] != share) {
            hold_at(*held, turn.slot, share);
            turn.changed = true;
        }
        least = others_least(turn, record);
        least = share < least ? share : least;
    }
    set_share(saved, record, least, share);
    return least;
}

float others_least(SharedTurn& turn, const SavedSession& record)
{
    const HeldSession* held =
        turn.known ? find_held(*turn.table, record.pid, record.instance) : nullptr;
    float least = 1.0f;
    for (int slot = 0; held && slot < kMaxHolders; ++slot) {
        if (slot != turn.slot && held->shares[slot] >= 0.0f && held->shares[slot] < least)
            least = held->shares[slot];
    }
    return least;
}

void note_shared_ramp(SharedTurn& turn, const SavedSession& record, float from, float to)
{
    HeldSession* held = turn.known ? find_held(*turn.table, record.pid, record.instance) : nullptr;
    if (!held)
        return;
    add_ramp(held->original.ramps, &held->original.ramp_count, from, to);
    note_ramp_given(turn, held->original, from, to);
    turn.changed = true;
}

Move moved_target(SharedTurn& turn, const SessionEntry& entry)
{
    for (int i = 0; turn.known && i < turn.table->session_count; ++i) {
        HeldSession& held = turn.table->sessions[i];
        if (!turn.moved[i] || held.original.pid != entry.pid ||
            held.original.instance != entry.instance)
            continue;
        const SavedSession* record = find_saved(*turn.saved, entry.pid, entry.instance);
        const SavedSession& own = record ? *record : held.original;
        const float to = record && taken_over(turn, *record) ? others_least(turn, *record)
                                                             : least_share(held);
        const Move move{true, current_share(own, entry.volume), to, &own.own.level};
        add_ramp(held.original.ramps, &held.original.ramp_count, move.from, move.to);
        note_ramp_given(turn, held.original, move.from, move.to);
        turn.moved_planned[i] = true;
        turn.changed = true;
        return move;
    }
    return {false, -1.0f, 0.0f, nullptr};
}

bool taken_over(const SharedTurn& turn, const SavedSession& record)
{
    for (int i = 0; i < turn.taken_over_count; ++i) {
        if (turn.taken_over[i].pid == record.pid && turn.taken_over[i].instance == record.instance)
            return true;
    }
    return false;
}

void claim(SharedTurn& turn, const SavedSession& record)
{
    for (int i = 0; i < turn.taken_over_count; ++i) {
        if (turn.taken_over[i].pid == record.pid && turn.taken_over[i].instance == record.instance)
            turn.taken_over[i--] = turn.taken_over[--turn.taken_over_count];
    }
}

namespace {

// What release_taken_over lets go: brought and confirmed.
struct Letting {
    SharedTurn* turn;
    bool confirmed;
};

bool let_go(const SavedSession& record, int, void* context)
{
    Letting& letting = *static_cast<Letting*>(context);
    SharedTurn& turn = *letting.turn;
    if (!taken_over(turn, record))
        return false;
    bool planned = false;
    for (int i = 0; i < turn.table->session_count && !planned; ++i) {
        const SavedSession& original = turn.table->sessions[i].original;
        planned = original.pid == record.pid && original.instance == record.instance &&
                  turn.moved_planned[i];
    }
    if (!letting.confirmed || !planned) {
        diagnose("a session of process %u that another controller's end left was not brought "
                 "back (%s): this one keeps it for its restore", record.pid,
                 planned ? "not confirmed" : "not seen");
        return false;
    }
    drop_hold(turn, record);
    return true;
}

}  // namespace

void release_taken_over(SharedTurn& turn, bool confirmed)
{
    if (turn.taken_over_count == 0)
        return;
    Letting letting{&turn, confirmed};
    drop_records(*turn.saved, let_go, &letting);
    turn.taken_over_count = 0;
    release_settled(turn);
}

bool anything_moved(const SharedTurn& turn)
{
    for (int i = 0; turn.known && i < turn.table->session_count; ++i) {
        if (turn.moved[i])
            return true;
    }
    return false;
}

void drop_hold(SharedTurn& turn, const SavedSession& record)
{
    note_unwritten_release(*turn.sharing, record.pid, record.instance);
    HeldSession* held = turn.known && turn.slot >= 0
                            ? find_held(*turn.table, record.pid, record.instance)
                            : nullptr;
    if (held && held->shares[turn.slot] >= 0.0f) {
        hold_at(*held, turn.slot, -1.0f);
        turn.changed = true;
    }
}

void leave_to_user(SharedTurn& turn, const SavedSession& record)
{
    drop_hold(turn, record);
    forget_told_hold_ended(turn, record);
    leave_held_to_user(turn, record.pid, record.instance);
}

void leave_held_to_user(SharedTurn& turn, uint32_t pid, uint64_t instance)
{
    HoldTable& table = *turn.table;
    for (int i = 0; turn.known && i < table.session_count; ++i) {
        const SavedSession& original = table.sessions[i].original;
        if (original.pid != pid || original.instance != instance)
            continue;
        end_holds_for_user(table, i, turn.slot);
        // What this turn found moved stays with the sessions after it.
        for (int j = i + 1; j <= table.session_count; ++j) {
            turn.moved[j - 1] = turn.moved[j];
            turn.moved_planned[j - 1] = turn.moved_planned[j];
            turn.left_at[j - 1] = turn.left_at[j];
        }
        turn.changed = true;
        return;
    }
}

bool told_hold_ended(const SharedTurn& turn, const SavedSession& record)
{
    return turn.known && turn.slot >= 0 &&
           hold_ended(*turn.table, turn.slot, record.pid, record.instance);
}

void forget_told_hold_ended(SharedTurn& turn, const SavedSession& record)
{
    if (!told_hold_ended(turn, record))
        return;
    forget_ended_hold(*turn.table, turn.slot, record.pid, record.instance);
    turn.changed = true;
}

bool turn_holder_may_be_writing(const SharedTurn& turn, uint32_t pid, uint64_t instance)
{
    if (!turn.without_turn)
        return false;
    const HeldSession* held = turn.known ? find_held(*turn.table, pid, instance) : nullptr;
    for (int slot = 0; held && slot < kMaxHolders; ++slot) {
        const uint32_t holder = turn.table->holders[slot].pid;
        if (held->shares[slot] >= 0.0f && holder != 0 && (turn.holder == 0 || holder == turn.holder))
            return true;
    }
    return false;
}

bool held_from_another_original(const SharedTurn& turn, const SavedSession& record)
{
    const SavedSession* original = shared_original_of(turn, record);
    return original && !same_original(*original, record);
}

const SavedSession* shared_original_of(const SharedTurn& turn, const SavedSession& record)
{
    for (int i = 0; turn.known && i < turn.table->session_count; ++i) {
        const SavedSession& original = turn.table->sessions[i].original;
        if (original.pid == record.pid && original.instance == record.instance)
            return &original;
    }
    return nullptr;
}

void release_settled(SharedTurn& turn)
{
    if (!turn.known || turn.slot < 0 || !nothing_saved(*turn.saved))
        return;
    release_holder(*turn.table, turn.slot);
    turn.slot = -1;
    turn.changed = true;
}

int unwritten_release_count(const Sharing& sharing)
{
    return sharing.unwritten_count;
}

SessionId unwritten_release_at(const Sharing& sharing, int index)
{
    return sharing.unwritten[index];
}

void keep_unwritten_release(Sharing& sharing, uint32_t pid, uint64_t instance)
{
    note_unwritten_release(sharing, pid, instance);
}

void forget_unwritten_releases(Sharing& sharing)
{
    sharing.unwritten_count = 0;
    ++sharing.unwritten_changes;
}

int shared_session_count(const SharedTurn& turn)
{
    return turn.known ? turn.table->session_count : 0;
}

const HeldSession& shared_session(const SharedTurn& turn, int index)
{
    return turn.table->sessions[index];
}

bool hold_as(SharedTurn& turn, int source, const SavedSession& original, float* held)
{
    HoldTable& table = *turn.table;
    if (find_held(table, original.pid, original.instance))
        return false;
    HeldSession* copy = add_held(table, original);
    if (!copy)
        return false;
    const HeldSession& from = table.sessions[source];
    for (int slot = 0; slot < kMaxHolders; ++slot)
        copy->shares[slot] = from.shares[slot];
    copy->original.share = least_share(*copy);
    turn.changed = true;
    if (turn.slot < 0 || copy->shares[turn.slot] < 0.0f)
        return false;
    *held = copy->shares[turn.slot];
    return true;
}
