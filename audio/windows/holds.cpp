// The holds' channels on Windows: a named pipe per hold,
// \\.\pipe\appduck-<SID>-<session>-hold-NAME, whose DACL admits this user
// alone. The resident makes the first and only instance
// (FILE_FLAG_FIRST_PIPE_INSTANCE), so a second resident of the name finds
// it taken, and serves one client at a time, as on Linux. The pipe is
// non-blocking while the resident waits for a client (its waits poll, so
// that the deadline, the watched process and a stop are seen) and
// blocking while it answers, so that the C runtime's stdout writes to it
// as to any handle. Each resident also keeps a file of its hold's name
// beside the shared table, %LOCALAPPDATA%\appduck\hold-SESSION-NAME, so
// that `status` and `restore --all` find the holds where the pipes cannot
// be listed (Wine lists none); a killed resident's file is dropped by the
// next listing that finds no pipe behind it.
#include "audio/audio_platform.h"
#include "audio/diagnostics.h"
#include "audio/hold_lines.h"
#include "audio/hold_platform.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

struct HoldListener {
    HANDLE pipe;
};

struct HoldLink {
    HANDLE pipe;
    bool served;  // the resident's end: the listener's own pipe
    HoldLineBuffer read;
};

namespace {

constexpr int kNameUnits = 256;
constexpr DWORD kWaitPollMs = 10;
constexpr DWORD kReadPollMs = 2;
constexpr DWORD kProcessCheckMs = 100;

HoldListener g_listener = {INVALID_HANDLE_VALUE};
wchar_t g_name_file[1024];  // the resident's, while it keeps its hold
HoldLink g_links[2] = {{INVALID_HANDLE_VALUE, false, {{}, 0}}, {INVALID_HANDLE_VALUE, false, {{}, 0}}};
int g_saved_output = -1;
HoldLink* g_answering = nullptr;

// The token's user, copied into `sid` (at least SECURITY_MAX_SID_SIZE bytes).
bool user_of(HANDLE process, void* sid)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token))
        return false;
    alignas(TOKEN_USER) unsigned char buffer[256];
    DWORD length = 0;
    const bool read = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length) &&
                      CopySid(SECURITY_MAX_SID_SIZE, sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    CloseHandle(token);
    return read;
}

// The user's SID as text, for LocalFree.
wchar_t* own_sid_text()
{
    alignas(SID) unsigned char sid[SECURITY_MAX_SID_SIZE];
    wchar_t* text = nullptr;
    if (!user_of(GetCurrentProcess(), sid) || !ConvertSidToStringSidW(sid, &text))
        return nullptr;
    return text;
}

bool pipe_name(const char* name, wchar_t* out)
{
    wchar_t* sid = own_sid_text();
    if (!sid)
        return false;
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    const int wrote =
        _snwprintf(out, kNameUnits, L"\\\\.\\pipe\\appduck-%ls-%lu-hold-%hs", sid, session, name);
    LocalFree(sid);
    return wrote > 0 && wrote < kNameUnits;
}

// %LOCALAPPDATA%\appduck\hold-SESSION-<name>, the folder made if missing.
bool name_file(const char* name, wchar_t* path, int units)
{
    wchar_t local[512];
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", local, 512);
    DWORD session = 0;
    if (length == 0 || length >= 512 || !ProcessIdToSessionId(GetCurrentProcessId(), &session))
        return false;
    _snwprintf(path, units, L"%ls\\appduck", local);
    CreateDirectoryW(path, nullptr);
    const int wrote = _snwprintf(path, units, L"%ls\\appduck\\hold-%lu-%hs", local, session, name);
    return wrote > 0 && wrote < units;
}

HoldLink* new_link(HANDLE pipe, bool served)
{
    for (HoldLink& link : g_links) {
        if (link.pipe == INVALID_HANDLE_VALUE) {
            link.pipe = pipe;
            link.served = served;
            link.read.filled = 0;
            return &link;
        }
    }
    if (!served)
        CloseHandle(pipe);
    return nullptr;
}

void set_waiting(HANDLE pipe, bool blocking)
{
    DWORD mode = PIPE_READMODE_BYTE | (blocking ? PIPE_WAIT : PIPE_NOWAIT);
    SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
}

// The server of a pipe we opened runs as this user.
bool server_is_ours(HANDLE pipe)
{
    ULONG pid = 0;
    if (!GetNamedPipeServerProcessId(pipe, &pid))
        return false;
    HANDLE server = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!server)
        return false;
    alignas(SID) unsigned char theirs[SECURITY_MAX_SID_SIZE];
    alignas(SID) unsigned char ours[SECURITY_MAX_SID_SIZE];
    const bool same = user_of(server, theirs) && user_of(GetCurrentProcess(), ours) &&
                      EqualSid(theirs, ours);
    CloseHandle(server);
    return same;
}

}  // namespace

const char* hold_place_missing(const char*)
{
    return nullptr;
}

