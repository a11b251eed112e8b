// Drives the real command loop through its standard streams: the input is
// put behind stdin, stdout is captured, and both are put back afterwards.
#pragma once

#include <string>

struct LoopRun {
    std::string output;  // everything the loop wrote to stdout
    int status;          // what run_command_loop returned
};

LoopRun run_loop(const std::string& input);
