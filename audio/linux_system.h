// Linux services shared by the Linux platform files.
#pragma once

// SIGINT, SIGTERM and SIGHUP end the input; SIGPIPE is ignored, so that a
// controller that closed our output still gets its applications restored
// when our input ends.
void install_stop_signals();

// The next process snapshot reads /proc afresh: called as a rebuild of the
// session table begins.
void forget_process_ids();
