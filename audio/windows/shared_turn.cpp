// The turn and the table that several controllers of one user in one
// Windows session share. The turn is a mutex of the session's namespace,
// named after the user's SID (another user's process in the session never
// holds ours), which the system hands on (as abandoned) when its holder
// dies; a mutex does not tell who holds it, so the holder writes its
// process id into a small shared section beside it. The table is a file in
// the user's local application data, named after the session, made whole
// at its full size (table_file.h) and written in place from then on.
#include "audio/audio_platform.h"
#include "audio/diagnostics.h"
#include "audio/table_file.h"

#include <windows.h>
#include <sddl.h>

#include <cstdio>

namespace {

constexpr int kPathUnits = 1024;
constexpr int kNameUnits = 256;

HANDLE g_turn = nullptr;    // the mutex, owned while this process has the turn
HANDLE g_holder = nullptr;  // the section naming the holder, during our turn
HANDLE g_io = INVALID_HANDLE_VALUE;  // the file table_file.h reads and writes through

// "Local\<prefix>" and the user's SID as text.
bool session_name(const wchar_t* prefix, wchar_t* name)
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
    const int wrote = _snwprintf(name, kNameUnits, L"Local\\%ls%ls", prefix, sid);
    LocalFree(sid);
    return wrote > 0 && wrote < kNameUnits;
}

// The section that names the holder: one process id. It lives while a
// handle to it is open: the holder keeps one for its whole turn.
HANDLE open_holder_section()
{
    wchar_t name[kNameUnits];
    if (!session_name(L"appduck-holder-", name))
        return nullptr;
    return CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG), name);
}

LONG exchange_holder(HANDLE section, LONG pid, bool write)
{
    void* view = section ? MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(LONG)) : nullptr;
    if (!view)
        return 0;
    volatile LONG* record = static_cast<volatile LONG*>(view);
    const LONG read = write ? InterlockedExchange(record, pid) : InterlockedCompareExchange(record, 0, 0);
    UnmapViewOfFile(view);
    return read;
}

DWORD read_holder()
{
    HANDLE section = open_holder_section();
    const LONG pid = exchange_holder(section, 0, false);
    if (section)
        CloseHandle(section);
    return static_cast<DWORD>(pid);
}

