// The simulated platform's core: failures a test injects, and every
// reference handed out, counted, so that a test can assert each one was
// released exactly once. It takes no shortcut the real platform would not
// take.
#include "support/simulated/world.h"

#include "audio/handles.h"

#include <cassert>
#include <cstring>

namespace {

constexpr int kMaxFailures = 64;
constexpr int kHandlePool = 1 << 16;

struct Failure {
    SimOp op;
    int target;
};

struct Core {
    Failure failures[kMaxFailures];
    int failure_total;
    int next_handle;
    int handles_touched;  // slots below this may be in use
    int obtained;
    int live;
    int extra_releases;
    int calls_after_leave;
};
Core g_core;
SimObject g_handles[kHandlePool];

}  // namespace

void note_call()
{
    if (runtime_left())
        ++g_core.calls_after_leave;
}

bool fails(SimOp op, int target)
{
    note_call();
    for (int i = 0; i < g_core.failure_total; ++i) {
        const Failure& f = g_core.failures[i];
        if (f.op == op && (f.target == kSimAnyTarget || f.target == target))
            return true;
    }
    return false;
}

// Slots are reused round-robin over a large pool, so a late second release
// almost always finds its own slot freed.
SimObject* obtain(Kind kind, int target)
{
    for (int tries = 0; tries < kHandlePool; ++tries) {
        const int slot = g_core.next_handle;
        SimObject& object = g_handles[slot];
        g_core.next_handle = (slot + 1) % kHandlePool;
        if (g_core.handles_touched <= slot)
            g_core.handles_touched = slot + 1;
        if (object.refs == 0) {
            object = SimObject{kind, 1, target, 0};
            ++g_core.obtained;
            ++g_core.live;
            return &object;
        }
    }
    assert(false && "simulated handle pool exhausted");
    return nullptr;
}

SimObject& object_behind(void* opaque, Kind kind)
{
    SimObject* object = record<SimObject>(opaque);
    assert(object && object->kind == kind && object->refs > 0);
    (void)kind;
    return *object;
}

void drop(void* opaque, Kind kind)
{
    note_call();
    SimObject* object = record<SimObject>(opaque);
    assert(object && object->kind == kind);
    (void)kind;
    if (object->refs == 0) {
        ++g_core.extra_releases;
        return;
    }
    if (--object->refs == 0)
        --g_core.live;
}

void log_text(char* log, size_t capacity, const char* text, char separator)
{
    const size_t used = std::strlen(log);
    const size_t length = std::strlen(text);
    if (used + length + 2 > capacity)
        return;
    std::memcpy(log + used, text, length);
    log[used + length] = separator;
    log[used + length + 1] = 0;
}

void reset_core()
{
    // Only the handle slots handed out since the last reset need clearing.
    std::memset(g_handles, 0, sizeof(SimObject) * static_cast<size_t>(g_core.handles_touched));
    g_core = {};
}

// ---- test controls -----------------------------------------------------

void sim_reset()
{
    reset_core();
    reset_clock();
    reset_sessions();
    reset_processes();
    reset_keeper();
    reset_shared_turn();
}

void sim_fail(SimOp op, int target)
{
    assert(g_core.failure_total < kMaxFailures);
    g_core.failures[g_core.failure_total++] = {op, target};
}

void sim_heal(SimOp op)
{
    int kept = 0;
    for (int i = 0; i < g_core.failure_total; ++i) {
        if (g_core.failures[i].op != op)
            g_core.failures[kept++] = g_core.failures[i];
    }
    g_core.failure_total = kept;
}

int sim_references_obtained() { return g_core.obtained; }
int sim_live_references() { return g_core.live; }
int sim_extra_releases() { return g_core.extra_releases; }
int sim_calls_after_leave() { return g_core.calls_after_leave; }

int sim_open_snapshots()
{
    int open = 0;
    for (const SimObject& object : g_handles) {
        if (object.kind == Kind::kSnapshot && object.refs > 0)
            ++open;
    }
    return open;
}
