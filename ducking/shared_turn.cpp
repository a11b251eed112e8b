#include "shared_turn.h"

#include "audio/diagnostics.h"
#include "written_levels.h"

#include <cassert>
#include <cstring>

namespace {

// One change at a time holds the turn; the table it read lives here.
HoldTable g_table;
char g_text[kHoldTableText];
bool g_in_turn = false;
// Sessions a dropped holder's end moves to a new least share.
bool g_moved[kMaxSaved];

bool g_told_whose = false;  // a keeper, holding for its controller
Holder g_self;

// Releases made while the table could not be written, to be written at
// the next turn that can: until then the table still shows these holds,
// which must not come back as records.
struct SessionId {
    uint32_t pid;
    uint64_t instance;
};
SessionId g_unwritten_releases[kMaxSaved];
int g_unwritten_release_count = 0;
unsigned g_unwritten_changes = 0;

bool running(const Holder& holder)
{
    uint64_t started = 0;
    return process_start_time(holder.pid, &started) && started == holder.started;
}

bool is_self(const Holder& holder)
{
    return holder.pid == g_self.pid && holder.started == g_self.started;
}

bool released_unwritten(uint32_t pid, uint64_t instance)
{
    for (int i = 0; i < g_unwritten_release_count; ++i) {
        if (g_unwritten_releases[i].pid == pid && g_unwritten_releases[i].instance == instance)
            return true;
    }
    return false;
}

void note_unwritten_release(uint32_t pid, uint64_t instance)
{
    if (!released_unwritten(pid, instance) && g_unwritten_release_count < kMaxSaved) {
        g_unwritten_releases[g_unwritten_release_count++] = {pid, instance};
        ++g_unwritten_changes;
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
TurnLock wait_for_turn(TurnWait wait)
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
            diagnose("the shared turn was kept by process %u for %llu ms: changing levels "
                     "without it, with the originals in the table",
                     holder, static_cast<unsigned long long>(kTurnPatienceMs));
            return lock;
        }
        // The sound server's connection is served meanwhile.
        sleep_until(monotonic_ms() + kTurnPollMs);
    }
}

// Reads the table into g_table: known, and how it may be written.
void read_table(SharedTurn& turn)
{
    // Not read: the platform said why, where it was more than no table.
    const TableRead read = read_shared_table(g_text, kHoldTableText);
    if (read == TableRead::kFailed)
        return;
    turn.known = true;
    const TableText kind =
        read == TableRead::kWhole ? parse_hold_table(g_text, g_table) : TableText::kDamaged;
    if (kind == TableText::kDamaged) {
        clear_holds(g_table);
        diagnose("the shared table holds no whole table of holds: %s",
                 turn.taken ? "it is replaced" : "it is replaced at the next turn");
        turn.changed = true;
    } else if (kind == TableText::kNewer) {
        diagnose("the shared table is a newer appduck's: its originals are used and it is "
                 "left as it is");
    }
    turn.writable = turn.taken && kind != TableText::kNewer;
}

// A holder whose process ended is dropped, whether or not its keeper still
// runs: the keeper, taking the turn later, finds the same levels to set.
void drop_ended_holders(SharedTurn& turn)
{
    float least[kMaxSaved];
    for (int i = 0; i < g_table.session_count; ++i)
        least[i] = least_share(g_table.sessions[i]);
    for (int slot = 0; slot < kMaxHolders; ++slot) {
        const Holder& holder = g_table.holders[slot];
        if (holder.pid != 0 && !is_self(holder) && !running(holder)) {
            release_holder(g_table, slot);
            turn.changed = true;
        }
    }
    for (int i = 0; i < kMaxSaved; ++i)
        g_moved[i] = i < g_table.session_count && least_share(g_table.sessions[i]) != least[i];
}

// Sessions the table says this controller holds and it has no record of:
// another controller held a session that started from one of ours as
// ours is held. Holds it released while the table could not be written go,
// and their sessions go to their new least share in this change, as those
// of a dropped holder do.
void take_holds_from_table(SharedTurn& turn)
{
    for (int i = 0; turn.slot >= 0 && i < g_table.session_count; ++i) {
        HeldSession& held = g_table.sessions[i];
        const SavedSession& original = held.original;
        if (held.shares[turn.slot] < 0.0f || find_saved(original.pid, original.instance))
            continue;
        if (released_unwritten(original.pid, original.instance)) {
            const float least = least_share(held);
            hold_at(held, turn.slot, -1.0f);
            g_moved[i] = g_moved[i] || least_share(held) != least;
            turn.changed = true;
            continue;
        }
        SavedSession* saved = keep_record(original);
        if (saved)
            set_share(*saved, least_share(held), held.shares[turn.slot]);
    }
}

