// The simulated platform's keeper, one for each controller of the world (the
// test process, or each of the explorer's): a transcript of every start,
// record told, stop and release, the bytes its pipe holds, and the records
// a keeper process reads, given by the test as text (the pipe ends after
// the last).
#include "support/simulated/world.h"

#include <cassert>
#include <cstring>

namespace {

struct Keeper {
    uint32_t controller;  // whose: 0, none yet
    char transcript[1 << 16];
    char pipe[1 << 16];  // what the running keeper was written since it started
    const char* feed;
    int running;
    int tells;
    bool dead;
    bool released;
};
constexpr int kMaxKeepers = 24;
Keeper g_keepers[kMaxKeepers];

// The keeper of the controller that is running now.
Keeper& keeper()
{
    const uint32_t controller = current_pid();
    for (Keeper& each : g_keepers) {
        if (each.controller == controller)
            return each;
    }
    for (Keeper& each : g_keepers) {
        if (each.controller == 0) {
            each.controller = controller;
            return each;
        }
    }
    assert(false && "more controllers than keepers");
    return g_keepers[0];
}

void note(const char* what)
{
    log_text(keeper().transcript, sizeof keeper().transcript, what, '\n');
}

void append(char* log, size_t capacity, const char* bytes, int length)
{
    const size_t used = std::strlen(log);
    if (used + static_cast<size_t>(length) < capacity) {
        std::memcpy(log + used, bytes, static_cast<size_t>(length));
        log[used + static_cast<size_t>(length)] = 0;
    }
}

}  // namespace

int keeper_transcript_length()
{
    return static_cast<int>(std::strlen(keeper().transcript));
}

void reset_keeper()
{
    for (Keeper& each : g_keepers) {
        each.controller = 0;
        each.transcript[0] = 0;
        each.pipe[0] = 0;
        each.feed = nullptr;
        each.running = 0;
        each.tells = 0;
        each.dead = false;
        each.released = false;
    }
}

bool start_keeper(const char*, int)
{
    if (fails(SimOp::kStartKeeper))
        return false;
    Keeper& own = keeper();
    ++own.running;
    own.pipe[0] = 0;
    own.released = false;
    note("start");
    return true;
}

bool keeper_running()
{
    return keeper().running > 0 && !keeper().dead;
}

bool write_to_keeper(const char* bytes, int length)
{
    Keeper& own = keeper();
    assert(own.running > 0);
    if (own.dead)
        return false;
    if (fails(SimOp::kTellKeeper, own.tells++))
        return false;
    // The transcript holds the bytes as written: records and their line feeds.
    append(own.transcript, sizeof own.transcript, bytes, length);
    append(own.pipe, sizeof own.pipe, bytes, length);
    return true;
}

void stop_keeper()
{
    Keeper& own = keeper();
    assert(own.running > 0);
    --own.running;
    own.dead = false;
    own.pipe[0] = 0;
    note("stop");
}

void release_keeper()
{
    Keeper& own = keeper();
    assert(own.running > 0);
    --own.running;
    own.released = true;
    note("release");
}

bool keeper_connection_given(int, char**, const char*)
{
    return false;
}

int read_from_controller(char* into, int room)
{
    Keeper& own = keeper();
    const char* feed = own.feed;
    int length = 0;
    while (feed && feed[length] && length < room) {
        into[length] = feed[length];
        ++length;
    }
    if (feed)
        own.feed = feed + length;
    return length;
}

// ---- test controls -----------------------------------------------------

const char* sim_keeper_transcript() { return keeper().transcript; }
void sim_feed_keeper(const char* records) { keeper().feed = records; }

int sim_keepers_running()
{
    int running = 0;
    for (const Keeper& each : g_keepers)
        running += each.running;
    return running;
}

void sim_kill_keeper()
{
    assert(keeper().running > 0);
    keeper().dead = true;
    note("killed");
}

const char* sim_keeper_pipe()
{
    return keeper().pipe;
}

bool sim_keeper_released()
{
    return keeper().released;
}
