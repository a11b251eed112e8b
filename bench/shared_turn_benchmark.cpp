// What sharing adds to one controller's `duck` or `restore` on Linux: the
// turn (a record lock), the table read, held and written back in place, in
// a private runtime directory of its own. No sound server is needed: the
// table is named after the address.
#include "audio/audio_platform.h"
#include "ducking/controller.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

void shared_change(benchmark::State& state)
{
    char directory[] = "/tmp/appduck-bench.XXXXXX";
    if (!mkdtemp(directory)) {
        state.SkipWithError("no temporary directory");
        return;
    }
    setenv("XDG_RUNTIME_DIR", directory, 1);
    // A server by its address: no socket needs to be there to name the table.
    setenv("PULSE_SERVER", "tcp:127.0.0.1:9", 1);
    const int sessions = static_cast<int>(state.range(0));
    static Controller controller;
    start_controller(controller);
    SavedSession saved[64] = {};
    for (int i = 0; i < sessions; ++i) {
        saved[i].pid = 1000;
        saved[i].instance = static_cast<uint64_t>(i) + 1;
        saved[i].volume = 0.8f;
        saved[i].own.level.channels = 2;
        saved[i].own.level.values[0] = saved[i].own.level.values[1] = 60000;
    }
    for (auto _ : state) {
        // A duck that saves and holds every session, then the restore that
        // lets go and forgets them.
        SharedTurn turn = take_turn(controller.sharing, controller.saved, TurnWait::kPatiently);
        if (!turn.writable) {
            state.SkipWithError("no turn");
            break;
        }
        for (int i = 0; i < sessions; ++i)
            benchmark::DoNotOptimize(hold(turn, *keep_record(controller.saved, saved[i]), 0.2f));
        give_turn(turn);
        turn = take_turn(controller.sharing, controller.saved, TurnWait::kPatiently);
        for (int i = 0; i < saved_count(controller.saved); ++i)
            drop_hold(turn, saved_at(controller.saved, i));
        forget_saved_volumes(controller.saved);
        release_settled(turn);
        give_turn(turn);
    }
    state.counters["sessions"] = sessions;
    state.SetLabel("a duck and a restore");
    const std::string cleanup = std::string("rm -rf ") + directory;
    if (std::system(cleanup.c_str()) != 0)
        state.SkipWithError("cleanup failed");
}
BENCHMARK(shared_change)->Arg(1)->Arg(16)->Arg(64)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
