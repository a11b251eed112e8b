// The keeper's own life: it reads what its controller tells it until the
// pipe ends, then restores and writes whatever is still owed.
#include "ducking/keeper/keeper.h"

#include "ducking/controller.h"
#include "ducking/keeper/keeper_pipe.h"
#include "ducking/restore.h"

#include <algorithm>
#include <cstring>

namespace {

void apply(Controller& keeper, const char* record)
{
    SavedSession saved;
    uint32_t pid = 0;
    uint64_t number = 0;
    if (parse_holder_record(record, &pid, &number)) {
        share_as(keeper.sharing, pid, number);
    } else if (parse_saved_record(record, &saved)) {
        keep_record(keeper.saved, saved);
    } else if (parse_release_record(record, &pid, &number)) {
        keep_unwritten_release(keeper.sharing, pid, number);
    } else if (std::strcmp(record, kClearRecord) == 0) {
        forget_saved_volumes(keeper.saved);
        forget_unwritten_releases(keeper.sharing);
    }
}

}  // namespace

bool started_as_keeper(int argc, char** argv)
{
    return keeper_connection_given(argc, argv, kKeeperMarker);
}

int run_keeper(Controller& keeper)
{
    keeper.keeper.in_keeper = true;
    char record[kMaxRecord];
    while (receive_keeper_record(keeper.keeper.incoming, record, kMaxRecord))
        apply(keeper, record);
    // A clean end (quit, end of input, or nothing ever ducked) leaves
    // nothing saved and nothing unwritten: nothing is touched.
    if (nothing_saved(keeper.saved) && unwritten_release_count(keeper.sharing) == 0)
        return 0;
    join_object_runtime();
    const uint64_t began = monotonic_ms();
    while (!restore_saved_volumes(keeper) && monotonic_ms() - began < kKeeperPatienceMs &&
           !input_interrupted()) {
        // Asked to stop while waiting (SIGTERM): one last attempt, then out.
        const uint64_t next = monotonic_ms() + kKeeperRetryMs;
        while (monotonic_ms() < next && !input_interrupted())
            sleep_until(std::min(next, monotonic_ms() + kKeeperStopCheckMs));
    }
    release_sessions(keeper.sessions);
    leave_object_runtime();
    return 0;
}
