// A Windows controller with a voice of its own, for the test of `spare`:
// it starts its voice (a process that writes its id to a file and idles),
// waits for the test's go (a file appearing: the test has put the voice's
// session into the stand-in's world), starts the program with pipes, sends
// each command and copies each reply line to our output, then ends the
// program's input, copies its last reply and ends the voice.
// usage: controller.exe PROGRAM.exe VOICE.exe VOICE_ID_FILE GO_FILE COMMAND...
#include <windows.h>

#include <cstdio>

namespace {

bool start(const char* program, const char* argument, bool piped, HANDLE in, HANDLE out,
           PROCESS_INFORMATION* process)
{
    char command[2048];
    std::snprintf(command, sizeof command, "\"%s\" %s", program, argument);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (piped) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in;
        startup.hStdOutput = out;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    return CreateProcessA(program, command, nullptr, nullptr, piped, 0, nullptr, nullptr,
                          &startup, process);
}

// One reply line, read byte by byte so nothing after it is taken, and
// copied to our output as it came.
void copy_reply(HANDLE from)
{
    char reply[4096];
    int got = 0;
    char one = 0;
    DWORD moved = 0;
    while (got < static_cast<int>(sizeof reply) - 1 && ReadFile(from, &one, 1, &moved, nullptr) &&
           moved == 1) {
        reply[got++] = one;
        if (one == '\n')
            break;
    }
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), reply, static_cast<DWORD>(got), &moved, nullptr);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 6)
        return 2;
    PROCESS_INFORMATION voice{};
    if (!start(argv[2], argv[3], false, nullptr, nullptr, &voice))
        return 1;
    while (GetFileAttributesA(argv[4]) == INVALID_FILE_ATTRIBUTES)
        Sleep(50);

    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE child_in = nullptr, to_child = nullptr, from_child = nullptr, child_out = nullptr;
    if (!CreatePipe(&child_in, &to_child, &inheritable, 0) ||
        !CreatePipe(&from_child, &child_out, &inheritable, 0))
        return 1;
    SetHandleInformation(to_child, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(from_child, HANDLE_FLAG_INHERIT, 0);
    PROCESS_INFORMATION program{};
    if (!start(argv[1], "", true, child_in, child_out, &program))
        return 1;
    CloseHandle(child_in);
    CloseHandle(child_out);
    for (int i = 5; i < argc; ++i) {
        char line[1024];
        const int length = std::snprintf(line, sizeof line, "%s\n", argv[i]);
        DWORD moved = 0;
        WriteFile(to_child, line, static_cast<DWORD>(length), &moved, nullptr);
        copy_reply(from_child);
    }
    CloseHandle(to_child);  // the end of its input: it restores and answers
    copy_reply(from_child);
    WaitForSingleObject(program.hProcess, INFINITE);
    TerminateProcess(voice.hProcess, 0);
    WaitForSingleObject(voice.hProcess, INFINITE);
    const HANDLE handles[] = {program.hProcess, program.hThread, voice.hProcess, voice.hThread,
                              from_child};
    for (HANDLE handle : handles)
        CloseHandle(handle);
    return 0;
}
