// The processes on Linux, from /proc: the process snapshot, a walk over
// the process ids there, and each process's parent and start time. The
// ids are read once per rebuild of the session table (the table takes a
// snapshot for every session, and reading /proc costs as much as the rest
// of a rebuild); a process's name is read only once the caller has found
// the process it wants, from the target of /proc/PID/exe or, where that
// link cannot be read (another user's process, a kernel thread), from its
// comm.
#include "audio/audio_platform.h"
#include "audio/decimal.h"
#include "audio/handles.h"
#include "audio/linux/backend.h"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kMaxProcesses = 65536;

// The process ids of the current rebuild and the walk's place in them.
struct Snapshot {
    uint32_t pids[kMaxProcesses];
    int count;
    bool fresh;  // read during this rebuild
    int position;
    uint32_t current;
};
Snapshot g_snapshot;

// Reads every process id in /proc; false when /proc cannot be read.
bool read_process_ids()
{
    const int directory = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0)
        return false;
    alignas(dirent64) char entries[16384];  // records are read in place
    g_snapshot.count = 0;
    long filled;
    while ((filled = getdents64(directory, entries, sizeof entries)) > 0) {
        for (long position = 0; position < filled;) {
            const dirent64* entry = reinterpret_cast<const dirent64*>(entries + position);
            position += entry->d_reclen;
            uint32_t pid = 0;
            if (g_snapshot.count < kMaxProcesses && parse_uint32(entry->d_name, &pid))
                g_snapshot.pids[g_snapshot.count++] = pid;
        }
    }
    close(directory);
    return filled == 0;
}

bool walk(uint32_t* pid)
{
    if (g_snapshot.position >= g_snapshot.count)
        return false;
    *pid = g_snapshot.current = g_snapshot.pids[g_snapshot.position++];
    return true;
}

// Reads the file name of /proc/PID/exe's target into name (UTF-8 bytes).
bool exe_link_name(uint32_t pid, char* name, size_t capacity)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%u/exe", pid);
    char target[4096];
    const ssize_t length = readlink(path, target, sizeof target - 1);
    if (length <= 0)
        return false;
    target[length] = 0;
    // A program replaced while running (an upgrade) shows this suffix.
    constexpr char kDeleted[] = " (deleted)";
    const size_t suffix = sizeof kDeleted - 1;
    if (static_cast<size_t>(length) > suffix &&
        std::strcmp(target + length - suffix, kDeleted) == 0)
        target[length - suffix] = 0;
    const char* slash = std::strrchr(target, '/');
    const char* file = slash ? slash + 1 : target;
    const size_t bytes = std::strlen(file);
    if (bytes == 0 || bytes >= capacity)
        return false;
    std::memcpy(name, file, bytes + 1);
    return true;
}

bool comm_name(uint32_t pid, char* name, size_t capacity)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%u/comm", pid);
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return false;
    const ssize_t length = read(file, name, capacity - 1);
    close(file);
    if (length <= 0)
        return false;
    name[length] = 0;
    if (name[length - 1] == '\n')
        name[length - 1] = 0;
    return true;
}

}  // namespace

void forget_process_ids()
{
    g_snapshot.fresh = false;
}

ProcessSnapshot* take_process_snapshot()
{
    if (!g_snapshot.fresh) {
        if (!read_process_ids())
            return nullptr;
        g_snapshot.fresh = true;
    }
    g_snapshot.position = 0;
    return handle<ProcessSnapshot>(&g_snapshot);
}

bool first_process(ProcessSnapshot*, uint32_t* pid)
{
    g_snapshot.position = 0;
    return walk(pid);
}

bool next_process(ProcessSnapshot*, uint32_t* pid)
{
    return walk(pid);
}

void current_process_exe(ProcessSnapshot*, Utf16Char* exe_name)
{
    // Room for any file name's bytes; no byte becomes more than one unit.
    constexpr int kNameBytes = 1024;
    char name[kNameBytes];
    exe_name[0] = 0;
    if (!exe_link_name(g_snapshot.current, name, sizeof name) &&
        !comm_name(g_snapshot.current, name, sizeof name))
        return;
    Utf16Char wide[kNameBytes];
    if (utf8_to_utf16(name, wide, kNameBytes) > 0)
        copy_text_bounded(exe_name, wide, kMaxExeName);
}

void close_process_snapshot(ProcessSnapshot*) {}

uint32_t own_process_id()
{
    return static_cast<uint32_t>(getpid());
}

// A Linux executable has no extension: a dot in its name is the name's own.
bool executable_names_have_extensions()
{
    return false;
}

namespace {

// One numeric field of /proc/PID/stat (K counted from 1, as proc(5) counts
// them), of a process that still runs. The fields are counted after the
// command's closing parenthesis, as the command may hold spaces and
// parentheses of its own.
bool stat_field(uint32_t pid, int k, uint64_t* value)
{
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%u/stat", pid);
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return false;
    char stat[1024];
    const ssize_t length = read(file, stat, sizeof stat - 1);
    close(file);
    if (length <= 0)
        return false;
    stat[length] = 0;
    const char* field = std::strrchr(stat, ')');
    // A zombie (ended, not yet reaped by its parent) runs no more.
    if (!field || field[1] != ' ' || field[2] == 'Z' || field[2] == 'X')
        return false;
    // The space before field K is the (K - 2)th after the parenthesis.
    for (int spaces = 0; field && spaces < k - 2; ++spaces)
        field = std::strchr(field + 1, ' ');
    if (!field)
        return false;
    const char* end = nullptr;
    *value = read_decimal_digits(field + 1, &end);
    return end != field + 1;
}

}  // namespace

// The 22nd field, in clock ticks since boot.
bool process_start_time(uint32_t pid, uint64_t* started)
{
    return stat_field(pid, 22, started);
}

// The 4th field; 0 for a process the kernel started.
bool process_parent(uint32_t pid, uint32_t* parent)
{
    uint64_t read = 0;
    if (!stat_field(pid, 4, &read) || read == 0 || read > UINT32_MAX)
        return false;
    *parent = static_cast<uint32_t>(read);
    return true;
}
