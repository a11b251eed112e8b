#include "keeper.h"

#include "audio/session_table.h"
#include "keeper_records.h"
#include "restore.h"
#include "saved_volumes.h"
#include "shared_turn.h"

#include <algorithm>
#include <cstring>

namespace {

// What the running keeper has been told.
struct Told {
    bool running;
    unsigned times_rewritten;  // since then, no record moved
    unsigned releases;         // the unwritten releases as they were told
    bool holder;    // whose holds they are
    bool all_due;   // a new keeper: every record is to be told
};
Told g_told;
bool g_in_keeper = false;  // this process is the keeper: it starts none

bool start()
{
    if (!start_keeper(kKeeperMarker, kKeeperPipeBytes))
        return false;
    g_told = {true, times_rewritten(), unwritten_releases_changed(), false, true};
    return true;
}

// New and changed records are told one by one, each replacing the keeper's
// record of the same session; after a record was dropped, the keeper hears
// a clear and every record afresh.
bool tell_changes()
{
    static char record[kMaxKeeperRecord];
    uint32_t pid = 0;
    uint64_t started = 0;
    if (!g_told.holder && sharing_identity(&pid, &started) &&
        format_holder_record(pid, started, record, kMaxKeeperRecord)) {
        if (!send_keeper_record(record))
            return false;
        g_told.holder = true;
    }
    if (g_told.times_rewritten != times_rewritten() ||
        g_told.releases != unwritten_releases_changed()) {
        if (!send_keeper_record(kClearRecord))
            return false;
        g_told.times_rewritten = times_rewritten();
        g_told.releases = unwritten_releases_changed();
        g_told.all_due = true;
    }
    for (int i = 0; i < saved_count(); ++i) {
        if (!take_untold(i) && !g_told.all_due)
            continue;
        // A record too long to send: the keeper misses it. Channels, ramps
        // and key fit in a record, so this does not happen.
        if (format_saved_record(saved_at(i), record, kMaxKeeperRecord) && !send_keeper_record(record))
            return false;  // this keeper is replaced and the next told all
    }
    // Releases are told only with everything, after a clear.
    for (int i = 0; g_told.all_due && i < unwritten_release_count(); ++i) {
        uint32_t released = 0;
        uint64_t instance = 0;
        unwritten_release_at(i, &released, &instance);
        if (format_release_record(released, instance, record, kMaxKeeperRecord) &&
            !send_keeper_record(record))
            return false;
    }
    g_told.all_due = false;
    return true;
}

// Whether a keeper would have anything to do: a saved session to restore,
// or a release to write into the shared table.
bool owed()
{
    return !nothing_saved() || unwritten_release_count() > 0;
}

void apply(const char* record)
{
    static SavedSession saved;
    uint32_t pid = 0;
    uint64_t number = 0;
    if (parse_holder_record(record, &pid, &number)) {
        share_as(pid, number);
    } else if (parse_saved_record(record, &saved)) {
        keep_record(saved);
    } else if (parse_release_record(record, &pid, &number)) {
        keep_unwritten_release(pid, number);
    } else if (std::strcmp(record, kClearRecord) == 0) {
        forget_saved_volumes();
        forget_unwritten_releases();
    }
}

}  // namespace

void update_keeper()
{
    if (g_in_keeper)
        return;
    // A keeper that died (killed by someone) holds nothing any more: it is
    // replaced below and the new one told everything.
    if (g_told.running && !keeper_running()) {
        stop_keeper();
        g_told.running = false;
    }
    if (!g_told.running) {
        // Nothing a keeper could do: none is needed yet.
        if (!owed() || !start())
            return;
    }
    if (tell_changes())
        return;
    // A keeper that missed a record must not act on the rest: it is ended
    // and a new one is told everything, once.
    stop_keeper();
    g_told.running = false;
    if (!owed() || !start())
        return;
    if (!tell_changes()) {
        stop_keeper();
        g_told.running = false;
    }
}

void let_keeper_go()
{
    if (g_told.running)
        release_keeper();
    g_told.running = false;
}

bool started_as_keeper(int argc, char** argv)
{
    return keeper_connection_given(argc, argv, kKeeperMarker);
}

int run_keeper()
{
    g_in_keeper = true;
    static char record[kMaxKeeperRecord];
    while (receive_keeper_record(record, kMaxKeeperRecord))
        apply(record);
    // A clean end (quit, end of input, or nothing ever ducked) leaves
    // nothing saved and nothing unwritten: nothing is touched.
    if (!owed()) {
        g_in_keeper = false;
        return 0;
    }
    join_object_runtime();
    const uint64_t began = monotonic_ms();
    while (!restore_saved_volumes() && monotonic_ms() - began < kKeeperPatienceMs &&
           !input_interrupted()) {
        // Asked to stop while waiting (SIGTERM): one last attempt, then out.
        const uint64_t next = monotonic_ms() + kKeeperRetryMs;
        while (monotonic_ms() < next && !input_interrupted())
            sleep_until(std::min(next, monotonic_ms() + kKeeperStopCheckMs));
    }
    release_sessions();
    leave_object_runtime();
    g_in_keeper = false;
    return 0;
}
