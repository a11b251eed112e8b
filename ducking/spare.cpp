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
}

bool in_own_tree(uint32_t pid)
{
    for (int depth = 0; g_root.set && depth < kMaxTreeDepth && pid != 0; ++depth) {
        uint64_t started = 0;
        if (pid == g_root.pid)
            return process_start_time(pid, &started) && started == g_root.started;
        uint32_t parent = 0;
        if (!process_parent(pid, &parent) || parent == pid)
            return false;
        pid = parent;
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
    return (g_names_length > 0 && name_list_matches(entry.exe_name, g_names)) ||
           in_own_tree(entry.pid);
}

void forget_spared()
{
    g_names[0] = 0;
    g_names_length = 0;
    g_root = {};
}
