// appduck's whole life: join the object runtime, answer one JSON line per
// command line on stdin until `quit` or end of input, then shut down.
#pragma once

#include "ducking/controller.h"

// The longest command line with its terminator: the loop reads at most
// kLineBuffer - 1 bytes at once, so no handler is given more.
constexpr int kLineBuffer = 4096;

// One command line, without its line ending, answered as the loop answers
// it; false for `quit`, which is not answered (the loop's end is).
bool run_command_line(Controller& controller, const char* line);

// Returns the exit status, always 0. The controller is the program's state
// for its whole life.
int run_command_loop(Controller& controller);