// Every record's original is the table's, and the table holds what the
// record says this controller holds. One exception: a table that lost our
// hold (it was damaged) may since have taken a level we wrote for an
// original; ours, read before, is the session's own.
void give_records_to_table(SharedTurn& turn)
{
    for (int i = 0; i < saved_count(); ++i) {
        SavedSession& saved = saved_at(i);
        HeldSession* held = find_held(g_table, saved.pid, saved.instance);
        if (held && !same_original(held->original, saved)) {
            if (wrote_level(saved.ramps, saved.ramp_count, saved.volume, held->original.volume)) {
                // The table's ramps, copied before our record replaces them.
                const SavedSession table = held->original;
                held->original = saved;
                for (int r = 0; r < table.ramp_count; ++r)
                    add_ramp(held->original.ramps, &held->original.ramp_count, table.ramps[r].from,
                             table.ramps[r].to);
                turn.changed = true;
            } else {
                set_original(saved, held->original);
            }
        }
        hold(turn, saved, saved.held);
    }
}

}  // namespace

void share_as(uint32_t pid, uint64_t started)
{
    g_self = {pid, started};
    g_told_whose = true;
}

bool sharing_identity(uint32_t* pid, uint64_t* started)
{
    bool known = g_told_whose;
    if (!known) {
        g_self.pid = own_process_id();
        known = process_start_time(g_self.pid, &g_self.started);
    }
    *pid = g_self.pid;
    *started = g_self.started;
    return known;
}

SharedTurn take_turn(TurnWait wait)
{
    assert(!g_in_turn);
    SharedTurn turn{false, false, false, false, -1, false};
    for (bool& moved : g_moved)
        moved = false;
    clear_holds(g_table);
    uint32_t pid = 0;
    uint64_t started = 0;
    if (!sharing_identity(&pid, &started)) {
        diagnose("this process's start time cannot be read: changing levels alone");
        return turn;
    }
    const TurnLock lock = wait_for_turn(wait);
    if (lock != TurnLock::kTaken && wait == TurnWait::kIfFree)
        return turn;
    turn.taken = lock == TurnLock::kTaken;
    g_in_turn = turn.taken;
    read_table(turn);
    if (!turn.known)
        return turn;
    drop_ended_holders(turn);
    turn.slot = find_holder(g_table, g_self);
    take_holds_from_table(turn);
    give_records_to_table(turn);
    return turn;
}

void publish(SharedTurn& turn)
{
    if (!turn.writable || !turn.changed)
        return;
    if (!format_hold_table(g_table, g_text, kHoldTableText)) {
        diagnose("the shared table is full: this change's holds wait for a turn with room");
        return;
    }
    if (!write_shared_table(g_text, static_cast<int>(std::strlen(g_text)))) {
        diagnose("the shared table was not written: this change's holds wait for the next turn");
        return;
    }
    turn.changed = false;
    if (g_unwritten_release_count > 0)
        ++g_unwritten_changes;
    g_unwritten_release_count = 0;
}

void give_turn(SharedTurn& turn)
{
    if (turn.known) {
        const int before = g_table.session_count;
        drop_unheld(g_table);
        turn.changed = turn.changed || g_table.session_count != before;
    }
    publish(turn);
    if (turn.taken)
        give_shared_turn();
    turn.taken = false;
    turn.writable = false;
    g_in_turn = false;
}

const SavedSession* shared_original(SharedTurn& turn, uint32_t pid, uint64_t instance)
{
    const HeldSession* held = turn.known ? find_held(g_table, pid, instance) : nullptr;
    return held ? &held->original : nullptr;
}

