// A Windows controller with a voice of its own, for the test of `spare`:
// it starts its voice (a process that writes its id to a file and idles),
// waits for the test's go (a file appearing: the test has put the voice's
// session into the stand-in's world), starts the program with pipes, sends
// each command and copies each reply line to our output, then ends the
// program's input, copies its last reply and ends the voice.
// usage: controller.exe PROGRAM.exe VOICE.exe VOICE_ID_FILE GO_FILE COMMAND...
#include "piped_child.h"

int main(int argc, char** argv)
{
    if (argc < 6)
        return 2;
    char command[2048];
    std::snprintf(command, sizeof command, "\"%s\" %s", argv[2], argv[3]);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION voice{};
    if (!CreateProcessA(argv[2], command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &voice))
        return 1;
    while (GetFileAttributesA(argv[4]) == INVALID_FILE_ATTRIBUTES)
        Sleep(50);

    PipedChild program{};
    if (!start_piped(argv[1], &program))
        return 1;
    for (int i = 5; i < argc; ++i) {
        send_line(program, argv[i]);
        copy_reply(program);
    }
    CloseHandle(program.to_child);  // the end of its input: it restores and answers
    program.to_child = nullptr;
    copy_reply(program);
    WaitForSingleObject(program.process.hProcess, INFINITE);
    close_child(program);
    TerminateProcess(voice.hProcess, 0);
    WaitForSingleObject(voice.hProcess, INFINITE);
    CloseHandle(voice.hProcess);
    CloseHandle(voice.hThread);
    return 0;
}
