// A command run beside a duck on Windows: started with CreateProcessW in
// our console with our standard handles, and waited for. Ctrl+C and the
// console's closing reach it as they reach us: we share the console.
#include "audio/hold_platform.h"

#include <windows.h>

#include <cstdio>

namespace {

HANDLE g_command = nullptr;
wchar_t g_line[32768];  // CreateProcessW's longest command line

// Appends one argument as the C runtime's parser reads it back: quoted
// when it has a space, a tab or a quote (or is empty), a quote escaped,
// and backslashes doubled where a quote follows them.
bool append_argument(const char* argument, int& at)
{
    wchar_t wide[8192];
    if (MultiByteToWideChar(CP_ACP, 0, argument, -1, wide, 8192) <= 0)
        return false;
    bool plain = wide[0] != 0;
    for (const wchar_t* c = wide; *c; ++c)
        plain = plain && *c != L' ' && *c != L'\t' && *c != L'"';
    const int room = static_cast<int>(sizeof g_line / sizeof g_line[0]) - 4;
    auto put = [&](wchar_t c) {
        if (at < room)
            g_line[at++] = c;
    };
    if (at > 0)
        put(L' ');
    if (!plain)
        put(L'"');
    int backslashes = 0;
    for (const wchar_t* c = wide; *c; ++c) {
        if (*c == L'\\') {
            ++backslashes;
            continue;
        }
        const int times = *c == L'"' ? 2 * backslashes + 1 : backslashes;
        for (int i = 0; i < times; ++i)
            put(L'\\');
        backslashes = 0;
        put(*c);
    }
    for (int i = 0; i < (plain ? backslashes : 2 * backslashes); ++i)
        put(L'\\');
    if (!plain)
        put(L'"');
    g_line[at] = 0;
    return at < room;
}

}  // namespace

bool start_command(char* const* argv, uint32_t* pid)
{
    int at = 0;
    for (int i = 0; argv[i]; ++i) {
        if (!append_argument(argv[i], at)) {
            std::fprintf(stderr, "appduck: the command line is too long\n");
            return false;
        }
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, g_line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        std::fprintf(stderr, "appduck: %s: error %lu\n", argv[0], GetLastError());
        return false;
    }
    CloseHandle(process.hThread);
    g_command = process.hProcess;
    *pid = process.dwProcessId;
    return true;
}

bool command_running(uint32_t)
{
    return g_command && WaitForSingleObject(g_command, 0) == WAIT_TIMEOUT;
}

int wait_for_command(uint32_t)
{
    DWORD code = 1;
    if (g_command) {
        WaitForSingleObject(g_command, INFINITE);
        GetExitCodeProcess(g_command, &code);
        CloseHandle(g_command);
        g_command = nullptr;
    }
    return static_cast<int>(code);
}
