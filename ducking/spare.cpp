#include "spare.h"

#include "name_match.h"

namespace {

constexpr int kSparePrefix = 5;  // "spare"
// How far up a process's parents the controller is looked for: deeper
// trees than this are no controller's voice.
constexpr int kMaxTreeDepth = 64;

Utf16Char g_names[kNamesText];  // every name spared so far, ';' between
int g_names_length = 0;

struct Root {
    bool set;
    uint32_t pid;
    uint64_t started;
};
Root g_root;

// What one rebuild's processes were found to be, so that each process is
// looked up once (a Toolhelp snapshot each on Windows), not per session.
struct Kin {
    uint32_t pid;
    bool spared;
};
constexpr int kMaxKin = 64;
Kin g_kin[kMaxKin];
int g_kin_count = 0;
unsigned g_kin_rebuild = 0;

// Appends the names after the first space that follows the command word.
void spare_names(const char* names)
{
    Utf16Char wide[kNamesText * 2];
    if (utf8_to_utf16(names, wide, kNamesText * 2) <= 0)
        return;
    int length = 0;
    while (wide[length])
        ++length;
    const int room = kNamesText - 1 - g_names_length - 1;  // a ';' before
    if (length > room)
        length = room > 0 ? room : 0;
    if (length > 0 && wide[length - 1] >= 0xD800 && wide[length - 1] <= 0xDBFF)
        --length;  // do not split a surrogate pair
    if (length <= 0)
        return;
    g_names[g_names_length++] = ';';
    for (int i = 0; i < length; ++i)
        g_names[g_names_length++] = wide[i];
    g_names[g_names_length] = 0;
}

// The controller, as the process that started this one, and when it
// started: a process that takes its id later is not it.
void spare_own_tree()
{
    uint32_t parent = 0;
    uint64_t started = 0;
    if (process_parent(own_process_id(), &parent) && process_start_time(parent, &started))
        g_root = {true, parent, started};
    g_kin_count = 0;
}

// A parent is taken for one only when the child started after it: Windows
// keeps an ended parent's id, which a later process may take.
bool in_own_tree(uint32_t pid)
{
    uint64_t started = 0;
    if (!process_start_time(pid, &started))
        return false;
    for (int depth = 0; depth < kMaxTreeDepth; ++depth) {
        if (pid == g_root.pid)
            return started == g_root.started;
        uint32_t parent = 0;
        uint64_t parent_started = 0;
        if (!process_parent(pid, &parent) || parent == pid ||
            !process_start_time(parent, &parent_started) || parent_started > started)
            return false;
        pid = parent;
        started = parent_started;
    }
    return false;
}

}  // namespace

void spare_command(const char* line)
{
    const char* space = line + kSparePrefix;
    while (*space && *space != ' ')
        ++space;
    if (*space && space[1])
        spare_names(space + 1);
    else
        spare_own_tree();
}

bool spared(const SessionEntry& entry)
{
    if (g_names_length > 0 && name_list_matches(entry.exe_name, g_names))
        return true;
    if (!g_root.set)
        return false;
    if (g_kin_rebuild != rebuild_number()) {
        g_kin_rebuild = rebuild_number();
        g_kin_count = 0;
    }
    for (int i = 0; i < g_kin_count; ++i) {
        if (g_kin[i].pid == entry.pid)
            return g_kin[i].spared;
    }
    const bool kin = in_own_tree(entry.pid);
    if (g_kin_count < kMaxKin)
        g_kin[g_kin_count++] = {entry.pid, kin};
    return kin;
}

void forget_spared()
{
    g_names[0] = 0;
    g_names_length = 0;
    g_root = {};
    g_kin_count = 0;
}