bool table_path(wchar_t* path)
{
    wchar_t local[kPathUnits / 2];
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", local, kPathUnits / 2);
    DWORD session = 0;
    if (length == 0 || length >= kPathUnits / 2 ||
        !ProcessIdToSessionId(GetCurrentProcessId(), &session))
        return false;
    _snwprintf(path, kPathUnits, L"%ls\\appduck", local);
    path[kPathUnits - 1] = 0;
    if (!CreateDirectoryW(path, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    _snwprintf(path, kPathUnits, L"%ls\\appduck\\table-%lu", local, session);
    path[kPathUnits - 1] = 0;
    return true;
}

// Makes the table whole or not at all: zeros written under a fresh name,
// flushed, then moved under its own, never over one there (another
// controller may have made it meanwhile).
bool make_table_whole(const wchar_t* path)
{
    wchar_t fresh[kPathUnits + 16];
    _snwprintf(fresh, kPathUnits + 16, L"%ls.%lu", path, GetCurrentProcessId());
    fresh[kPathUnits + 15] = 0;
    HANDLE file = CreateFileW(fresh, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        diagnose("making the shared table failed: error %lu", GetLastError());
        return false;
    }
    static char zeros[64 * 1024];  // zeros, and no room in the program file
    bool whole = true;
    for (int done = 0; whole && done < kTableFileBytes; done += static_cast<int>(sizeof zeros)) {
        DWORD wrote = 0;
        whole = WriteFile(file, zeros, sizeof zeros, &wrote, nullptr) && wrote == sizeof zeros;
    }
    whole = whole && FlushFileBuffers(file);
    CloseHandle(file);
    if (whole && !MoveFileExW(fresh, path, MOVEFILE_WRITE_THROUGH) &&
        GetLastError() != ERROR_ALREADY_EXISTS)
        whole = false;
    if (!whole)
        diagnose("making the shared table failed: error %lu", GetLastError());
    DeleteFileW(fresh);
    return whole;
}

HANDLE open_table(DWORD access, bool make)
{
    wchar_t path[kPathUnits];
    if (!table_path(path))
        return INVALID_HANDLE_VALUE;
    const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE file = CreateFileW(path, access, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
        if (!make)
            return INVALID_HANDLE_VALUE;  // none made yet: nothing to say
        if (make_table_whole(path))
            file = CreateFileW(path, access, sharing, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    LARGE_INTEGER size{};
    if (file != INVALID_HANDLE_VALUE &&
        (!GetFileSizeEx(file, &size) || size.QuadPart != kTableFileBytes)) {
        diagnose("the shared table has the wrong size: not shared");
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    if (file == INVALID_HANDLE_VALUE)
        diagnose("opening the shared table failed: error %lu", GetLastError());
    return file;
}

bool read_at(uint64_t offset, char* into, int length)
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    return ReadFile(g_io, into, static_cast<DWORD>(length), &got, &at) &&
           got == static_cast<DWORD>(length);
}

bool write_at(uint64_t offset, const char* bytes, int length)
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD wrote = 0;
    if (WriteFile(g_io, bytes, static_cast<DWORD>(length), &wrote, &at) &&
        wrote == static_cast<DWORD>(length))
        return true;
    diagnose("writing the shared table failed: error %lu", GetLastError());
    return false;
}

const TableFile kTableFile = {read_at, write_at};

}  // namespace

TurnLock try_shared_turn(bool make, uint32_t* holder)
{
    *holder = 0;
    wchar_t name[kNameUnits];
    if (g_turn || !session_name(L"appduck-holds-", name)) {
        diagnose("naming the shared turn failed: error %lu", GetLastError());
        return TurnLock::kBroken;
    }
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (!mutex) {
        diagnose("CreateMutexW failed: error %lu", GetLastError());
        return TurnLock::kBroken;
    }
    const DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited == WAIT_TIMEOUT) {
        *holder = read_holder();
        CloseHandle(mutex);
        return TurnLock::kBusy;
    }
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        diagnose("waiting for the shared turn failed: error %lu", GetLastError());
        CloseHandle(mutex);
        return TurnLock::kBroken;
    }
    g_io = open_table(GENERIC_READ | GENERIC_WRITE, make);
    if (g_io == INVALID_HANDLE_VALUE) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
        return TurnLock::kBroken;
    }
    g_turn = mutex;
    g_holder = open_holder_section();
    exchange_holder(g_holder, static_cast<LONG>(GetCurrentProcessId()), true);
    return TurnLock::kTaken;
}

void give_shared_turn()
{
    if (!g_turn)
        return;
    exchange_holder(g_holder, 0, true);
    if (g_holder)
        CloseHandle(g_holder);
    g_holder = nullptr;
    CloseHandle(g_io);
    g_io = INVALID_HANDLE_VALUE;
    ReleaseMutex(g_turn);
    CloseHandle(g_turn);
    g_turn = nullptr;
}

namespace {

// Within the turn, the file it opened; without it, one of its own.
bool open_io(DWORD access)
{
    if (!g_turn)
        g_io = open_table(access, false);
    return g_io != INVALID_HANDLE_VALUE;
}

void close_io()
{
    if (!g_turn && g_io != INVALID_HANDLE_VALUE) {
        CloseHandle(g_io);
        g_io = INVALID_HANDLE_VALUE;
    }
}

}  // namespace

TableRead read_shared_table(char* text, int capacity, uint64_t* generation)
{
    text[0] = 0;
    *generation = 0;
    if (!open_io(GENERIC_READ))
        return TableRead::kFailed;
    const TableRead read = read_table_file(kTableFile, text, capacity, generation);
    close_io();
    return read;
}

bool shared_table_generation(uint64_t* generation)
{
    if (!open_io(GENERIC_READ))
        return false;
    const bool told = table_file_generation(kTableFile, generation);
    close_io();
    return told;
}

bool write_shared_table(const char* text, int length)
{
    if (!open_io(GENERIC_READ | GENERIC_WRITE))
        return false;
    const bool written = write_table_file(kTableFile, text, length);
    close_io();
    return written;
}
