#include "keeper.h"

#include "audio/session_table.h"
#include "keeper_records.h"
#include "saved_volumes.h"
#include "sharing.h"

#include <algorithm>

namespace {

// What the running keeper has been told.
struct Told {
    bool running;
    unsigned times_rewritten;  // since then, records were only appended
    int saved;
    bool holder;  // whose holds they are
};
Told g_told;

bool start()
{
    if (!start_keeper(kKeeperMarker, kKeeperPipeBytes))
        return false;
    g_told = {true, times_rewritten(), 0, false};
    return true;
}

// Appended records are told one by one; any other change (a record dropped,
// a new share) is told as a clear and every record afresh.
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
    if (g_told.times_rewritten != times_rewritten()) {
        if (!send_keeper_record(kClearRecord))
            return false;
        g_told = {true, times_rewritten(), 0, g_told.holder};
    }
    for (; g_told.saved < saved_count(); ++g_told.saved) {
        // A record too long to send: the keeper misses it. Channels and
        // key fit in a record, so this does not happen.
        if (!format_saved_record(saved_at(g_told.saved), record, kMaxKeeperRecord))
            continue;
        if (!send_keeper_record(record))
            return false;
    }
    return true;
}

void apply(const char* record)
{
    static SavedSession saved;
    uint32_t pid = 0;
    uint64_t started = 0;
    if (parse_holder_record(record, &pid, &started)) {
        share_as(pid, started);
        return;
    }
    switch (parse_keeper_record(record, &saved)) {
    case KeeperRecord::kSave:
        keep_record(saved);
        break;
    case KeeperRecord::kClear:
        forget_saved_volumes();
        break;
    case KeeperRecord::kUnknown:
        break;
    }
}

}  // namespace

void update_keeper()
{
    // A keeper that died (killed by someone) holds nothing any more: it is
    // replaced below and the new one told everything.
    if (g_told.running && !keeper_running()) {
        stop_keeper();
        g_told.running = false;
    }
    if (!g_told.running) {
        // Nothing a keeper could restore: none is needed yet.
        if (nothing_saved() || !start())
            return;
    }
    if (tell_changes())
        return;
    // A keeper that missed a record must not act on the rest: it is ended
    // and a new one is told everything, once.
    stop_keeper();
    g_told.running = false;
    if (nothing_saved() || !start())
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
    static char record[kMaxKeeperRecord];
    while (receive_keeper_record(record, kMaxKeeperRecord))
        apply(record);
    // A clean end (quit, end of input, or nothing ever ducked) leaves
    // nothing saved: nothing is touched.
    if (nothing_saved())
        return 0;
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
    return 0;
}
