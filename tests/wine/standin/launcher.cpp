// Starts a program with pipes for its standard input and output, as a
// Windows controller would, sends it one command line, copies its one reply
// line to our output, then ends it with TerminateProcess: the way Node's
// child.kill(), Python's Popen.kill() and Task Manager end a child.
// usage: launcher.exe PROGRAM.exe COMMAND
#include "piped_child.h"

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    PipedChild program{};
    if (!start_piped(argv[1], &program))
        return 1;
    send_line(program, argv[2]);
    // The reply is copied once the program is ended, so that the test sees
    // the end of our output only after the kill.
    char reply[4096];
    const int got = read_reply(program, reply, static_cast<int>(sizeof reply));
    TerminateProcess(program.process.hProcess, 1);
    WaitForSingleObject(program.process.hProcess, INFINITE);
    write_output(reply, got);
    close_child(program);
    return 0;
}
