// The keeper on Windows: this same program (its own module path), started
// with CreateProcessW and given only the read end of an anonymous pipe
// (PROC_THREAD_ATTRIBUTE_HANDLE_LIST), no standard handles and no console
// (DETACHED_PROCESS), so Ctrl+C, closing the console window and a job that
// kills the controller's children (where the job lets it break away) leave
// it running. Its command line is the marker it is given and the pipe's
// handle value.
#include "audio/audio_platform.h"
#include "audio/decimal.h"
#include "audio/diagnostics.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

HANDLE g_keeper = nullptr;
HANDLE g_to_keeper = nullptr;
HANDLE g_from_controller = nullptr;

bool create_keeper(HANDLE read_end, const char* marker, PROCESS_INFORMATION* process)
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    wchar_t command[MAX_PATH + 32];
    // Handle values fit in 32 bits, on 64-bit Windows too.
    _snwprintf(command, MAX_PATH + 32, L"\"%ls\" %hs %lu", path, marker,
               static_cast<unsigned long>(reinterpret_cast<uintptr_t>(read_end)));
    command[MAX_PATH + 31] = 0;

    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    alignas(16) static unsigned char storage[256];
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage);
    if (size > sizeof storage || !InitializeProcThreadAttributeList(attributes, 1, 0, &size))
        return false;
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;  // none: the handles stay null
    startup.lpAttributeList = attributes;
    bool started = false;
    if (UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &read_end,
                                  sizeof read_end, nullptr, nullptr)) {
        const DWORD flags = EXTENDED_STARTUPINFO_PRESENT | DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;
        started = CreateProcessW(path, command, nullptr, nullptr, TRUE,
                                 flags | CREATE_BREAKAWAY_FROM_JOB, nullptr, nullptr,
                                 &startup.StartupInfo, process) ||
                  // A job that does not allow breaking away: the keeper stays in it.
                  CreateProcessW(path, command, nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                                 &startup.StartupInfo, process);
    }
    DeleteProcThreadAttributeList(attributes);
    return started;
}

}  // namespace

bool start_keeper(const char* marker, int pipe_bytes)
{
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inheritable, static_cast<DWORD>(pipe_bytes))) {
        diagnose("starting the keeper failed: CreatePipe: error %lu", GetLastError());
        return false;
    }
    SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0);
    // A keeper that stopped reading must never hold up a reply.
    DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
    SetNamedPipeHandleState(write_end, &mode, nullptr, nullptr);
    PROCESS_INFORMATION process{};
    const bool started = create_keeper(read_end, marker, &process);
    if (!started)
        diagnose("starting the keeper failed: CreateProcessW: error %lu", GetLastError());
    CloseHandle(read_end);
    if (!started) {
        CloseHandle(write_end);
        return false;
    }
    CloseHandle(process.hThread);
    g_keeper = process.hProcess;
    g_to_keeper = write_end;
    return true;
}

bool keeper_running()
{
    if (!g_keeper)
        return false;
    if (WaitForSingleObject(g_keeper, 0) == WAIT_TIMEOUT)
        return true;
    diagnose("the keeper has ended");
    CloseHandle(g_keeper);
    g_keeper = nullptr;
    return false;
}

bool write_to_keeper(const char* bytes, int length)
{
    if (!g_to_keeper)
        return false;
    // A write that does not go through whole is bytes the keeper missed.
    DWORD wrote = 0;
    if (WriteFile(g_to_keeper, bytes, static_cast<DWORD>(length), &wrote, nullptr) &&
        wrote == static_cast<DWORD>(length))
        return true;
    diagnose("telling the keeper failed: error %lu, %lu of %d bytes written", GetLastError(), wrote,
             length);
    return false;
}

void stop_keeper()
{
    // Ended before its pipe closes, so it never acts on what it holds.
    if (g_keeper) {
        TerminateProcess(g_keeper, 1);
        WaitForSingleObject(g_keeper, 5000);
        CloseHandle(g_keeper);
    }
    if (g_to_keeper)
        CloseHandle(g_to_keeper);
    g_keeper = nullptr;
    g_to_keeper = nullptr;
}

void release_keeper()
{
    if (g_to_keeper)
        CloseHandle(g_to_keeper);
    if (g_keeper)
        CloseHandle(g_keeper);
    g_keeper = nullptr;
    g_to_keeper = nullptr;
}

bool keeper_connection_given(int argc, char** argv, const char* marker)
{
    uint32_t value = 0;
    if (argc != 3 || std::strcmp(argv[1], marker) != 0 || !parse_uint32(argv[2], &value))
        return false;
    HANDLE pipe = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
    if (pipe == GetStdHandle(STD_INPUT_HANDLE) || pipe == GetStdHandle(STD_OUTPUT_HANDLE) ||
        pipe == GetStdHandle(STD_ERROR_HANDLE) || GetFileType(pipe) != FILE_TYPE_PIPE)
        return false;
    g_from_controller = pipe;
    return true;
}

// ERROR_BROKEN_PIPE: the program ended, however it ended.
int read_from_controller(char* into, int room)
{
    DWORD got = 0;
    if (!ReadFile(g_from_controller, into, static_cast<DWORD>(room), &got, nullptr))
        return 0;
    return static_cast<int>(got);
}
