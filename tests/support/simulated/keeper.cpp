// The simulated platform's keeper: a transcript of every start, record
// told, stop and release, and the records a keeper process reads, given by
// the test as text (the pipe ends after the last).
#include "support/simulated/world.h"

#include <cassert>
#include <cstring>

namespace {

struct Keeper {
    char transcript[1 << 16];
    const char* feed;
    int running;
    int tells;
    bool dead;
};
Keeper g_keeper;

void note(const char* what)
{
    log_text(g_keeper.transcript, sizeof g_keeper.transcript, what, '\n');
}

}  // namespace

int keeper_transcript_length()
{
    return static_cast<int>(std::strlen(g_keeper.transcript));
}

void reset_keeper()
{
    g_keeper.transcript[0] = 0;
    g_keeper.feed = nullptr;
    g_keeper.running = 0;
    g_keeper.tells = 0;
    g_keeper.dead = false;
}

bool start_keeper(const char*, int)
{
    if (fails(SimOp::kStartKeeper))
        return false;
    ++g_keeper.running;
    note("start");
    return true;
}

bool keeper_running()
{
    return g_keeper.running > 0 && !g_keeper.dead;
}

bool write_to_keeper(const char* bytes, int length)
{
    assert(g_keeper.running > 0);
    if (g_keeper.dead)
        return false;
    if (fails(SimOp::kTellKeeper, g_keeper.tells++))
        return false;
    // The transcript holds the bytes as written: records and their line feeds.
    char* log = g_keeper.transcript;
    const size_t used = std::strlen(log);
    if (used + static_cast<size_t>(length) < sizeof g_keeper.transcript) {
        std::memcpy(log + used, bytes, static_cast<size_t>(length));
        log[used + static_cast<size_t>(length)] = 0;
    }
    return true;
}

void stop_keeper()
{
    assert(g_keeper.running > 0);
    --g_keeper.running;
    g_keeper.dead = false;
    note("stop");
}

void release_keeper()
{
    assert(g_keeper.running > 0);
    --g_keeper.running;
    note("release");
}

bool keeper_connection_given(int, char**, const char*)
{
    return false;
}

int read_from_controller(char* into, int room)
{
    const char* feed = g_keeper.feed;
    int length = 0;
    while (feed && feed[length] && length < room) {
        into[length] = feed[length];
        ++length;
    }
    if (feed)
        g_keeper.feed = feed + length;
    return length;
}

// ---- test controls -----------------------------------------------------

const char* sim_keeper_transcript() { return g_keeper.transcript; }
void sim_feed_keeper(const char* records) { g_keeper.feed = records; }
int sim_keepers_running() { return g_keeper.running; }

void sim_kill_keeper()
{
    assert(g_keeper.running > 0);
    g_keeper.dead = true;
    note("killed");
}
