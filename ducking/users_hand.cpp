#include "ducking/users_hand.h"

#include "audio/diagnostics.h"
#include "audio/level_tolerance.h"
#include "ducking/written_levels.h"

namespace {

// The widest a level mapped onto other channels may spread: the share of
// the own level's loudest its quietest channel has.
float quietest_share(const SessionLevel& own)
{
    float quietest = 1.0f;
    for (int i = 0; i < own.channels; ++i) {
        const float loudness = channel_loudness(own, i);
        quietest = loudness < quietest ? loudness : quietest;
    }
    return quietest;
}

const SessionEntry* entry_of(const SessionTable& sessions, const SavedSession& record)
{
    for (int k = 0; k < session_count(sessions); ++k) {
        const SessionEntry& entry = session_at(sessions, k);
        if (entry.pid == record.pid && entry.instance == record.instance)
            return &entry;
    }
    return nullptr;
}

struct Leaving {
    SharedTurn* turn;
    const bool* leave;  // by record
    Brought* brought;   // null: none kept
    int kept;
};

bool left(const SavedSession& record, int index, void* context)
{
    Leaving& leaving = *static_cast<Leaving*>(context);
    if (leaving.leave[index]) {
        // Told that its hold ended: only ours goes, the teller ended the rest.
        if (told_hold_ended(*leaving.turn, record)) {
            drop_hold(*leaving.turn, record);
            forget_told_hold_ended(*leaving.turn, record);
        } else {
            leave_to_user(*leaving.turn, record);
        }
        return true;
    }
    if (leaving.brought)
        leaving.brought->by_record[leaving.kept] = leaving.brought->by_record[index];
    ++leaving.kept;
    return false;
}

void drop_left(Controller& controller, SharedTurn& turn, const bool* leave, Brought* brought)
{
    Leaving leaving{&turn, leave, brought, 0};
    drop_records(controller.saved, left, &leaving);
    update_keeper(controller);
}

}  // namespace

bool set_by_someone_else(const SharedTurn& turn, const SessionEntry& entry,
                         const SavedSession& record)
{
    // A change made while another holds the turn cannot know what that
    // one is writing: it judges none of that one's sessions. Where the
    // record says the session sits is appduck's, and a record that knows
    // no ramp cannot tell another's level from its own.
    if (turn_holder_may_be_writing(turn, record.pid, record.instance))
        return false;
    const SavedSession* shared = shared_original_of(turn, record);
    if (record.ramp_count == 0 && (!shared || shared->ramp_count == 0))
        return false;
    if (levels_match(entry.volume, record.share * record.volume))
        return false;
    const float quietest = quietest_share(record.own.level);
    if (level_is_appducks(record.ramps, record.ramp_count, record.volume, entry.volume, quietest))
        return false;
    // The table's ramps are shares of its original, which another controller
    // may have read otherwise.
    return !shared || !level_is_appducks(shared->ramps, shared->ramp_count, shared->volume,
                                         entry.volume, quietest);
}

float watched_volume(const SessionEntry& entry, const SavedSession& record)
{
    SessionLevel level;
    if (!get_session_level(entry.volume_control, &level) ||
        level.channels != record.own.level.channels)
        return 0.0f;
    return record.volume;
}

void leave_what_others_set(Controller& controller, SharedTurn& turn)
{
    bool leave[kMaxSaved] = {};
    bool any = false;
    for (int i = 0; i < saved_count(controller.saved); ++i) {
        const SavedSession& record = saved_at(controller.saved, i);
        const SessionEntry* entry = entry_of(controller.sessions, record);
        if (told_hold_ended(turn, record)) {
            // Held again only where this one's own ramps explain the level,
            // as a write of its the table missed, and nobody held it afresh.
            if (entry && !turn_holder_may_be_writing(turn, record.pid, record.instance) &&
                !held_from_another_original(turn, record) &&
                !set_by_someone_else(turn, *entry, record)) {
                forget_told_hold_ended(turn, record);
                continue;
            }
            diagnose("a session of process %u was set by someone else, as another controller "
                     "found: this one's hold on it ends", record.pid);
            leave[i] = true;
            any = true;
            continue;
        }
        if (!entry || !set_by_someone_else(turn, *entry, record))
            continue;
        diagnose("a session of process %u was set by someone else: appduck last wrote %.4f, "
                 "found %.4f: left where the user put it",
                 record.pid, static_cast<double>(record.share * record.volume),
                 static_cast<double>(entry->volume));
        leave[i] = true;
        any = true;
    }
    if (any)
        drop_left(controller, turn, leave, nullptr);
    // Sessions only others hold: a duck of this one would take the table's
    // original for them.
    for (int k = 0; k < session_count(controller.sessions); ++k) {
        const SessionEntry& entry = session_at(controller.sessions, k);
        const SavedSession* held = shared_original(turn, entry.pid, entry.instance);
        if (!held || find_saved(controller.saved, entry.pid, entry.instance) ||
            !set_by_someone_else(turn, entry, *held))
            continue;
        diagnose("a session of process %u that other controllers hold was set by someone else: "
                 "found %.4f: left where the user put it",
                 entry.pid, static_cast<double>(entry.volume));
        leave_held_to_user(turn, entry.pid, entry.instance);
    }
}

void leave_entries_the_ramp_left(Controller& controller, SharedTurn& turn, const RampPlan& plan,
                                 Brought& brought)
{
    bool any = false;
    for (int k = 0; k < plan.count && !any; ++k)
        any = plan.left[k];
    if (!any)
        return;
    // Another controller's ramps, noted in the table since this turn read it.
    brought.merged = refresh_table(turn) || brought.merged;
    const bool levels_read = refresh_session_levels();
    bool leave[kMaxSaved] = {};
    any = false;
    for (int k = 0; k < plan.count; ++k) {
        if (!plan.left[k])
            continue;
        SessionEntry entry = session_at(controller.sessions, k);
        SavedSession* record = find_saved(controller.saved, entry.pid, entry.instance);
        if (!record)
            continue;
        const int index = index_of(controller.saved, *record);
        if (levels_read && get_master_volume(entry.volume_control, &entry.volume) &&
            set_by_someone_else(turn, entry, *record)) {
            diagnose("a session of process %u was set by someone else: appduck last wrote "
                     "%.4f, found %.4f: left where the user put it",
                     record->pid, static_cast<double>(record->share * record->volume),
                     static_cast<double>(entry.volume));
            leave[index] = true;
            any = true;
        } else {
            diagnose("a session of process %u was set during the ramp by another controller, "
                     "or cannot be read: brought where the holds leave it", record->pid);
            brought.by_record[index] = false;
            brought.unsettled = true;
        }
    }
    if (any)
        drop_left(controller, turn, leave, &brought);
}