float hold(SharedTurn& turn, SavedSession& saved, float share)
{
    if (!turn.known) {
        set_share(saved, share, share);
        return share;
    }
    if (turn.slot < 0) {
        turn.slot = holder_slot(g_table, g_self);
        if (turn.slot < 0 && !turn.said_no_room)
            diagnose("the shared table has no room for another controller: this one's holds "
                     "wait for a turn with room");
        turn.said_no_room = turn.slot < 0;
    }
    HeldSession* held = find_held(g_table, saved.pid, saved.instance);
    if (!held)
        held = add_held(g_table, saved);
    if (held && !same_original(held->original, saved))
        set_original(saved, held->original);
    float least = share;
    if (held) {
        if (turn.slot >= 0 && held->shares[turn.slot] != share) {
            hold_at(*held, turn.slot, share);
            turn.changed = true;
        }
        least = others_least(turn, saved);
        least = share < least ? share : least;
    }
    set_share(saved, least, share);
    return least;
}

float others_least(SharedTurn& turn, const SavedSession& saved)
{
    const HeldSession* held = turn.known ? find_held(g_table, saved.pid, saved.instance) : nullptr;
    float least = 1.0f;
    for (int slot = 0; held && slot < kMaxHolders; ++slot) {
        if (slot != turn.slot && held->shares[slot] >= 0.0f && held->shares[slot] < least)
            least = held->shares[slot];
    }
    return least;
}

void note_shared_ramp(SharedTurn& turn, const SavedSession& saved, float from, float to)
{
    HeldSession* held = turn.known ? find_held(g_table, saved.pid, saved.instance) : nullptr;
    if (!held)
        return;
    add_ramp(held->original.ramps, &held->original.ramp_count, from, to);
    turn.changed = true;
}

bool moved_target(SharedTurn& turn, const SessionEntry& entry, float* from, float* to,
                  const SessionLevel** own)
{
    for (int i = 0; turn.known && i < g_table.session_count; ++i) {
        HeldSession& held = g_table.sessions[i];
        if (!g_moved[i] || held.original.pid != entry.pid || held.original.instance != entry.instance)
            continue;
        *from = current_share(held.original, entry.volume);
        *to = least_share(held);
        *own = &held.original.own.level;
        add_ramp(held.original.ramps, &held.original.ramp_count, *from, *to);
        turn.changed = true;
        return true;
    }
    return false;
}

bool anything_moved(const SharedTurn& turn)
{
    for (int i = 0; turn.known && i < g_table.session_count; ++i) {
        if (g_moved[i])
            return true;
    }
    return false;
}

void drop_hold(SharedTurn& turn, const SavedSession& saved)
{
    note_unwritten_release(saved.pid, saved.instance);
    HeldSession* held = turn.known && turn.slot >= 0 ? find_held(g_table, saved.pid, saved.instance)
                                                     : nullptr;
    if (held && held->shares[turn.slot] >= 0.0f) {
        hold_at(*held, turn.slot, -1.0f);
        turn.changed = true;
    }
}

void release_settled(SharedTurn& turn)
{
    if (!turn.known || turn.slot < 0 || !nothing_saved())
        return;
    release_holder(g_table, turn.slot);
    turn.slot = -1;
    turn.changed = true;
}

int unwritten_release_count()
{
    return g_unwritten_release_count;
}

void unwritten_release_at(int index, uint32_t* pid, uint64_t* instance)
{
    *pid = g_unwritten_releases[index].pid;
    *instance = g_unwritten_releases[index].instance;
}

unsigned unwritten_releases_changed()
{
    return g_unwritten_changes;
}

void keep_unwritten_release(uint32_t pid, uint64_t instance)
{
    note_unwritten_release(pid, instance);
}

void forget_unwritten_releases()
{
    g_unwritten_release_count = 0;
    ++g_unwritten_changes;
}

int shared_session_count(const SharedTurn& turn)
{
    return turn.known ? g_table.session_count : 0;
}

const HeldSession& shared_session(const SharedTurn&, int index)
{
    return g_table.sessions[index];
}

bool hold_as(SharedTurn& turn, int source, const SavedSession& original, float* held)
{
    if (find_held(g_table, original.pid, original.instance))
        return false;
    HeldSession* copy = add_held(g_table, original);
    if (!copy)
        return false;
    const HeldSession& from = g_table.sessions[source];
    for (int slot = 0; slot < kMaxHolders; ++slot)
        copy->shares[slot] = from.shares[slot];
    copy->original.share = least_share(*copy);
    turn.changed = true;
    if (turn.slot < 0 || copy->shares[turn.slot] < 0.0f)
        return false;
    *held = copy->shares[turn.slot];
    return true;
}
