// Linux services shared by the Linux platform files.
#pragma once

// SIGINT, SIGQUIT, SIGTERM and SIGHUP end the input; SIGPIPE is ignored, so
// that a controller that closed our output still gets its applications
// restored when our input ends.
void install_stop_signals();
// The keeper, restoring, takes SIGTERM as a request to stop after one last
// attempt (input_interrupted); until then it ignores every stop signal.
void install_keeper_stop_signal();

// The next process snapshot reads /proc afresh: called as a rebuild of the
// session table begins.
void forget_process_ids();

// CLOCK_MONOTONIC in microseconds: the backend's one clock.
long long monotonic_us();

// Runs the sound server's connection until the deadline (monotonic_us), so volume sets go out and their answers come in while we
// wait; returns early when there is no connection to run.
void serve_sound_server(long long until_us);

// This process is the keeper: stop signals stay ignored.
bool running_as_keeper();
