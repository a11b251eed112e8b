// The process snapshot on Linux: a walk over /proc. The walk itself reads
// only directory entries; a process's name is read once the caller has found
// the process it wants, from the target of /proc/PID/exe or, where that link
// cannot be read (another user's process, a kernel thread), from its comm.
#include "audio_platform.h"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The one open snapshot: /proc and a buffer of its directory entries.
struct Snapshot {
    int directory;
    alignas(dirent64) char entries[16384];  // records are read in place
    long filled;
    long position;
    uint32_t current;
};
Snapshot g_snapshot = {-1, {}, 0, 0, 0};

bool parse_pid(const char* name, uint32_t* pid)
{
    uint32_t value = 0;
    if (!*name)
        return false;
    for (; *name; ++name) {
        if (*name < '0' || *name > '9' || value > 429496728u)
            return false;
        value = value * 10 + static_cast<uint32_t>(*name - '0');
    }
    *pid = value;
    return true;
}

bool walk(uint32_t* pid)
{
    for (;;) {
        if (g_snapshot.position >= g_snapshot.filled) {
            g_snapshot.filled = getdents64(g_snapshot.directory, g_snapshot.entries,
                                           sizeof g_snapshot.entries);
            g_snapshot.position = 0;
            if (g_snapshot.filled <= 0)
                return false;
        }
        const dirent64* entry =
            reinterpret_cast<const dirent64*>(g_snapshot.entries + g_snapshot.position);
        g_snapshot.position += entry->d_reclen;
        if (parse_pid(entry->d_name, pid)) {
            g_snapshot.current = *pid;
            return true;
        }
    }
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

ProcessSnapshot* take_process_snapshot()
{
    g_snapshot.directory = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g_snapshot.directory < 0)
        return nullptr;
    g_snapshot.filled = 0;
    g_snapshot.position = 0;
    return reinterpret_cast<ProcessSnapshot*>(&g_snapshot);
}

bool first_process(ProcessSnapshot*, uint32_t* pid)
{
    lseek(g_snapshot.directory, 0, SEEK_SET);
    g_snapshot.filled = 0;
    g_snapshot.position = 0;
    return walk(pid);
}

bool next_process(ProcessSnapshot*, uint32_t* pid)
{
    return walk(pid);
}

void current_process_exe(ProcessSnapshot*, Utf16Char* exe_name)
{
    char name[1024];
    exe_name[0] = 0;
    if (!exe_link_name(g_snapshot.current, name, sizeof name) &&
        !comm_name(g_snapshot.current, name, sizeof name))
        return;
    Utf16Char wide[1024];
    if (utf8_to_utf16(name, wide, 1024) > 0)
        copy_text_bounded(exe_name, wide, kMaxExeName);
}

void close_process_snapshot(ProcessSnapshot*)
{
    close(g_snapshot.directory);
    g_snapshot.directory = -1;
}
