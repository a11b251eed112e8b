// appduck's whole life: join the object runtime, answer one JSON line per
// command line on stdin until `quit` or end of input, then shut down.
#pragma once

// One read of a command line: at most 4095 bytes and a NUL. Handlers can
// count on a line holding no more than kLineBuffer - 1 bytes.
constexpr int kLineBuffer = 4096;

// Returns the exit status, always 0.
int run_command_loop();
