#include "sharing.h"

#include "audio/audio_platform.h"
#include "shared_holds.h"

#include <cstring>

namespace {

HoldTable g_table;
char g_text[kHoldTableText];
bool g_in_change = false;  // the turn is ours and the table read
bool g_changed = false;    // the table is to be written back
int g_slot = -1;           // this controller's, once it holds anything
// Sessions a dropped holder's end moves to a new least share.
bool g_moved[kMaxSaved];

bool g_told_whose = false;  // a keeper, holding for its controller
Holder g_self;

bool running(const Holder& holder)
{
    uint64_t started = 0;
    return process_start_time(holder.pid, &started) && started == holder.started;
}

bool is_self(const Holder& holder)
{
    return holder.pid == g_self.pid && holder.started == g_self.started;
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

// A holder whose process ended is dropped, whether or not its keeper still
// runs: the keeper, taking the turn later, finds the same levels to set.
void drop_ended_holders()
{
    float least[kMaxSaved];
    for (int i = 0; i < g_table.session_count; ++i)
        least[i] = least_share(g_table.sessions[i]);
    for (int slot = 0; slot < kMaxHolders; ++slot) {
        const Holder& holder = g_table.holders[slot];
        if (holder.pid == 0)
            continue;
        if (is_self(holder))
            g_slot = slot;
        else if (!running(holder)) {
            release_holder(g_table, slot);
            g_changed = true;
        }
    }
    for (int i = 0; i < kMaxSaved; ++i)
        g_moved[i] = i < g_table.session_count && least_share(g_table.sessions[i]) != least[i];
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

bool begin_shared_change()
{
    uint32_t pid = 0;
    uint64_t started = 0;
    if (g_in_change || !sharing_identity(&pid, &started) || !take_shared_turn(kSharedTurnWaitMs))
        return false;
    // A table of another format (a newer program's) is left as it is: this
    // change is made alone.
    if (!read_shared_table(g_text, kHoldTableText) ||
        (g_text[0] && !parse_hold_table(g_text, g_table))) {
        give_shared_turn();
        return false;
    }
    if (!g_text[0])
        clear_holds(g_table);
    g_in_change = true;
    g_changed = false;
    g_slot = -1;
    drop_ended_holders();
    return true;
}

void publish_shared_holds()
{
    if (!g_in_change || !g_changed)
        return;
    if (format_hold_table(g_table, g_text, kHoldTableText))
        write_shared_table(g_text, static_cast<int>(std::strlen(g_text)));
    g_changed = false;
}

void end_shared_change()
{
    if (!g_in_change)
        return;
    const int before = g_table.session_count;
    drop_unheld(g_table);
    g_changed = g_changed || g_table.session_count != before;
    publish_shared_holds();
    give_shared_turn();
    g_in_change = false;
}

float hold_shared(SavedSession& saved, float share)
{
    if (!g_in_change)
        return share;
    if (g_slot < 0)
        g_slot = holder_slot(g_table, g_self);
    const HeldSession* held = g_slot < 0 ? nullptr : hold_session(g_table, g_slot, saved, share);
    if (!held)
        return share;  // a full table: this session is ducked alone
    g_changed = true;
    if (!same_original(held->original, saved))
        set_original(saved, held->original.volume, held->original.own);
    return least_share(*held);
}

float share_of_others(const SavedSession& saved)
{
    const HeldSession* held =
        g_in_change ? find_held(g_table, saved.pid, saved.instance) : nullptr;
    float least = 1.0f;
    for (int slot = 0; held && slot < kMaxHolders; ++slot) {
        if (slot != g_slot && held->shares[slot] >= 0.0f && held->shares[slot] < least)
            least = held->shares[slot];
    }
    return least;
}

bool shared_target(const SessionEntry& entry, float* from, float* to, const SessionLevel** own)
{
    for (int i = 0; g_in_change && i < g_table.session_count; ++i) {
        const HeldSession& held = g_table.sessions[i];
        if (!g_moved[i] || held.original.pid != entry.pid || held.original.instance != entry.instance)
            continue;
        *from = current_share(held.original, entry.volume);
        *to = least_share(held);
        *own = &held.original.own.level;
        return true;
    }
    return false;
}

void release_settled_holds()
{
    if (!g_in_change || g_slot < 0)
        return;
    for (int i = 0; i < g_table.session_count; ++i) {
        HeldSession& held = g_table.sessions[i];
        if (held.shares[g_slot] >= 0.0f && !find_saved(held.original.pid, held.original.instance)) {
            held.shares[g_slot] = -1.0f;
            held.original.share = least_share(held);
            g_changed = true;
        }
    }
    if (nothing_saved()) {
        release_holder(g_table, g_slot);
        g_slot = -1;
        g_changed = true;
    }
}
