#include "ducking/change_steps.h"

#include "ducking/users_hand.h"

namespace {

// Whether a new session may have taken one of the ramp's levels from a
// memory: only sessions kept under a memory's name hand theirs on.
bool levels_in_memories(const SavedVolumes& saved, const SharedTurn& turn)
{
    for (int i = 0; i < saved_count(saved); ++i) {
        if (saved_at(saved, i).own.key[0])
            return true;
    }
    for (int i = 0; i < shared_session_count(turn); ++i) {
        if (shared_session(turn, i).original.own.key[0])
            return true;
    }
    return false;
}

}  // namespace

bool rebuild_for_change(Controller& controller, SharedTurn& turn)
{
    if (!enumerate_sessions(controller.sessions))
        return false;
    if (put_back_remembered(controller.remembered, controller.sessions, controller.saved) &&
        !enumerate_sessions(controller.sessions))
        return false;
    adopt_sessions_lowered_through_memory(controller.sessions, turn);
    return true;
}

bool rebuild_for_listing(Controller& controller)
{
    const bool listed = enumerate_sessions(controller.sessions);
    return listed && put_back_remembered(controller.remembered, controller.sessions,
                                         controller.saved)
               ? enumerate_sessions(controller.sessions)
               : listed;
}

Brought all_records_brought(const SavedVolumes& saved)
{
    Brought brought{};
    for (int i = 0; i < kMaxSaved; ++i)
        brought.by_record[i] = i < saved_count(saved);
    return brought;
}

bool settle_latecomers(Controller& controller, SharedTurn& turn, bool lift_own, Brought& brought)
{
    // A change that went on past this one's time may have written the
    // table meanwhile: its holds count from now on.
    const bool merged = refresh_table(turn) || brought.merged;
    if (!merged && !brought.unsettled && !levels_in_memories(controller.saved, turn))
        return true;
    if (!rebuild_for_change(controller, turn))
        return false;
    bool any = false;
    const SessionTable& sessions = controller.sessions;
    for (int k = 0; k < session_count(sessions); ++k) {
        const SessionEntry& entry = session_at(sessions, k);
        SavedSession* record = find_saved(controller.saved, entry.pid, entry.instance);
        if (!record) {
            const Move move = merged ? moved_target(turn, entry) : Move{false, 0.0f, 0.0f, nullptr};
            if (move.moves) {
                set_session_level(entry.volume_control, *move.own, move.to);
                any = true;
            }
            continue;
        }
        // After a merge every record's target is taken afresh: another
        // change's holds may have come or gone meanwhile.
        if (brought.by_record[index_of(controller.saved, *record)] && !merged)
            continue;
        if (set_by_someone_else(turn, entry, *record))
            continue;
        const float target =
            lift_own || taken_over(turn, *record) ? others_least(turn, *record) : record->share;
        note_ramp(controller.saved, *record, target, target);
        note_shared_ramp(turn, *record, target, target);
        set_session_level(entry.volume_control, record->own.level, target);
        brought.by_record[index_of(controller.saved, *record)] = true;
        any = true;
    }
    if (!any)
        return true;
    update_keeper(controller);
    return confirm_volume_changes();
}
