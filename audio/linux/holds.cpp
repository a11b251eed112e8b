// The residents' channels on Linux: a socket "<table>-hold-NAME" beside the
// shared table, in its private place, so that a hold belongs to one user
// and one sound server as the table does. A resident keeps a lock on
// "<table>-hold-NAME.lock" for its life: the kernel drops it when the
// resident dies, so a socket left by a killed one is known to be stale.
#include "audio/audio_platform.h"
#include "audio/diagnostics.h"
#include "audio/hold_lines.h"
#include "audio/hold_platform.h"
#include "audio/linux/backend.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

struct HoldListener {
    int socket;
    int lock;
    char path[sizeof(sockaddr_un::sun_path)];
};

struct HoldLink {
    int socket;
    HoldLineBuffer read;  // what was read past the last line given
};

namespace {

constexpr int kPathBytes = 1024;
constexpr unsigned kProcessCheckMs = 100;

HoldListener g_listener = {-1, -1, {}};
// A resident serves one client at a time; a client has one resident.
HoldLink g_links[2] = {{-1, {{}, 0}}, {-1, {{}, 0}}};
int g_null_output = -1;
HoldLink* g_answering = nullptr;

bool socket_path(const char* name, char* path, bool make)
{
    char suffix[kMaxHoldName + 8];
    std::snprintf(suffix, sizeof suffix, "-hold-%s", name);
    char full[kPathBytes];
    if (!path_beside_table(suffix, full, sizeof full, make))
        return false;
    if (std::strlen(full) >= sizeof(sockaddr_un::sun_path)) {
        diagnose("%s is too long a path for a socket: no hold there", full);
        return false;
    }
    std::strcpy(path, full);
    return true;
}

sockaddr_un address_of(const char* path)
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path);
    return address;
}

HoldLink* new_link(int socket)
{
    for (HoldLink& link : g_links) {
        if (link.socket < 0) {
            link.socket = socket;
            link.read.filled = 0;
            return &link;
        }
    }
    close(socket);
    return nullptr;
}

}  // namespace

HoldOpen open_hold_listener(const char* name, HoldListener** listener)
{
    char path[sizeof(sockaddr_un::sun_path)];
    char lock_path[kPathBytes];
    if (!socket_path(name, path, true) ||
        std::snprintf(lock_path, sizeof lock_path, "%s.lock", path) >= kPathBytes)
        return HoldOpen::kFailed;
    const int lock = open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock < 0) {
        diagnose("opening %s failed: %s", lock_path, std::strerror(errno));
        return HoldOpen::kFailed;
    }
    if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
        const bool taken = errno == EWOULDBLOCK;
        if (!taken)
            diagnose("locking %s failed: %s", lock_path, std::strerror(errno));
        close(lock);
        return taken ? HoldOpen::kTaken : HoldOpen::kFailed;
    }
    // The lock is ours: whatever socket is there is a dead resident's.
    if (unlink(path) == 0)
        diagnose("the socket of a resident that died, %s, is replaced", path);
    const int listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = address_of(path);
    if (listening < 0 ||
        bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listening, 8) != 0) {
        diagnose("making the socket %s failed: %s", path, std::strerror(errno));
        if (listening >= 0)
            close(listening);
        close(lock);
        return HoldOpen::kFailed;
    }
    g_listener.socket = listening;
    g_listener.lock = lock;
    std::strcpy(g_listener.path, path);
    *listener = &g_listener;
    return HoldOpen::kOpened;
}

void close_hold_listener(HoldListener* listener)
{
    if (!listener || listener->socket < 0)
        return;
    unlink(listener->path);
    close(listener->socket);
    close(listener->lock);  // the next resident may take the name now
    listener->socket = -1;
    listener->lock = -1;
}

