// Starts a program with pipes for its standard input and output, as a
// Windows controller would, sends it one command line, copies its one reply
// line to our output, then ends it with TerminateProcess: the way Node's
// child.kill(), Python's Popen.kill() and Task Manager end a child.
// usage: launcher.exe PROGRAM.exe COMMAND
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE child_in = nullptr, to_child = nullptr, from_child = nullptr, child_out = nullptr;
    if (!CreatePipe(&child_in, &to_child, &inheritable, 0) ||
        !CreatePipe(&from_child, &child_out, &inheritable, 0))
        return 1;
    SetHandleInformation(to_child, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(from_child, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = child_in;
    startup.hStdOutput = child_out;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    char command[1024];
    std::snprintf(command, sizeof command, "\"%s\"", argv[1]);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(argv[1], command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process))
        return 1;
    CloseHandle(child_in);
    CloseHandle(child_out);

    char line[1024];
    const int length = std::snprintf(line, sizeof line, "%s\n", argv[2]);
    DWORD moved = 0;
    WriteFile(to_child, line, static_cast<DWORD>(length), &moved, nullptr);
    // One reply line, read byte by byte so nothing after it is taken.
    char reply[1024];
    int got = 0;
    char one = 0;
    while (got < static_cast<int>(sizeof reply) - 1 && ReadFile(from_child, &one, 1, &moved, nullptr) &&
           moved == 1) {
        reply[got++] = one;
        if (one == '\n')
            break;
    }
    reply[got] = 0;
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
    // The reply as it came, CR LF and all.
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), reply, static_cast<DWORD>(got), &moved, nullptr);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(to_child);
    CloseHandle(from_child);
    return 0;
}
