// The turn and the table that several controllers of one sound server
// share, in a private directory of this user's. The places, in order:
// $XDG_RUNTIME_DIR/appduck; /run/user/UID/appduck, where the system keeps
// the user's runtime directory (a root shell, sudo or ssh without a login
// manager finds the desktop's there); ${TMPDIR:-/tmp}/appduck-UID, made
// 0700 and checked as terminal multiplexers check theirs. A place is used
// only while it is a real directory of this user's that nobody else can
// enter. The first place that holds the server's table is the one; where
// none does yet, the first where the table can be made.
//
// The table is named after the server's socket (its device and inode), so
// however a controller spells the address it finds the same one, and a
// private server never shares with the desktop's. It is made whole at its
// full size (table_file.h) and written in place from then on. The turn is
// a POSIX record lock on it, which the kernel drops when its holder dies
// and which names its holder.
#include "audio/audio_platform.h"
#include "audio/diagnostics.h"
#include "audio/linux/backend.h"
#include "audio/table_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kPathBytes = 1024;

int g_turn = -1;  // the locked table while this process has the turn
int g_io = -1;    // the file table_file.h reads and writes through

// The server by its socket's identity; a server not on a local socket by
// its address, with every byte but letters, digits, '.' and '-' made '_'.
// Named before any connection, which is not asked twice; a local socket
// that is not there is no server to share.
bool server_name(char* name, int capacity)
{
    const char* server = sound_server_address();
    if (std::strncmp(server, "unix:", 5) == 0)
        server += 5;
    struct stat status;
    if (server[0] == '/') {
        if (stat(server, &status) != 0)
            return false;
        std::snprintf(name, static_cast<size_t>(capacity), "socket-%llu-%llu.table",
                      static_cast<unsigned long long>(status.st_dev),
                      static_cast<unsigned long long>(status.st_ino));
        return true;
    }
    int length = std::snprintf(name, static_cast<size_t>(capacity), "server-");
    for (; *server && length < capacity - 7; ++server, ++length) {
        const char c = *server;
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-';
        name[length] = plain ? c : '_';
    }
    std::snprintf(name + length, static_cast<size_t>(capacity - length), ".table");
    return true;
}

// The place's directory, when it is one this user alone can enter; made
// (0700) when `make` and missing.
bool private_place(const char* directory, bool make)
{
    struct stat status;
    if (lstat(directory, &status) != 0) {
        if (errno != ENOENT || !make)
            return false;
        if (mkdir(directory, 0700) != 0 && errno != EEXIST) {
            diagnose("making %s failed: %s", directory, std::strerror(errno));
            return false;
        }
        if (lstat(directory, &status) != 0)
            return false;
    }
    if (!S_ISDIR(status.st_mode) || status.st_uid != getuid() || (status.st_mode & 077) != 0) {
        diagnose("%s is not a directory of this user's alone: not shared there", directory);
        return false;
    }
    return true;
}

// The places in order; false past the last.
bool place(int index, char* directory)
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const char* temporary = std::getenv("TMPDIR");
    char system_runtime[64];
    std::snprintf(system_runtime, sizeof system_runtime, "/run/user/%u", getuid());
    switch (index) {
    case 0:
        directory[0] = 0;
        return !runtime || runtime[0] != '/' ||
               std::snprintf(directory, kPathBytes / 2, "%s/appduck", runtime) < kPathBytes / 2;
    case 1:
        // Only where the system made it, the user's own; not twice.
        if (runtime && std::strcmp(runtime, system_runtime) == 0)
            directory[0] = 0;
        else if (!private_place(system_runtime, false))
            directory[0] = 0;
        else
            std::snprintf(directory, kPathBytes / 2, "%s/appduck", system_runtime);
        return true;
    case 2:
        if (!temporary || temporary[0] != '/')
            temporary = "/tmp";
        return std::snprintf(directory, kPathBytes / 2, "%s/appduck-%u", temporary, getuid()) <
               kPathBytes / 2;
    default:
        return false;
    }
}

// A table there, a regular file of this user's at the table's size.
enum class Found { kNone, kTable, kOther };
Found look_at(const char* path)
{
    struct stat status;
    if (lstat(path, &status) != 0)
        return errno == ENOENT ? Found::kNone : Found::kOther;
    return S_ISREG(status.st_mode) && status.st_uid == getuid() &&
                   status.st_size == static_cast<off_t>(kTableFileBytes)
               ? Found::kTable
               : Found::kOther;
}

bool write_all(int file, const char* bytes, size_t length)
{
    while (length > 0) {
        const ssize_t wrote = write(file, bytes, length);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        bytes += wrote;
        length -= static_cast<size_t>(wrote);
    }
    return true;
}

// Makes a file whole or not at all: written to a fresh name, synced, then
// linked under its own (never over one there: another controller may have
// made it meanwhile, and theirs stands), and the directory synced.
bool make_file_whole(const char* directory, const char* path, size_t length)
{
    char fresh[kPathBytes];
    if (std::snprintf(fresh, sizeof fresh, "%s.XXXXXX", path) >= kPathBytes)
        return false;
    const int file = mkostemp(fresh, O_CLOEXEC);
    if (file < 0) {
        diagnose("making %s failed: %s", fresh, std::strerror(errno));
        return false;
    }
    static char zeros[64 * 1024];  // zeros, and no room in the program file
    const char* failed = nullptr;
    for (size_t done = 0; !failed && done < length; done += sizeof zeros) {
        if (!write_all(file, zeros, length - done < sizeof zeros ? length - done : sizeof zeros))
            failed = "writing";
    }
    if (!failed && fsync(file) != 0)
        failed = "syncing";
    if (!failed && link(fresh, path) != 0 && errno != EEXIST)
        failed = "linking";
    if (failed)
        diagnose("making %s failed while %s: %s", path, failed, std::strerror(errno));
    close(file);
    unlink(fresh);
    const int folder = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return !failed;
}

