// Drives the real command loop through its standard streams: the input is
// put behind stdin, stdout is captured, and both are put back afterwards.
#pragma once

#include "ducking/controller.h"

#include <string>

// The controller the command loop runs on in the tests: one for the test
// process, kept from one run to the next as a program's is for its life,
// and started afresh by each test.
Controller& test_controller();
// A keeper process's life, on a controller of its own, with the records
// the test fed it (sim_feed_keeper).
int run_test_keeper();

struct LoopRun {
    std::string output;  // everything the loop wrote to stdout
    int status;          // what run_command_loop returned
};

LoopRun run_loop(const std::string& input);
