// appduck's whole life: join the object runtime, answer one JSON line per
// command line on stdin until `quit` or end of input, then shut down.
#pragma once

// Returns the exit status, always 0.
int run_command_loop();