// The table's path: the first place that holds one, else where one can be
// made. Something else under the table's name (a link, a file of another
// size) is replaced: the directory is this user's alone.
bool table_path(char* path, bool make)
{
    char name[kPathBytes / 4];
    // No server: nothing to change, nor to share (the connection says why).
    if (!server_name(name, sizeof name))
        return false;
    char directory[kPathBytes / 2];
    for (int i = 0; place(i, directory); ++i) {
        if (directory[0] && private_place(directory, false) &&
            std::snprintf(path, kPathBytes, "%s/%s", directory, name) < kPathBytes &&
            look_at(path) == Found::kTable)
            return true;
    }
    for (int i = 0; make && place(i, directory); ++i) {
        if (!directory[0] || !private_place(directory, true) ||
            std::snprintf(path, kPathBytes, "%s/%s", directory, name) >= kPathBytes)
            continue;
        if (look_at(path) == Found::kOther) {
            diagnose("%s is no table of ours: replaced", path);
            unlink(path);
        }
        if (make_file_whole(directory, path, kTableFileBytes) && look_at(path) == Found::kTable)
            return true;
    }
    if (make)
        diagnose("no private place could hold the shared table: nothing is shared");
    return false;
}

bool read_at(uint64_t offset, char* into, int length)
{
    while (length > 0) {
        const ssize_t got = pread(g_io, into, static_cast<size_t>(length), static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        into += got;
        offset += static_cast<uint64_t>(got);
        length -= static_cast<int>(got);
    }
    return true;
}

bool write_at(uint64_t offset, const char* bytes, int length)
{
    while (length > 0) {
        const ssize_t wrote =
            pwrite(g_io, bytes, static_cast<size_t>(length), static_cast<off_t>(offset));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            diagnose("writing the shared table failed: %s", std::strerror(errno));
            return false;
        }
        bytes += wrote;
        offset += static_cast<uint64_t>(wrote);
        length -= static_cast<int>(wrote);
    }
    return true;
}

const TableFile kTableFile = {read_at, write_at};

}  // namespace

TurnLock try_shared_turn(bool make, uint32_t* holder)
{
    *holder = 0;
    char path[kPathBytes];
    if (g_turn >= 0 || !table_path(path, make))
        return TurnLock::kBroken;
    const int file = open(path, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (file < 0) {
        diagnose("opening %s failed: %s", path, std::strerror(errno));
        return TurnLock::kBroken;
    }
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_len = 1;
    if (fcntl(file, F_SETLK, &lock) == 0) {
        g_turn = file;
        return TurnLock::kTaken;
    }
    const int error = errno;
    if (error != EAGAIN && error != EACCES) {
        diagnose("locking %s failed: %s", path, std::strerror(error));
        close(file);
        return TurnLock::kBroken;
    }
    // Who has it: 0 for a process in another pid namespace.
    lock.l_type = F_WRLCK;
    if (fcntl(file, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK && lock.l_pid > 0)
        *holder = static_cast<uint32_t>(lock.l_pid);
    close(file);
    return TurnLock::kBusy;
}

void give_shared_turn()
{
    if (g_turn >= 0)
        close(g_turn);  // drops the lock
    g_turn = -1;
}

namespace {

// Reads and writes go through the turn's own descriptor: closing another
// one of the same file would drop the lock. Without the turn, through a
// descriptor of their own.
bool open_io(int flags)
{
    g_io = g_turn;
    if (g_io >= 0)
        return true;
    char path[kPathBytes];
    if (!table_path(path, false))
        return false;
    g_io = open(path, flags | O_CLOEXEC | O_NOFOLLOW);
    if (g_io < 0)
        diagnose("opening %s failed: %s", path, std::strerror(errno));
    return g_io >= 0;
}

void close_io()
{
    if (g_io >= 0 && g_io != g_turn)
        close(g_io);
    g_io = -1;
}

}  // namespace

TableRead read_shared_table(char* text, int capacity, uint64_t* generation)
{
    text[0] = 0;
    *generation = 0;
    if (!open_io(O_RDONLY))
        return TableRead::kFailed;
    const TableRead read = read_table_file(kTableFile, text, capacity, generation);
    if (read == TableRead::kFailed)
        diagnose("reading the shared table failed: %s", std::strerror(errno));
    close_io();
    return read;
}

bool path_beside_table(const char* suffix, char* path, int capacity, bool make)
{
    char table[kPathBytes];
    if (!table_path(table, make))
        return false;
    const size_t stem = std::strlen(table) - std::strlen(".table");
    return std::snprintf(path, static_cast<size_t>(capacity), "%.*s%s", static_cast<int>(stem),
                         table, suffix) < capacity;
}

bool shared_table_generation(uint64_t* generation)
{
    if (!open_io(O_RDONLY))
        return false;
    const bool told = table_file_generation(kTableFile, generation);
    close_io();
    return told;
}

bool write_shared_table(const char* text, int length)
{
    if (!open_io(O_RDWR))
        return false;
    const bool written = write_table_file(kTableFile, text, length);
    close_io();
    return written;
}