HoldEvent wait_for_hold_event(HoldListener* listener, uint64_t deadline_ms, uint32_t watched,
                              uint64_t started, HoldLink** link)
{
    for (;;) {
        if (input_interrupted())
            return HoldEvent::kStopped;
        const uint64_t now = monotonic_ms();
        if (deadline_ms != 0 && now >= deadline_ms)
            return HoldEvent::kTimeUp;
        uint64_t now_started = 0;
        if (watched != 0 && (!process_start_time(watched, &now_started) || now_started != started))
            return HoldEvent::kProcessEnded;
        uint64_t wait = deadline_ms != 0 ? deadline_ms - now : 60000;
        if (watched != 0 && wait > kProcessCheckMs)
            wait = kProcessCheckMs;
        pollfd waiting = {listener->socket, POLLIN, 0};
        if (poll(&waiting, 1, static_cast<int>(wait)) <= 0 || !(waiting.revents & POLLIN))
            continue;  // a signal, or the time to look again
        const int accepted = accept4(listener->socket, nullptr, nullptr, SOCK_CLOEXEC);
        if (accepted < 0)
            continue;
        // Only this user's processes reach the private place; a peer of
        // another user is refused all the same.
        ucred peer = {};
        socklen_t length = sizeof peer;
        if (getsockopt(accepted, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
            peer.uid != getuid()) {
            diagnose("a connection to the hold from user %u refused", peer.uid);
            close(accepted);
            continue;
        }
        *link = new_link(accepted);
        if (*link)
            return HoldEvent::kRequest;
    }
}

HoldReach connect_to_hold(const char* name, HoldLink** link)
{
    char path[sizeof(sockaddr_un::sun_path)];
    if (!socket_path(name, path, false))
        return HoldReach::kNone;
    const int connecting = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = address_of(path);
    if (connecting < 0)
        return HoldReach::kNone;
    if (connect(connecting, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(connecting);
        return HoldReach::kNone;
    }
    // A listener of another user's is no resident of ours, whoever made
    // the socket: nothing is said to it.
    ucred peer = {};
    socklen_t length = sizeof peer;
    if (getsockopt(connecting, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
        peer.uid != getuid()) {
        diagnose("the hold %s answers as user %u", name, peer.uid);
        close(connecting);
        return HoldReach::kForeign;
    }
    *link = new_link(connecting);
    return *link ? HoldReach::kReached : HoldReach::kNone;
}

const char* hold_place_missing(const char* name)
{
    static char why[kPathBytes];
    const char* server = sound_server_address();
    struct stat status;
    if (std::strncmp(server, "unix:", 5) == 0 && stat(server + 5, &status) != 0) {
        std::snprintf(why, sizeof why, "no sound server at %s", server);
        return why;
    }
    char path[sizeof(sockaddr_un::sun_path)];
    if (!socket_path(name, path, true))
        return "no private place for the shared table and its holds (APPDUCK_DEBUG=1 says why)";
    return nullptr;
}

bool start_resident(const char* marker, const char* name)
{
    // Under APPDUCK_DEBUG the resident says why on our standard error, but
    // only into a file: a pipe there would keep a hook runner that reads it
    // to its end waiting for the resident's.
    const char* debug = std::getenv("APPDUCK_DEBUG");
    struct stat errors;
    const bool keep_errors = debug && *debug && std::strcmp(debug, "0") != 0 &&
                             fstat(STDERR_FILENO, &errors) == 0 && S_ISREG(errors.st_mode);
    char program[] = "appduck";
    char* arguments[] = {program, const_cast<char*>(marker), const_cast<char*>(name), nullptr};
    pid_t pid = -1;
    const int error = spawn_detached(arguments, -1, -1, keep_errors, &pid);
    if (error != 0)
        diagnose("starting the resident failed: %s", std::strerror(error));
    return error == 0;
}

int hold_names(char (*names)[kMaxHoldName + 1], int capacity)
{
    char prefix_path[kPathBytes];
    if (!path_beside_table("-hold-", prefix_path, sizeof prefix_path, false))
        return 0;
    char* slash = std::strrchr(prefix_path, '/');
    if (!slash)
        return 0;
    *slash = 0;
    const char* prefix = slash + 1;
    const size_t prefix_length = std::strlen(prefix);
    DIR* directory = opendir(prefix_path);
    if (!directory)
        return 0;
    int count = 0;
    while (const dirent* entry = readdir(directory)) {
        const char* name = entry->d_name;
        const size_t length = std::strlen(name);
        if (count >= capacity || length <= prefix_length ||
            std::strncmp(name, prefix, prefix_length) != 0 || entry->d_type != DT_SOCK ||
            length - prefix_length > static_cast<size_t>(kMaxHoldName))
            continue;
        std::strcpy(names[count++], name + prefix_length);
    }
    closedir(directory);
    return count;
}

namespace {

// Waits for bytes within the deadline and appends them.
bool read_more(void* source, HoldLineBuffer& buffer, uint64_t deadline_ms)
{
    const int socket = *static_cast<int*>(source);
    for (;;) {
        const uint64_t now = monotonic_ms();
        if (now >= deadline_ms)
            return false;
        pollfd waiting = {socket, POLLIN, 0};
        const int ready = poll(&waiting, 1, static_cast<int>(deadline_ms - now));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t got = read(socket, buffer.bytes + buffer.filled,
                                 sizeof buffer.bytes - static_cast<size_t>(buffer.filled));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        buffer.filled += static_cast<int>(got);
        return true;
    }
}

}  // namespace

bool read_hold_line(HoldLink* link, char* line, int capacity, uint64_t deadline_ms)
{
    return read_line_from(link->read, line, capacity, deadline_ms, read_more, &link->socket);
}

bool write_hold_line(HoldLink* link, const char* line)
{
    char bytes[4096 + 2];
    const int length = frame_hold_line(line, bytes, sizeof bytes);
    if (length < 0)
        return false;
    for (int sent = 0; sent < length;) {
        const ssize_t wrote = send(link->socket, bytes + sent, static_cast<size_t>(length - sent),
                                   MSG_NOSIGNAL);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        sent += static_cast<int>(wrote);
    }
    return true;
}

void answer_on(HoldLink* link)
{
    std::fflush(stdout);
    if (g_null_output < 0)
        g_null_output = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (dup2(link->socket, STDOUT_FILENO) >= 0)
        g_answering = link;
}

void close_hold_link(HoldLink* link)
{
    if (!link || link->socket < 0)
        return;
    if (g_answering == link) {
        std::fflush(stdout);
        // A client gone meanwhile leaves an error behind: the next reply
        // must not carry it.
        std::clearerr(stdout);
        dup2(g_null_output, STDOUT_FILENO);
        g_answering = nullptr;
    }
    close(link->socket);
    link->socket = -1;
}
