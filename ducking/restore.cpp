#include "ducking/restore.h"

#include "audio/volume_fader.h"
#include "ducking/change_steps.h"
#include "ducking/users_hand.h"

#include <cstring>

namespace {

// Whether a record's session may be in the table without being known as
// itself: the rebuild may have missed it, or a session of its process could
// not tell its instance this time.
bool may_be_hidden(const SessionTable& sessions, const SavedSession& record)
{
    if (session_may_be_missing(sessions, record.pid))
        return true;
    for (int k = 0; k < session_count(sessions) && record.instance != 0; ++k) {
        if (session_at(sessions, k).pid == record.pid && session_at(sessions, k).instance == 0)
            return true;
    }
    return false;
}

bool carried_by_live_session(const SessionTable& sessions, const char* key)
{
    for (int k = 0; k < session_count(sessions); ++k) {
        if (std::strcmp(session_at(sessions, k).memory_key, key) == 0)
            return true;
    }
    return false;
}

// A gone session's memory goes back only under a key no live session
// carries: a restored one puts it back by its own set, and another
// application's must not be changed. Of several gone sessions under one
// key, the one that carried it last (saved last) is written.
bool put_back_memories_of_gone(Controller& controller, const Brought& brought)
{
    const SavedVolumes& saved = controller.saved;
    bool any = false;
    for (int i = 0; i < saved_count(saved); ++i) {
        const SavedSession& gone = saved_at(saved, i);
        if (brought.by_record[i] || !gone.own.key[0] || may_be_hidden(controller.sessions, gone) ||
            carried_by_live_session(controller.sessions, gone.own.key))
            continue;
        bool later = false;
        for (int j = i + 1; j < saved_count(saved) && !later; ++j)
            later = !brought.by_record[j] && std::strcmp(saved_at(saved, j).own.key, gone.own.key) == 0;
        if (!later) {
            put_back_memory(controller.remembered, gone);
            any = true;
        }
    }
    return any;
}

// What a try settles: its turn, its table's sessions, what it brought.
struct Settling {
    SharedTurn* turn;
    const SessionTable* sessions;
    const Brought* brought;
};

// Back (brought, every change confirmed) or gone (not there, and nothing
// could have hidden it): the record goes, and its hold with it.
bool settled(const SavedSession& record, int index, void* context)
{
    const Settling& settling = *static_cast<Settling*>(context);
    const bool done = settling.brought->by_record[index] || !may_be_hidden(*settling.sessions, record);
    if (done)
        drop_hold(*settling.turn, record);
    return done;
}

// The ramp of this try, by table entry; marks in `brought` what it brings.
RampPlan plan_restore(Controller& controller, SharedTurn& turn, bool lift_own, Brought& brought)
{
    const SessionTable& sessions = controller.sessions;
    RampPlan plan = plan_nothing(sessions);
    for (int k = 0; k < plan.count; ++k) {
        const SessionEntry& entry = session_at(sessions, k);
        SavedSession* record = find_saved(controller.saved, entry.pid, entry.instance);
        if (!record) {
            const Move move = moved_target(turn, entry);
            if (move.moves) {
                plan.from[k] = move.from;
                plan.to[k] = move.to;
                plan.own[k] = move.own;
            }
            continue;
        }
        // Back to its own level, or to the deepest duck another controller
        // still holds on it; a duck tried again keeps this one's too.
        plan.from[k] = current_share(*record, entry.volume);
        plan.to[k] = lift_own || taken_over(turn, *record) ? others_least(turn, *record)
                                                           : hold(turn, *record, record->held);
        plan.own[k] = &record->own.level;
        plan.own_volume[k] = watched_volume(entry, *record);
        note_ramp(controller.saved, *record, plan.from[k], plan.to[k]);
        note_shared_ramp(turn, *record, plan.from[k], plan.to[k]);
        brought.by_record[index_of(controller.saved, *record)] = true;
    }
    return plan;
}

}  // namespace

bool bring_saved_sessions(Controller& controller, bool lift_own)
{
    Brought brought{};
    SharedTurn turn = take_turn(controller.sharing, controller.saved, TurnWait::kPatiently);
    // A platform that could not be asked tells nothing about what ended:
    // the ramp's time still passes, but nothing is dropped.
    const bool listed = rebuild_for_change(controller, turn);
    if (listed)
        leave_what_others_set(controller, turn);
    RampPlan plan = plan_restore(controller, turn, lift_own, brought);
    update_keeper(controller);
    publish(turn);
    // Also when every ducked application has ended: the controller waits
    // for the ramp's time either way.
    bool applied = fade_volumes(controller.sessions, plan);
    leave_entries_the_ramp_left(controller, turn, plan, brought);
    applied = listed && applied && settle_latecomers(controller, turn, lift_own, brought);
    // What is gone is known once the last rebuild has seen everything.
    if (applied && lift_own && put_back_memories_of_gone(controller, brought))
        applied = confirm_volume_changes();
    if (applied && lift_own) {
        Settling settling{&turn, &controller.sessions, &brought};
        drop_records(controller.saved, settled, &settling);
        release_settled(turn);
    }
    release_taken_over(turn, applied);
    give_turn(turn);
    return applied && (!lift_own || (nothing_saved(controller.saved) &&
                                     unwritten_release_count(controller.sharing) == 0));
}

void bring_saved_sessions_patiently(Controller& controller, bool lift_own)
{
    const uint64_t began = monotonic_ms();
    while (!bring_saved_sessions(controller, lift_own) && monotonic_ms() - began < kRestorePatienceMs)
        sleep_until(monotonic_ms() + kRestoreRetryMs);
    update_keeper(controller);
}

bool restore_saved_volumes(Controller& keeper)
{
    return bring_saved_sessions(keeper, true);
}
