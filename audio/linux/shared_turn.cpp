// The turn and the table that several controllers of one sound server
// share, in $XDG_RUNTIME_DIR/appduck: a directory made 0700 and used only
// when it is a real directory of this user's that nobody else can enter.
// The files are named after the server's socket (its device and inode), so
// however a controller spells the address it finds the same ones, and a
// private server never shares with the desktop's. The turn is an flock,
// which the kernel drops when its holder dies; the table is replaced by a
// rename, so a reader never sees half of one.
#include "audio/audio_platform.h"
#include "audio/diagnostics.h"
#include "audio/linux/backend.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kPathBytes = 1024;
constexpr unsigned kTurnPollMs = 2;

int g_turn = -1;  // the locked file while this process has the turn
char g_table[kPathBytes];

bool private_directory(char* directory)
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || runtime[0] != '/' ||
        std::snprintf(directory, kPathBytes / 2, "%s/appduck", runtime) >= kPathBytes / 2)
        return false;
    if (mkdir(directory, 0700) != 0 && errno != EEXIST)
        return false;
    struct stat status;
    if (lstat(directory, &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != getuid() ||
        (status.st_mode & 077) != 0) {
        diagnose("%s is not a directory of this user's alone: nothing is shared", directory);
        return false;
    }
    return true;
}

// The server by its socket's identity; a server not on a local socket by
// its address, with every byte but letters, digits, '.' and '-' made '_'.
// Named before any connection: a server that is not there shares nothing
// anyway, and is not asked twice.
bool server_name(char* name, int capacity)
{
    const char* server = sound_server_address();
    if (std::strncmp(server, "unix:", 5) == 0)
        server += 5;
    struct stat status;
    if (server[0] == '/' && stat(server, &status) == 0)
        return std::snprintf(name, static_cast<size_t>(capacity), "socket-%llu-%llu",
                             static_cast<unsigned long long>(status.st_dev),
                             static_cast<unsigned long long>(status.st_ino)) < capacity;
    int length = std::snprintf(name, static_cast<size_t>(capacity), "server-");
    for (; *server && length < capacity - 1; ++server, ++length) {
        const char c = *server;
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-';
        name[length] = plain ? c : '_';
    }
    name[length] = 0;
    return true;
}

}  // namespace

bool take_shared_turn(unsigned wait_ms)
{
    char directory[kPathBytes / 2];
    char name[kPathBytes / 4];
    char lock[kPathBytes];
    if (g_turn >= 0 || !private_directory(directory) || !server_name(name, sizeof name) ||
        std::snprintf(lock, sizeof lock, "%s/%s.lock", directory, name) >= kPathBytes ||
        std::snprintf(g_table, sizeof g_table, "%s/%s.holds", directory, name) >= kPathBytes)
        return false;
    const int file = open(lock, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (file < 0)
        return false;
    const uint64_t deadline = monotonic_ms() + wait_ms;
    while (flock(file, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || monotonic_ms() >= deadline) {
            diagnose("the shared turn was not had within %u ms", wait_ms);
            close(file);
            return false;
        }
        // The sound server's connection is served meanwhile.
        sleep_until(monotonic_ms() + kTurnPollMs);
    }
    g_turn = file;
    return true;
}

void give_shared_turn()
{
    if (g_turn >= 0)
        close(g_turn);  // drops the lock
    g_turn = -1;
}

bool read_shared_table(char* text, int capacity)
{
    text[0] = 0;
    if (g_turn < 0)
        return false;
    const int file = open(g_table, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (file < 0)
        return errno == ENOENT;
    int length = 0;
    ssize_t got = 1;
    while (got > 0 && length < capacity - 1) {
        got = read(file, text + length, static_cast<size_t>(capacity - 1 - length));
        if (got > 0)
            length += static_cast<int>(got);
    }
    char more = 0;
    const bool whole = got == 0 || (got > 0 && read(file, &more, 1) == 0);
    close(file);
    text[length] = 0;
    return whole;
}

bool write_shared_table(const char* text, int length)
{
    char fresh[kPathBytes + 8];
    if (g_turn < 0 || std::snprintf(fresh, sizeof fresh, "%s.new", g_table) >= static_cast<int>(sizeof fresh))
        return false;
    const int file = open(fresh, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (file < 0)
        return false;
    int written = 0;
    ssize_t wrote = 0;
    while (written < length &&
           (wrote = write(file, text + written, static_cast<size_t>(length - written))) > 0)
        written += static_cast<int>(wrote);
    const bool whole = close(file) == 0 && written == length;
    if (!whole || rename(fresh, g_table) != 0) {
        unlink(fresh);
        return false;
    }
    return true;
}
