// The controller's side of its keeper: what it is told, and when.
#include "ducking/keeper/keeper.h"

#include "ducking/controller.h"
#include "ducking/keeper/keeper_pipe.h"

namespace {

bool start(Controller& controller)
{
    if (!start_keeper(kKeeperMarker, kKeeperPipeBytes))
        return false;
    controller.keeper = {};
    controller.keeper.running = true;
    controller.keeper.times_rewritten = times_rewritten(controller.saved);
    controller.keeper.releases = controller.sharing.unwritten_changes;
    controller.keeper.all_due = true;
    return true;
}

// New and changed records are told one by one, each replacing the keeper's
// record of the same session; after a record was dropped, or the unwritten
// releases changed, the keeper hears a clear and everything afresh.
bool tell_changes(Controller& controller)
{
    KeeperLink& told = controller.keeper;
    char record[kMaxRecord];
    uint32_t pid = 0;
    uint64_t started = 0;
    if (!told.holder && sharing_identity(controller.sharing, &pid, &started) &&
        format_holder_record(pid, started, record, kMaxRecord)) {
        if (!send_keeper_record(record))
            return false;
        told.holder = true;
    }
    if (told.times_rewritten != times_rewritten(controller.saved) ||
        told.releases != controller.sharing.unwritten_changes) {
        if (!send_keeper_record(kClearRecord))
            return false;
        told.times_rewritten = times_rewritten(controller.saved);
        told.releases = controller.sharing.unwritten_changes;
        told.all_due = true;
    }
    SavedVolumes& saved = controller.saved;
    for (int i = 0; i < saved_count(saved); ++i) {
        if (!take_untold(saved, i) && !told.all_due)
            continue;
        // A record too long to send: the keeper misses it. Channels, ramps
        // and key fit in a record, so this does not happen.
        if (format_saved_record(saved_at(saved, i), record, kMaxRecord) && !send_keeper_record(record))
            return false;  // this keeper is replaced and the next told all
    }
    // Releases are told only with everything, after a clear.
    for (int i = 0; told.all_due && i < unwritten_release_count(controller.sharing); ++i) {
        const SessionId released = unwritten_release_at(controller.sharing, i);
        if (format_release_record(released.pid, released.instance, record, kMaxRecord) &&
            !send_keeper_record(record))
            return false;
    }
    told.all_due = false;
    return true;
}

// Whether a keeper would have anything to do: a saved session to restore,
// or a release to write into the shared table.
bool owed(const Controller& controller)
{
    return !nothing_saved(controller.saved) || unwritten_release_count(controller.sharing) > 0;
}

}  // namespace

void update_keeper(Controller& controller)
{
    KeeperLink& told = controller.keeper;
    if (told.in_keeper)
        return;
    // A keeper that died (killed by someone) holds nothing any more: it is
    // replaced below and the new one told everything.
    if (told.running && !keeper_running()) {
        stop_keeper();
        told.running = false;
    }
    if (!told.running) {
        // Nothing a keeper could do: none is needed yet.
        if (!owed(controller) || !start(controller))
            return;
    }
    if (tell_changes(controller))
        return;
    // A keeper that missed a record must not act on the rest: it is ended
    // and a new one is told everything, once.
    stop_keeper();
    told.running = false;
    if (!owed(controller) || !start(controller))
        return;
    if (!tell_changes(controller)) {
        stop_keeper();
        told.running = false;
    }
}

void let_keeper_go(Controller& controller)
{
    if (controller.keeper.running)
        release_keeper();
    controller.keeper.running = false;
}
