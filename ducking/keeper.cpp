#include "keeper.h"

#include "audio/session_table.h"
#include "keeper_records.h"
#include "saved_volumes.h"

#include <algorithm>

namespace {

// What the running keeper has been told.
struct Told {
    bool running;
    unsigned times_forgotten;
    int saved;
    int remembered;
};
Told g_told;

bool start()
{
    if (!start_keeper(kKeeperMarker, kKeeperPipeBytes))
        return false;
    g_told = {true, times_forgotten(), 0, 0};
    return true;
}

bool tell_changes()
{
    static char record[kMaxKeeperRecord];
    if (g_told.times_forgotten != times_forgotten()) {
        if (!send_keeper_record(kClearRecord))
            return false;
        g_told = {true, times_forgotten(), 0, 0};
    }
    for (; g_told.saved < saved_count(); ++g_told.saved) {
        if (!format_saved_record(saved_at(g_told.saved), record, kMaxKeeperRecord) ||
            !send_keeper_record(record))
            return false;
    }
    for (; g_told.remembered < remembered_count(); ++g_told.remembered) {
        // A memory that cannot be written as a record is one the keeper
        // will not put back; everything else it holds is still right.
        if (!format_memory_record(remembered_at(g_told.remembered), record, kMaxKeeperRecord))
            continue;
        if (!send_keeper_record(record))
            return false;
    }
    return true;
}

void apply(const char* record)
{
    SavedVolume saved{};
    static VolumeMemory memory;
    switch (parse_keeper_record(record, &saved, &memory)) {
    case KeeperRecord::kSave:
        if (!find_saved(saved.pid))
            save_volume(saved.pid, saved.volume);
        break;
    case KeeperRecord::kMemory:
        keep_volume_memory(memory);
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
