// A command run beside a duck on Linux: spawned with our standard handles
// in our process group (a terminal's Ctrl+C reaches both of us), waited
// for, and handed every stop signal we get.
#include "audio/audio_platform.h"
#include "audio/hold_platform.h"
#include "audio/linux/backend.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

bool start_command(char* const* argv, uint32_t* pid)
{
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0)
        return false;
    // The command starts with the signals as a shell would give them, not
    // with ours.
    sigset_t every;
    sigset_t none;
    sigfillset(&every);
    sigemptyset(&none);
    pid_t started = -1;
    int error = posix_spawnattr_setsigdefault(&attributes, &every) != 0 ||
                        posix_spawnattr_setsigmask(&attributes, &none) != 0 ||
                        posix_spawnattr_setflags(&attributes,
                                                 POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) != 0
                    ? EINVAL
                    : posix_spawnp(&started, argv[0], nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        std::fprintf(stderr, "appduck: %s: %s\n", argv[0], std::strerror(error));
        return false;
    }
    *pid = static_cast<uint32_t>(started);
    return true;
}

bool command_running(uint32_t pid)
{
    // Looked at without reaping it: its status is wait_for_command's.
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

int wait_for_command(uint32_t pid)
{
    int passed = 0;
    for (;;) {
        // Each kind of stop signal is passed on once: one from the
        // terminal reached the command too, and a command that takes a
        // first Ctrl+C gracefully must not get a second from us. One that
        // came before this wait (while a named run served its hold) too.
        const int signal_number = last_stop_signal();
        if (signal_number != 0 && signal_number != passed) {
            kill(static_cast<pid_t>(pid), signal_number);
            passed = signal_number;
        }
        int status = 0;
        const pid_t ended = waitpid(static_cast<pid_t>(pid), &status, 0);
        if (ended == static_cast<pid_t>(pid)) {
            if (WIFEXITED(status))
                return WEXITSTATUS(status);
            if (WIFSIGNALED(status))
                return 128 + WTERMSIG(status);
            continue;
        }
        if (errno != EINTR)
            return 127;
    }
}
