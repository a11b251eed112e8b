// The simulated platform's virtual clock: a sleep moves it at once (and
// lets volume sets that are due land), so that ramp timing is an exact
// test; the platform's start and end, and a stop request.
#include "support/simulated/world.h"

namespace {

struct Clock {
    uint64_t now_ms;
    int sleeps;
    bool interrupted;
    int joins;
    int leaves;
    void (*on_sleep)(uint64_t deadline_ms);
};
Clock g_clock;

}  // namespace

uint64_t& clock_now()
{
    return g_clock.now_ms;
}

bool runtime_left()
{
    return g_clock.leaves > 0;
}

void reset_clock()
{
    g_clock = {};
}

void join_object_runtime()
{
    ++g_clock.joins;
}

void leave_object_runtime()
{
    note_call();
    ++g_clock.leaves;
}

void sleep_until(uint64_t deadline_ms)
{
    if (g_clock.on_sleep)
        g_clock.on_sleep(deadline_ms);
    if (deadline_ms > g_clock.now_ms)
        g_clock.now_ms = deadline_ms;
    deliver_answers(g_clock.now_ms);
    ++g_clock.sleeps;
}

uint64_t monotonic_ms()
{
    return g_clock.now_ms;
}

bool input_interrupted()
{
    return g_clock.interrupted;
}

// ---- test controls -----------------------------------------------------

void sim_interrupt() { g_clock.interrupted = true; }
void sim_on_sleep(void (*action)(uint64_t deadline_ms)) { g_clock.on_sleep = action; }
uint64_t sim_clock_ms() { return g_clock.now_ms; }
int sim_sleep_count() { return g_clock.sleeps; }
int sim_runtime_joins() { return g_clock.joins; }
int sim_runtime_leaves() { return g_clock.leaves; }
