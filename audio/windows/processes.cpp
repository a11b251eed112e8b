// The Windows backend's processes: the Toolhelp process snapshot, each
// process's parent and start time, and this program's own.
#include "audio/audio_platform.h"
#include "audio/diagnostics.h"
#include "audio/handles.h"

#include <windows.h>
#include <tlhelp32.h>

namespace {

// The one open snapshot and the record its walk stands on.
struct Snapshot {
    HANDLE handle;
    PROCESSENTRY32W entry;
};
Snapshot g_snapshot;

}  // namespace

ProcessSnapshot* take_process_snapshot()
{
    g_snapshot.handle = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (g_snapshot.handle == INVALID_HANDLE_VALUE) {
        diagnose("CreateToolhelp32Snapshot failed: error %lu", GetLastError());
        return nullptr;
    }
    return handle<ProcessSnapshot>(&g_snapshot);
}

bool first_process(ProcessSnapshot*, uint32_t* pid)
{
    g_snapshot.entry.dwSize = sizeof g_snapshot.entry;
    if (!Process32FirstW(g_snapshot.handle, &g_snapshot.entry))
        return false;
    *pid = g_snapshot.entry.th32ProcessID;
    return true;
}

bool next_process(ProcessSnapshot*, uint32_t* pid)
{
    g_snapshot.entry.dwSize = sizeof g_snapshot.entry;
    if (!Process32NextW(g_snapshot.handle, &g_snapshot.entry))
        return false;
    *pid = g_snapshot.entry.th32ProcessID;
    return true;
}

void current_process_exe(ProcessSnapshot*, Utf16Char* exe_name)
{
    lstrcpynW(exe_name, g_snapshot.entry.szExeFile, kMaxExeName);
}

bool executable_names_have_extensions()
{
    return true;
}

void close_process_snapshot(ProcessSnapshot*)
{
    CloseHandle(g_snapshot.handle);
    g_snapshot.handle = INVALID_HANDLE_VALUE;
}

uint32_t own_process_id()
{
    return GetCurrentProcessId();
}

// Toolhelp's record of the process; a snapshot of its own, apart from the
// walk of the session table's.
bool process_parent(uint32_t pid, uint32_t* parent)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        diagnose("CreateToolhelp32Snapshot failed: error %lu", GetLastError());
        return false;
    }
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    bool found = false;
    for (bool more = Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry)) {
        found = entry.th32ProcessID == pid;
        if (found)
            *parent = entry.th32ParentProcessID;
    }
    CloseHandle(snapshot);
    return found && *parent != 0;
}

// When a process started, as Windows keeps it; false once it has ended.
bool process_start_time(uint32_t pid, uint64_t* started)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return false;
    FILETIME created, exited, kernel, user;
    DWORD code = 0;
    const bool running = GetProcessTimes(process, &created, &exited, &kernel, &user) &&
                         GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    *started = (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    return running;
}
