#include "audio/audio_platform.h"
#include "command_loop.h"
#include "ducking/keeper.h"

// The command line is not the program's: only the keeper, started by this
// program with a pipe of its own, is told apart by it.
int main(int argc, char** argv)
{
    if (started_as_keeper(argc, argv))
        return run_keeper();
    return run_command_loop();
}
