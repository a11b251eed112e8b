#include "audio/audio_platform.h"
#include "command_line.h"
#include "command_loop.h"
#include "ducking/controller.h"
#include "hook_arguments.h"
#include "hook_forms.h"
#include "resident.h"

// The keeper, started by this program with a pipe of its own, and a
// hold's resident are told apart by their markers; a controller gives no
// argument at all, a hook one of the command-line forms.
int main(int argc, char** argv)
{
    // The program's one controller (its keeper process has one of its own).
    static Controller controller;
    start_controller(controller);
    if (started_as_keeper(argc, argv))
        return run_keeper(controller);
    if (started_as_resident(argc, argv))
        return run_resident(controller, argv[2]);
    if (is_hook_form(argc, argv))
        return run_hook_form(controller, read_hook_arguments(argc, argv));
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
