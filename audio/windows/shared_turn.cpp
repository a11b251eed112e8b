// The turn and the table that several controllers of one user in one
// Windows session share: the turn is a mutex of the session's namespace,
// named after the user's SID (another user's process in the session never
// holds ours), which the system hands on (as abandoned) when its holder
// dies; the table is a file in the user's local application data, named
// after the session and replaced whole by a move, so a reader never sees
// half of one.
#include "audio/audio_platform.h"
#include "audio/diagnostics.h"

#include <windows.h>
#include <sddl.h>

#include <cstdio>

namespace {

constexpr int kPathUnits = 1024;

HANDLE g_turn = nullptr;  // the mutex, owned while this process has the turn
wchar_t g_table[kPathUnits];

bool table_path()
{
    wchar_t local[kPathUnits / 2];
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", local, kPathUnits / 2);
    DWORD session = 0;
    if (length == 0 || length >= kPathUnits / 2 ||
        !ProcessIdToSessionId(GetCurrentProcessId(), &session))
        return false;
    _snwprintf(g_table, kPathUnits, L"%ls\\appduck", local);
    g_table[kPathUnits - 1] = 0;
    if (!CreateDirectoryW(g_table, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    _snwprintf(g_table, kPathUnits, L"%ls\\appduck\\holds-%lu", local, session);
    g_table[kPathUnits - 1] = 0;
    return true;
}

// "Local\appduck-holds-" and the user's SID as text.
bool mutex_name(wchar_t* name, int capacity)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    alignas(TOKEN_USER) unsigned char buffer[256];
    DWORD length = 0;
    wchar_t* sid = nullptr;
    const bool named =
        GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid);
    CloseHandle(token);
    if (!named)
        return false;
    const int wrote = _snwprintf(name, static_cast<size_t>(capacity), L"Local\\appduck-holds-%ls", sid);
    LocalFree(sid);
    return wrote > 0 && wrote < capacity;
}

}  // namespace

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

bool take_shared_turn(unsigned wait_ms)
{
    wchar_t name[256];
    if (g_turn || !table_path() || !mutex_name(name, 256))
        return false;
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (!mutex)
        return false;
    const DWORD waited = WaitForSingleObject(mutex, wait_ms);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        diagnose("the shared turn was not had within %u ms", wait_ms);
        CloseHandle(mutex);
        return false;
    }
    g_turn = mutex;
    return true;
}

void give_shared_turn()
{
    if (!g_turn)
        return;
    ReleaseMutex(g_turn);
    CloseHandle(g_turn);
    g_turn = nullptr;
}

bool read_shared_table(char* text, int capacity)
{
    text[0] = 0;
    if (!g_turn)
        return false;
    HANDLE file = CreateFileW(g_table, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    DWORD length = 0;
    char more = 0;
    DWORD extra = 0;
    const bool whole =
        ReadFile(file, text, static_cast<DWORD>(capacity - 1), &length, nullptr) &&
        ReadFile(file, &more, 1, &extra, nullptr) && extra == 0;
    CloseHandle(file);
    text[whole ? length : 0] = 0;
    return whole;
}

bool write_shared_table(const char* text, int length)
{
    wchar_t fresh[kPathUnits + 8];
    if (!g_turn)
        return false;
    _snwprintf(fresh, kPathUnits + 8, L"%ls.new", g_table);
    fresh[kPathUnits + 7] = 0;
    HANDLE file = CreateFileW(fresh, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool whole = WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr) &&
                       written == static_cast<DWORD>(length);
    CloseHandle(file);
    if (!whole || !MoveFileExW(fresh, g_table, MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(fresh);
        return false;
    }
    return true;
}
