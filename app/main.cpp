#include "audio/audio_platform.h"
#include "command_line.h"
#include "command_loop.h"
#include "ducking/controller.h"

// The keeper, started by this program with a pipe of its own, is told
// apart by its marker; a controller gives no argument at all.
int main(int argc, char** argv)
{
    // The program's one controller (its keeper process has one of its own).
    static Controller controller;
    start_controller(controller);
    if (started_as_keeper(argc, argv))
        return run_keeper(controller);
    switch (read_arguments(argc, argv)) {
    case Invocation::kVersion:
        print_version();
        return 0;
    case Invocation::kHelp:
        print_usage(true);
        return 0;
    case Invocation::kMistake:
        print_usage(false);
        return 2;
    case Invocation::kRun:
        break;
    }
    return run_command_loop(controller);
}
