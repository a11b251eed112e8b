// Linux services shared by the Linux platform files.
#pragma once

// SIGINT, SIGTERM and SIGHUP end the input; SIGPIPE is ignored, so that a
// controller that closed our output still gets its applications restored
// when our input ends.
void install_stop_signals();
