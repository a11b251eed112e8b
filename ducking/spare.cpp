#include "ducking/spare.h"

namespace {

constexpr int kSparePrefix = 5;  // "spare"
// How far up a process's parents the controller is looked for: deeper
// trees than this are no controller's voice.
constexpr int kMaxTreeDepth = 64;

// Appends the names after the first space that follows the command word.
void spare_names(Spared& spared, const char* names)
{
    Utf16Char wide[kNamesText * 2];
    if (utf8_to_utf16(names, wide, kNamesText * 2) <= 0)
        return;
    int length = 0;
    while (wide[length])
        ++length;
    const int room = kNamesText - 1 - spared.names_length - 1;  // a ';' before
    if (length > room)
        length = room > 0 ? room : 0;
    if (length > 0 && wide[length - 1] >= 0xD800 && wide[length - 1] <= 0xDBFF)
        --length;  // do not split a surrogate pair
    if (length <= 0)
        return;
    spared.names[spared.names_length++] = ';';
    for (int i = 0; i < length; ++i)
        spared.names[spared.names_length++] = wide[i];
    spared.names[spared.names_length] = 0;
}

void spare_own_tree(Spared& spared)
{
    uint32_t parent = 0;
    if (process_parent(own_process_id(), &parent))
        spare_tree_of(spared, parent);
}

// A parent is taken for one only when the child started after it: Windows
// keeps an ended parent's id, which a later process may take.
bool in_own_tree(const Spared& spared, uint32_t pid)
{
    uint64_t started = 0;
    if (!process_start_time(pid, &started))
        return false;
    for (int depth = 0; depth < kMaxTreeDepth; ++depth) {
        if (pid == spared.root_pid)
            return started == spared.root_started;
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

void spare_tree_of(Spared& spared, uint32_t root)
{
    uint64_t started = 0;
    if (process_start_time(root, &started)) {
        spared.root_set = true;
        spared.root_pid = root;
        spared.root_started = started;
    }
    spared.kin_count = 0;
}

void spare_command(Spared& spared, const char* line)
{
    const char* space = line + kSparePrefix;
    while (*space && *space != ' ')
        ++space;
    if (*space && space[1])
        spare_names(spared, space + 1);
    else
        spare_own_tree(spared);
}

bool is_spared(Spared& spared, const SessionTable& sessions, const SessionEntry& entry)
{
    if (spared.names_length > 0 && name_list_matches(entry.exe_name, spared.names))
        return true;
    if (!spared.root_set)
        return false;
    if (spared.kin_rebuild != rebuild_number(sessions)) {
        spared.kin_rebuild = rebuild_number(sessions);
        spared.kin_count = 0;
    }
    for (int i = 0; i < spared.kin_count; ++i) {
        if (spared.kin[i].pid == entry.pid)
            return spared.kin[i].spared;
    }
    const bool kin = in_own_tree(spared, entry.pid);
    if (spared.kin_count < Spared::kMaxKin)
        spared.kin[spared.kin_count++] = {entry.pid, kin};
    return kin;
}
