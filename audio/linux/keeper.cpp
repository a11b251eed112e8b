// The keeper on Linux: this same executable (/proc/self/exe), spawned with
// posix_spawn rather than forked, since a fork after libpulse has connected
// would share its socket and state. It gets /dev/null for its standard
// descriptors, the read end of a pipe as descriptor 3 and nothing else, a
// session of its own (a signal to the controller's process group does not
// reach it), and the marker it is given as its argument.
#include "audio/audio_platform.h"
#include "audio/diagnostics.h"
#include "audio/linux/backend.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr int kKeeperDescriptor = 3;

pid_t g_keeper = -1;
int g_to_keeper = -1;
bool g_is_keeper = false;

// The descriptor moved above the keeper's own number (closed on exec);
// -1 when it could not be moved.
int lift_descriptor(int descriptor)
{
    if (descriptor > kKeeperDescriptor || descriptor < 0)
        return descriptor;
    const int moved = fcntl(descriptor, F_DUPFD_CLOEXEC, kKeeperDescriptor + 1);
    close(descriptor);
    return moved;
}

// Returns 0 or the error that kept the keeper from starting.
int spawn_keeper(int read_end, const char* marker, pid_t* pid)
{
    char name[] = "appduck";
    char* arguments[] = {name, const_cast<char*>(marker), nullptr};
    return spawn_detached(arguments, read_end, kKeeperDescriptor, false, pid);
}

}  // namespace

bool start_keeper(const char* marker, int pipe_bytes)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        diagnose("starting the keeper failed: pipe2: %s", std::strerror(errno));
        return false;
    }
    // Both ends go above the keeper's descriptor: dup2 onto itself would
    // keep close-on-exec, and started with some of descriptors 0 to 2
    // closed, pipe2 hands those out, where the keeper's /dev/null would
    // replace its pipe and our replies would go into it.
    ends[0] = lift_descriptor(ends[0]);
    ends[1] = lift_descriptor(ends[1]);
    if (ends[1] < 0) {
        diagnose("starting the keeper failed: fcntl: %s", std::strerror(errno));
        if (ends[0] >= 0)
            close(ends[0]);
        return false;
    }
    pid_t pid = -1;
    const int error = ends[0] >= 0 ? spawn_keeper(ends[0], marker, &pid) : errno;
    const bool started = error == 0;
    if (!started)
        diagnose("starting the keeper failed: %s", std::strerror(error));
    if (ends[0] >= 0)
        close(ends[0]);
    if (!started) {
        close(ends[1]);
        return false;
    }
    fcntl(ends[1], F_SETPIPE_SZ, pipe_bytes);  // a smaller pipe still works
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    g_keeper = pid;
    g_to_keeper = ends[1];
    return true;
}

bool keeper_running()
{
    if (g_keeper <= 0)
        return false;
    pid_t ended;
    do {
        ended = waitpid(g_keeper, nullptr, WNOHANG);
    } while (ended < 0 && errno == EINTR);
    if (ended == 0)
        return true;
    diagnose("the keeper (process %d) has ended", static_cast<int>(g_keeper));
    g_keeper = -1;  // reaped: no zombie, and no kill of a reused pid later
    return false;
}

bool write_to_keeper(const char* bytes, int length)
{
    // A pipe takes a write of up to PIPE_BUF bytes at once or not at all.
    if (g_to_keeper < 0 || length > PIPE_BUF)
        return false;
    ssize_t wrote;
    do {
        wrote = write(g_to_keeper, bytes, static_cast<size_t>(length));
    } while (wrote < 0 && errno == EINTR);
    if (wrote == length)
        return true;
    diagnose("telling the keeper failed: %s", wrote < 0 ? std::strerror(errno) : "a short write");
    return false;
}

void stop_keeper()
{
    // Killed before its pipe closes, so it never acts on what it holds.
    if (g_keeper > 0) {
        kill(g_keeper, SIGKILL);
        while (waitpid(g_keeper, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    if (g_to_keeper >= 0)
        close(g_to_keeper);
    g_keeper = -1;
    g_to_keeper = -1;
}

void release_keeper()
{
    // The keeper lives on without us; when we exit first it is the init
    // process's to reap.
    if (g_to_keeper >= 0)
        close(g_to_keeper);
    g_keeper = -1;
    g_to_keeper = -1;
}

int spawn_detached(char* const* arguments, int descriptor, int as, bool keep_errors, pid_t* pid)
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return ENOMEM;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return ENOMEM;
    }
    sigset_t every;
    sigset_t none;
    sigfillset(&every);
    sigemptyset(&none);
    const bool prepared =
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0) == 0 &&
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0) == 0 &&
        (keep_errors ||
         posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0) == 0) &&
        (descriptor < 0 || posix_spawn_file_actions_adddup2(&actions, descriptor, as) == 0) &&
        posix_spawn_file_actions_addclosefrom_np(&actions,
                                                 descriptor < 0 ? STDERR_FILENO + 1 : as + 1) == 0 &&
        posix_spawnattr_setsigdefault(&attributes, &every) == 0 &&
        posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF |
                                                  POSIX_SPAWN_SETSIGMASK) == 0;
    const int error = prepared ? posix_spawn(pid, "/proc/self/exe", &actions, &attributes,
                                             const_cast<char* const*>(arguments), environ)
                               : EINVAL;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return error;
}

bool keeper_connection_given(int argc, char** argv, const char* marker)
{
    if (argc != 2 || std::strcmp(argv[1], marker) != 0)
        return false;
    struct stat pipe_status;
    if (fstat(kKeeperDescriptor, &pipe_status) != 0 || !S_ISFIFO(pipe_status.st_mode) ||
        (fcntl(kKeeperDescriptor, F_GETFL) & O_ACCMODE) != O_RDONLY)
        return false;
    fcntl(kKeeperDescriptor, F_SETFD, FD_CLOEXEC);
    // The keeper ends when its pipe does, not when someone asks it to.
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    g_is_keeper = true;
    return true;
}

bool running_as_keeper()
{
    return g_is_keeper;
}

int read_from_controller(char* into, int room)
{
    ssize_t got;
    do {
        got = read(kKeeperDescriptor, into, static_cast<size_t>(room));
    } while (got < 0 && errno == EINTR);
    return static_cast<int>(got);
}
