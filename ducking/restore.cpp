#include "restore.h"

#include "audio/volume_fader.h"
#include "ducking.h"
#include "keeper.h"
#include "lowered_through_memory.h"

#include <cstring>

namespace {

// By record, in this try: set by the ramp or after it.
bool g_brought[kMaxSaved];

// Whether a record's session may be in the table without being known as
// itself: the rebuild may have missed it, or a session of its process could
// not tell its instance this time.
bool may_be_hidden(const SavedSession& saved)
{
    if (session_may_be_missing(saved.pid))
        return true;
    for (int k = 0; k < session_count() && saved.instance != 0; ++k) {
        if (session_at(k).pid == saved.pid && session_at(k).instance == 0)
            return true;
    }
    return false;
}

bool carried_by_live_session(const char* key)
{
    for (int k = 0; k < session_count(); ++k) {
        if (std::strcmp(session_at(k).memory_key, key) == 0)
            return true;
    }
    return false;
}

// A gone session's memory goes back only under a key no live session
// carries: a restored one puts it back by its own set, and another
// application's must not be changed. Of several gone sessions under one
// key, the one that carried it last (saved last) is written.
bool put_back_memories_of_gone()
{
    bool any = false;
    for (int i = 0; i < saved_count(); ++i) {
        const SavedSession& gone = saved_at(i);
        if (g_brought[i] || !gone.own.key[0] || may_be_hidden(gone) ||
            carried_by_live_session(gone.own.key))
            continue;
        bool later = false;
        for (int j = i + 1; j < saved_count() && !later; ++j)
            later = !g_brought[j] && std::strcmp(saved_at(j).own.key, gone.own.key) == 0;
        if (!later) {
            put_back_memory(gone);
            any = true;
        }
    }
    return any;
}

SharedTurn* g_dropping_turn = nullptr;

// Back (brought, every change confirmed) or gone (not there, and nothing
// could have hidden it).
bool settled(const SavedSession& saved, int index)
{
    const bool done = g_brought[index] || !may_be_hidden(saved);
    if (done)
        drop_hold(*g_dropping_turn, saved);
    return done;
}

// Whether a new session may have taken one of the ramp's levels from a
// memory: only sessions kept under a memory's name hand theirs on.
bool levels_in_memories(const SharedTurn& turn)
{
    for (int i = 0; i < saved_count(); ++i) {
        if (saved_at(i).own.key[0])
            return true;
    }
    for (int i = 0; i < shared_session_count(turn); ++i) {
        if (shared_session(turn, i).original.own.key[0])
            return true;
    }
    return false;
}

// The ramp of this try, by table entry; marks what it brings.
bool plan_ramp(SharedTurn& turn, bool lift_own)
{
    RampArrays& ramp = ramp_arrays();
    bool moves = false;
    for (int k = 0; k < session_count(); ++k) {
        const SessionEntry& entry = session_at(k);
        SavedSession* saved = find_saved(entry.pid, entry.instance);
        ramp.from[k] = -1.0f;
        if (!saved) {
            moves = moved_target(turn, entry, &ramp.from[k], &ramp.to[k], &ramp.own[k]) || moves;
            continue;
        }
        // Back to its own level, or to the deepest duck another controller
        // still holds on it; a duck tried again keeps this one's too.
        ramp.from[k] = current_share(*saved, entry.volume);
        ramp.to[k] = lift_own ? others_least(turn, *saved) : hold(turn, *saved, saved->held);
        ramp.own[k] = &saved->own.level;
        note_ramp(*saved, ramp.from[k], ramp.to[k]);
        note_shared_ramp(turn, *saved, ramp.from[k], ramp.to[k]);
        g_brought[saved - &saved_at(0)] = true;
        moves = true;
    }
    return moves;
}

}  // namespace

bool settle_latecomers(SharedTurn& turn, bool lift_own, bool* brought)
{
    if (!levels_in_memories(turn))
        return true;
    if (!rebuild_for_change(turn))
        return false;
    bool any = false;
    for (int k = 0; k < session_count(); ++k) {
        const SessionEntry& entry = session_at(k);
        SavedSession* saved = find_saved(entry.pid, entry.instance);
        const int index = saved ? static_cast<int>(saved - &saved_at(0)) : -1;
        if (!saved || brought[index])
            continue;
        const float target = lift_own ? others_least(turn, *saved) : saved->share;
        note_ramp(*saved, target, target);
        set_session_level(entry.volume_control, saved->own.level, target);
        brought[index] = true;
        any = true;
    }
    if (!any)
        return true;
    update_keeper();
    return confirm_volume_changes();
}

bool bring_saved_sessions(bool lift_own)
{
    for (bool& brought : g_brought)
        brought = false;
    SharedTurn turn = take_turn(TurnWait::kPatiently);
    // A platform that could not be asked tells nothing about what ended:
    // the ramp's time still passes, but nothing is dropped.
    const bool listed = rebuild_for_change(turn);
    plan_ramp(turn, lift_own);
    update_keeper();
    publish(turn);
    // Also when every ducked application has ended: the controller waits
    // for the ramp's time either way.
    RampArrays& ramp = ramp_arrays();
    bool applied = fade_volumes(ramp.from, ramp.to, ramp.own, session_count());
    applied = listed && applied && settle_latecomers(turn, lift_own, g_brought);
    // What is gone is known once the last rebuild has seen everything.
    if (applied && lift_own && put_back_memories_of_gone())
        applied = confirm_volume_changes();
    if (applied && lift_own) {
        g_dropping_turn = &turn;
        drop_records(settled);
        g_dropping_turn = nullptr;
        release_settled(turn);
    }
    give_turn(turn);
    return applied && (!lift_own || (nothing_saved() && unwritten_release_count() == 0));
}

void bring_saved_sessions_patiently(bool lift_own)
{
    const uint64_t began = monotonic_ms();
    while (!bring_saved_sessions(lift_own) && monotonic_ms() - began < kRestorePatienceMs)
        sleep_until(monotonic_ms() + kRestoreRetryMs);
    update_keeper();
}

bool restore_saved_volumes()
{
    return bring_saved_sessions(true);
}
