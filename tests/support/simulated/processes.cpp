// The simulated platform's processes: a snapshot walk like Toolhelp's,
// each process's name, parent and start time (its order of addition), and
// this program's own.
#include "support/simulated/world.h"

#include "audio/handles.h"

#include <cassert>

namespace {

constexpr int kMaxProcesses = 2048;

struct WorldProcess {
    uint32_t pid;
    uint32_t parent;  // 0: none known
    uint64_t started;
    Utf16Char exe[kMaxExeName];
    bool ended;
};

struct Processes {
    WorldProcess list[kMaxProcesses];
    int total;
    uint32_t own_pid;
    uint32_t own_parent;
    bool names_without_extensions;
    int snapshots_taken;
};
Processes g_processes;

// Moves the walk to the next live process; cursor - 1 is where it stands.
bool walk_from(SimObject& snapshot, uint32_t* pid)
{
    while (snapshot.cursor < g_processes.total) {
        const WorldProcess& process = g_processes.list[snapshot.cursor++];
        if (!process.ended) {
            *pid = process.pid;
            return true;
        }
    }
    return false;
}

const WorldProcess* running(uint32_t pid)
{
    for (int i = 0; i < g_processes.total; ++i) {
        if (g_processes.list[i].pid == pid && !g_processes.list[i].ended)
            return &g_processes.list[i];
    }
    return nullptr;
}

}  // namespace

void reset_processes()
{
    g_processes.total = 0;
    g_processes.own_pid = kSimDefaultOwnPid;
    g_processes.own_parent = 0;
    g_processes.names_without_extensions = false;
    g_processes.snapshots_taken = 0;
}

ProcessSnapshot* take_process_snapshot()
{
    if (fails(SimOp::kProcessSnapshot))
        return nullptr;
    ++g_processes.snapshots_taken;
    return handle<ProcessSnapshot>(obtain(Kind::kSnapshot, 0));
}

bool first_process(ProcessSnapshot* snapshot, uint32_t* pid)
{
    SimObject& object = object_behind(snapshot, Kind::kSnapshot);
    object.cursor = 0;
    return walk_from(object, pid);
}

bool next_process(ProcessSnapshot* snapshot, uint32_t* pid)
{
    return walk_from(object_behind(snapshot, Kind::kSnapshot), pid);
}

void current_process_exe(ProcessSnapshot* snapshot, Utf16Char* exe_name)
{
    const SimObject& object = object_behind(snapshot, Kind::kSnapshot);
    assert(object.cursor > 0);
    copy_text_bounded(exe_name, g_processes.list[object.cursor - 1].exe, kMaxExeName);
}

bool executable_names_have_extensions()
{
    return !g_processes.names_without_extensions;
}

void close_process_snapshot(ProcessSnapshot* snapshot)
{
    drop(snapshot, Kind::kSnapshot);
}

uint32_t own_process_id()
{
    note_call();
    return g_processes.own_pid;
}

bool process_start_time(uint32_t pid, uint64_t* started)
{
    note_call();
    const WorldProcess* process = running(pid);
    // The test process itself, unless the world lists it (several
    // controllers of one world do), started first.
    if (pid == g_processes.own_pid && !process) {
        *started = 0;
        return true;
    }
    if (process)
        *started = process->started;
    return process != nullptr;
}

bool process_parent(uint32_t pid, uint32_t* parent)
{
    note_call();
    const WorldProcess* process = running(pid);
    *parent = pid == g_processes.own_pid ? g_processes.own_parent : process ? process->parent : 0;
    return *parent != 0;
}

uint32_t current_pid()
{
    return g_processes.own_pid;
}

bool process_running(uint32_t pid)
{
    uint64_t started = 0;
    return pid == g_processes.own_pid || (running(pid) && process_start_time(pid, &started));
}

// ---- test controls -----------------------------------------------------

void sim_add_process(uint32_t pid, const char* exe_utf8)
{
    assert(g_processes.total < kMaxProcesses);
    WorldProcess& process = g_processes.list[g_processes.total++];
    process.pid = pid;
    process.parent = 0;
    process.started = static_cast<uint64_t>(g_processes.total);
    process.ended = false;
    Utf16Char name[kMaxExeName * 4];
    if (utf8_to_utf16(exe_utf8, name, kMaxExeName * 4) <= 0)
        name[0] = 0;
    copy_text_bounded(process.exe, name, kMaxExeName);
}

void sim_end_process(uint32_t pid)
{
    for (int i = 0; i < g_processes.total; ++i) {
        if (g_processes.list[i].pid == pid)
            g_processes.list[i].ended = true;
    }
    end_sessions_of(pid);
}

void sim_set_own_pid(uint32_t pid)
{
    g_processes.own_pid = pid;
}

uint32_t sim_own_pid()
{
    return g_processes.own_pid;
}

void sim_set_parent(uint32_t pid, uint32_t parent)
{
    if (pid == g_processes.own_pid)
        g_processes.own_parent = parent;
    for (int i = 0; i < g_processes.total; ++i) {
        if (g_processes.list[i].pid == pid && !g_processes.list[i].ended)
            g_processes.list[i].parent = parent;
    }
}

void sim_set_names_without_extensions()
{
    g_processes.names_without_extensions = true;
}

int sim_snapshots_taken()
{
    return g_processes.snapshots_taken;
}
