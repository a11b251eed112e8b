// The cost of one rebuild of the session table on the simulated platform,
// by number of sessions and of running processes: each session looks its
// process up in a process snapshot, so the cost grows with both.
#include "support/simulated/platform.h"
#include "audio/session_table.h"

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

void build_world(int sessions, int processes)
{
    sim_reset();
    const int endpoints[] = {sim_add_endpoint(), sim_add_endpoint()};
    for (int pid = 1; pid <= processes; ++pid) {
        char name[32];
        std::snprintf(name, sizeof name, "process%d.exe", pid);
        sim_add_process(static_cast<uint32_t>(pid), name);
    }
    // Sessions belong to processes spread over the whole list.
    for (int i = 0; i < sessions; ++i)
        sim_add_session(endpoints[i % 2], static_cast<uint32_t>(1 + i * processes / sessions),
                        0.5f);
}

void rebuild(benchmark::State& state)
{
    build_world(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    static SessionTable table;
    for (auto _ : state) {
        enumerate_sessions(table);
        benchmark::DoNotOptimize(session_count(table));
    }
    release_sessions(table);
    state.counters["sessions"] = static_cast<double>(state.range(0));
    state.counters["processes"] = static_cast<double>(state.range(1));
}
BENCHMARK(rebuild)->ArgsProduct({{16, 256}, {100, 1000}})->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
