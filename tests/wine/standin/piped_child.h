// A child program with pipes for its standard input and output, as a
// Windows controller starts one: for the test helpers that play one.
#pragma once

#include <windows.h>

#include <cstdio>

struct PipedChild {
    PROCESS_INFORMATION process;
    HANDLE to_child;    // its standard input
    HANDLE from_child;  // its standard output
};

// Starts the program without arguments; false when it could not be.
inline bool start_piped(const char* program, PipedChild* child)
{
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE child_in = nullptr, child_out = nullptr;
    if (!CreatePipe(&child_in, &child->to_child, &inheritable, 0) ||
        !CreatePipe(&child->from_child, &child_out, &inheritable, 0))
        return false;
    SetHandleInformation(child->to_child, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(child->from_child, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = child_in;
    startup.hStdOutput = child_out;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    char command[1024];
    std::snprintf(command, sizeof command, "\"%s\"", program);
    child->process = {};
    const bool started = CreateProcessA(program, command, nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &child->process);
    CloseHandle(child_in);
    CloseHandle(child_out);
    return started;
}

// Sends one line (a line feed is added).
inline void send_line(const PipedChild& child, const char* text)
{
    char line[1024];
    const int length = std::snprintf(line, sizeof line, "%s\n", text);
    DWORD moved = 0;
    WriteFile(child.to_child, line, static_cast<DWORD>(length), &moved, nullptr);
}

// One reply line, read byte by byte so nothing after it is taken, CR LF
// and all; returns its length.
inline int read_reply(const PipedChild& child, char* reply, int size)
{
    int got = 0;
    char one = 0;
    DWORD moved = 0;
    while (got < size - 1 && ReadFile(child.from_child, &one, 1, &moved, nullptr) && moved == 1) {
        reply[got++] = one;
        if (one == '\n')
            break;
    }
    return got;
}

inline void write_output(const char* text, int length)
{
    DWORD moved = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(length), &moved, nullptr);
}

// One reply line copied to our output as it came.
inline void copy_reply(const PipedChild& child)
{
    char reply[4096];
    write_output(reply, read_reply(child, reply, static_cast<int>(sizeof reply)));
}

inline void close_child(PipedChild& child)
{
    const HANDLE handles[] = {child.process.hProcess, child.process.hThread, child.to_child,
                              child.from_child};
    for (HANDLE handle : handles) {
        if (handle)
            CloseHandle(handle);
    }
}
