#include "command_loop.h"

int main()
{
    return run_command_loop();
}
