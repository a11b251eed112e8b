// The Linux backend's clock, the signals that end the input, and the
// platform's start.
#include "audio/audio_platform.h"
#include "audio/linux/backend.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t g_stop_requested = 0;
volatile sig_atomic_t g_last_signal = 0;
int g_null_input = -1;
int g_blocking_output_flags = -1;  // a pipe or socket on standard output

// Runs on whatever the thread was doing; only async-signal-safe calls. The
// pending read returns early (no SA_RESTART) and every later read finds the
// end of input, so the command thread winds down by itself.
void on_stop_signal(int number)
{
    g_stop_requested = 1;
    g_last_signal = number;
    if (g_null_input >= 0)
        dup2(g_null_input, STDIN_FILENO);
    // A controller that stopped reading must not hold up the restore or
    // the exit: a reply that finds the pipe full from now on is dropped.
    if (g_blocking_output_flags >= 0)
        fcntl(STDOUT_FILENO, F_SETFL, g_blocking_output_flags | O_NONBLOCK);
}

// SIGINT, SIGQUIT, SIGTERM and SIGHUP end the input; SIGPIPE is ignored, so
// that a controller that closed our output still gets its applications
// restored when our input ends.
void install_stop_signals()
{
    g_null_input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    // Only a pipe or a socket is ours alone to make non-blocking: a
    // terminal's flags are shared with the shell that outlives us.
    struct stat output;
    if (fstat(STDOUT_FILENO, &output) == 0 && (S_ISFIFO(output.st_mode) || S_ISSOCK(output.st_mode)))
        g_blocking_output_flags = fcntl(STDOUT_FILENO, F_GETFL);
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGQUIT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// The keeper, restoring, takes SIGTERM as a request to stop after one last
// attempt (input_interrupted); until then it ignores every stop signal.
void install_keeper_stop_signal()
{
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

long long monotonic_us()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// On Linux there is no object runtime to join: this is the platform's start.
// The sound server is first asked at the first command.
void join_object_runtime()
{
    if (running_as_keeper())
        install_keeper_stop_signal();
    else
        install_stop_signals();
}

bool input_interrupted()
{
    return g_stop_requested != 0;
}

int last_stop_signal()
{
    return g_last_signal;
}

uint64_t monotonic_ms()
{
    return static_cast<uint64_t>(monotonic_us() / 1000);
}