HoldOpen open_hold_listener(const char* name, HoldListener** listener)
{
    wchar_t pipe_path[kNameUnits];
    wchar_t* sid = own_sid_text();
    if (!sid || !pipe_name(name, pipe_path)) {
        if (sid)
            LocalFree(sid);
        diagnose("naming the hold's pipe failed: error %lu", GetLastError());
        return HoldOpen::kFailed;
    }
    wchar_t rules[kNameUnits];
    _snwprintf(rules, kNameUnits, L"D:P(A;;GA;;;%ls)", sid);
    LocalFree(sid);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(rules, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        diagnose("the hold's pipe's security failed: error %lu", GetLastError());
        return HoldOpen::kFailed;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    const HANDLE pipe = CreateNamedPipeW(pipe_path, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_NOWAIT, 1, 4096,
                                         4096, 0, &attributes);
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    if (pipe == INVALID_HANDLE_VALUE) {
        const bool taken = error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY;
        if (!taken)
            diagnose("CreateNamedPipeW failed: error %lu", error);
        return taken ? HoldOpen::kTaken : HoldOpen::kFailed;
    }
    g_listener.pipe = pipe;
    *listener = &g_listener;
    if (name_file(name, g_name_file, 1024)) {
        const HANDLE file = CreateFileW(g_name_file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        else
            diagnose("the hold's name file could not be made: status will not list it");
    }
    return HoldOpen::kOpened;
}

void close_hold_listener(HoldListener* listener)
{
    if (!listener || listener->pipe == INVALID_HANDLE_VALUE)
        return;
    if (g_name_file[0]) {
        DeleteFileW(g_name_file);
        g_name_file[0] = 0;
    }
    // While a client is answered on it (a restore), the pipe is closed
    // once the answer is out: the link owns it from now on.
    for (HoldLink& link : g_links) {
        if (link.served && link.pipe == listener->pipe) {
            link.served = false;
            listener->pipe = INVALID_HANDLE_VALUE;
            return;
        }
    }
    CloseHandle(listener->pipe);
    listener->pipe = INVALID_HANDLE_VALUE;
}

HoldEvent wait_for_hold_event(HoldListener* listener, uint64_t deadline_ms, uint32_t watched,
                              uint64_t started, HoldLink** link)
{
    uint64_t next_check = 0;
    for (;;) {
        if (input_interrupted())
            return HoldEvent::kStopped;
        const uint64_t now = monotonic_ms();
        if (deadline_ms != 0 && now >= deadline_ms)
            return HoldEvent::kTimeUp;
        if (watched != 0 && now >= next_check) {
            uint64_t now_started = 0;
            if (!process_start_time(watched, &now_started) || now_started != started)
                return HoldEvent::kProcessEnded;
            next_check = now + kProcessCheckMs;
        }
        if (ConnectNamedPipe(listener->pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
            set_waiting(listener->pipe, true);
            *link = new_link(listener->pipe, true);
            if (*link)
                return HoldEvent::kRequest;
        } else if (GetLastError() == ERROR_NO_DATA) {
            DisconnectNamedPipe(listener->pipe);  // a client came and went
        }
        Sleep(kWaitPollMs);
    }
}

HoldReach connect_to_hold(const char* name, HoldLink** link)
{
    wchar_t pipe_path[kNameUnits];
    if (!pipe_name(name, pipe_path))
        return HoldReach::kNone;
    // A resident answering another client has its one instance busy.
    for (int tries = 0; tries < 100; ++tries) {
        const HANDLE pipe = CreateFileW(pipe_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            if (!server_is_ours(pipe)) {
                diagnose("the hold %s answers as another user, or its server cannot be told", name);
                CloseHandle(pipe);
                return HoldReach::kForeign;
            }
            *link = new_link(pipe, false);
            return *link ? HoldReach::kReached : HoldReach::kNone;
        }
        if (GetLastError() != ERROR_PIPE_BUSY)
            return HoldReach::kNone;
        WaitNamedPipeW(pipe_path, 100);
    }
    return HoldReach::kNone;
}

// The resident's standard handles are NUL, passed as its only inherited
// handle: with none at all the C runtime's stdout would not write to the
// pipe it answers on, and an inherited handle of the hook's (its output
// pipe) would keep a hook runner waiting for the resident's end.
bool start_resident(const char* marker, const char* name)
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    wchar_t command[MAX_PATH + kNameUnits];
    _snwprintf(command, MAX_PATH + kNameUnits, L"\"%ls\" %hs %hs", path, marker, name);
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE nothing = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inheritable, OPEN_EXISTING, 0, nullptr);
    if (nothing == INVALID_HANDLE_VALUE)
        return false;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    alignas(16) static unsigned char storage[256];
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage);
    if (size > sizeof storage || !InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
        CloseHandle(nothing);
        return false;
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nothing;
    startup.StartupInfo.hStdOutput = nothing;
    startup.StartupInfo.hStdError = nothing;
    startup.lpAttributeList = attributes;
    PROCESS_INFORMATION process = {};
    bool started = false;
    if (UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &nothing,
                                  sizeof nothing, nullptr, nullptr)) {
        const DWORD flags = EXTENDED_STARTUPINFO_PRESENT | DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;
        started = CreateProcessW(path, command, nullptr, nullptr, TRUE, flags | CREATE_BREAKAWAY_FROM_JOB,
                                 nullptr, nullptr, &startup.StartupInfo, &process) ||
                  // A job that does not allow breaking away: the resident stays in it.
                  CreateProcessW(path, command, nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                                 &startup.StartupInfo, &process);
    }
    DeleteProcThreadAttributeList(attributes);
    CloseHandle(nothing);
    if (!started) {
        diagnose("starting the resident failed: CreateProcessW: error %lu", GetLastError());
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

int hold_names(char (*names)[kMaxHoldName + 1], int capacity)
{
    wchar_t pattern[1024];
    if (!name_file("*", pattern, 1024))
        return 0;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;  // no hold has been kept here
    const wchar_t* star = wcsrchr(pattern, L'*');
    const wchar_t* slash = wcsrchr(pattern, L'\\');
    const size_t prefix = static_cast<size_t>(star - slash - 1);  // "hold-SESSION-"
    int count = 0;
    do {
        const wchar_t* hold = found.cFileName + prefix;
        if (wcslen(found.cFileName) <= prefix || wcslen(hold) > static_cast<size_t>(kMaxHoldName) ||
            count >= capacity)
            continue;
        int i = 0;
        for (; hold[i]; ++i)
            names[count][i] = static_cast<char>(hold[i] < 128 ? hold[i] : '_');
        names[count][i] = 0;
        wchar_t pipe_path[kNameUnits];
        const bool alive = pipe_name(names[count], pipe_path) &&
                           (WaitNamedPipeW(pipe_path, 0) || GetLastError() != ERROR_FILE_NOT_FOUND);
        if (alive) {
            ++count;
        } else {
            wchar_t stale[1024];
            if (name_file(names[count], stale, 1024))
                DeleteFileW(stale);  // a killed resident's
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return count;
}

namespace {

// Polls for bytes within the deadline and appends them.
bool read_more(void* source, HoldLineBuffer& buffer, uint64_t deadline_ms)
{
    const HANDLE pipe = *static_cast<HANDLE*>(source);
    for (;;) {
        if (monotonic_ms() >= deadline_ms)
            return false;
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
            return false;  // the other end is gone
        if (available == 0) {
            Sleep(kReadPollMs);
            continue;
        }
        const DWORD room = static_cast<DWORD>(sizeof buffer.bytes) - static_cast<DWORD>(buffer.filled);
        DWORD got = 0;
        if (!ReadFile(pipe, buffer.bytes + buffer.filled, available < room ? available : room, &got,
                      nullptr) ||
            got == 0)
            return false;
        buffer.filled += static_cast<int>(got);
        return true;
    }
}

}  // namespace

bool read_hold_line(HoldLink* link, char* line, int capacity, uint64_t deadline_ms)
{
    return read_line_from(link->read, line, capacity, deadline_ms, read_more, &link->pipe);
}

bool write_hold_line(HoldLink* link, const char* line)
{
    char bytes[4096 + 2];
    const int length = frame_hold_line(line, bytes, sizeof bytes);
    DWORD wrote = 0;
    return length >= 0 &&
           WriteFile(link->pipe, bytes, static_cast<DWORD>(length), &wrote, nullptr) &&
           wrote == static_cast<DWORD>(length);
}

void answer_on(HoldLink* link)
{
    std::fflush(stdout);
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), link->pipe, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return;
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(copy), _O_TEXT);
    if (descriptor < 0) {
        CloseHandle(copy);
        return;
    }
    g_saved_output = _dup(1);
    _dup2(descriptor, 1);
    _close(descriptor);
    g_answering = link;
}

void close_hold_link(HoldLink* link)
{
    if (!link || link->pipe == INVALID_HANDLE_VALUE)
        return;
    if (g_answering == link) {
        std::fflush(stdout);
        std::clearerr(stdout);
        if (g_saved_output >= 0) {
            _dup2(g_saved_output, 1);
            _close(g_saved_output);
        } else {
            _close(1);
        }
        g_saved_output = -1;
        g_answering = nullptr;
    }
    if (link->served) {
        // The client reads to the end of what was written, then the pipe
        // listens for the next one.
        FlushFileBuffers(link->pipe);
        DisconnectNamedPipe(link->pipe);
        set_waiting(link->pipe, false);
    } else {
        FlushFileBuffers(link->pipe);  // a client waits for the resident's last answer
        CloseHandle(link->pipe);
    }
    link->pipe = INVALID_HANDLE_VALUE;
}
