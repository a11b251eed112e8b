#include "lowered_through_memory.h"

#include "written_levels.h"

#include <cstring>

namespace {

// Memories this process could not write back, newest last.
constexpr int kMaxRemembered = 32;
SavedSession g_remembered[kMaxRemembered];
int g_remembered_count = 0;

// Whether the entry's level came from the memory of a session with this
// original: the same name and channels, and a level appduck wrote there.
bool came_from(const SessionEntry& entry, const SessionLevel& level, const SavedSession& original)
{
    return std::strcmp(entry.memory_key, original.own.key) == 0 &&
           level.channels == original.own.level.channels &&
           wrote_level(original.ramps, original.ramp_count, original.volume, entry.volume);
}

// The table's session the entry came from, the latest held; -1: none.
int shared_source(const SharedTurn& turn, const SessionEntry& entry, const SessionLevel& level)
{
    int source = -1;
    for (int i = 0; i < shared_session_count(turn); ++i) {
        if (came_from(entry, level, shared_session(turn, i).original))
            source = i;
    }
    return source;
}

// This controller's record it came from, the latest saved; null: none.
const SavedSession* own_source(const SessionEntry& entry, const SessionLevel& level)
{
    const SavedSession* source = nullptr;
    for (int i = 0; i < saved_count(); ++i) {
        if (came_from(entry, level, saved_at(i)))
            source = &saved_at(i);
    }
    return source;
}

bool adopt(SharedTurn& turn, const SessionEntry& entry)
{
    SessionLevel level;
    if (!get_session_level(entry.volume_control, &level))
        return false;
    SavedSession adopted;
    float held = 0.0f;
    const int shared = shared_source(turn, entry, level);
    if (shared >= 0) {
        // Held as its source is; a record only where this controller holds it.
        if (!hold_as(turn, shared, entry, &held))
            return false;
        adopted = shared_session(turn, shared).original;
    } else {
        const SavedSession* own = own_source(entry, level);
        if (!own)
            return false;
        adopted = *own;
        held = own->held;
    }
    adopted.pid = entry.pid;
    adopted.instance = entry.instance;
    SavedSession* saved = keep_record(adopted);
    if (saved)
        hold(turn, *saved, held);
    return saved != nullptr;
}

}  // namespace

int adopt_sessions_lowered_through_memory(SharedTurn& turn)
{
    int adopted = 0;
    for (int k = 0; k < session_count(); ++k) {
        const SessionEntry& entry = session_at(k);
        if (entry.memory_key[0] && !find_saved(entry.pid, entry.instance) &&
            !shared_original(turn, entry.pid, entry.instance) && adopt(turn, entry))
            ++adopted;
    }
    return adopted;
}

void put_back_memory(const SavedSession& gone)
{
    if (volume_memory_writable()) {
        write_volume_memory(gone.own);
        return;
    }
    if (g_remembered_count == kMaxRemembered) {
        for (int i = 1; i < kMaxRemembered; ++i)
            g_remembered[i - 1] = g_remembered[i];
        --g_remembered_count;
    }
    g_remembered[g_remembered_count++] = gone;
}

bool put_back_remembered()
{
    bool any = false;
    for (int k = 0; k < session_count() && g_remembered_count > 0; ++k) {
        const SessionEntry& entry = session_at(k);
        SessionLevel level;
        if (!entry.memory_key[0] || find_saved(entry.pid, entry.instance) ||
            !get_session_level(entry.volume_control, &level))
            continue;
        for (int i = g_remembered_count - 1; i >= 0; --i) {
            if (!came_from(entry, level, g_remembered[i]))
                continue;
            set_session_level(entry.volume_control, g_remembered[i].own.level, 1.0f);
            for (int j = i + 1; j < g_remembered_count; ++j)
                g_remembered[j - 1] = g_remembered[j];
            --g_remembered_count;
            any = true;
            break;
        }
    }
    if (any)
        confirm_volume_changes();
    return any;
}

bool rebuild_for_change(SharedTurn& turn)
{
    if (!enumerate_sessions())
        return false;
    if (put_back_remembered() && !enumerate_sessions())
        return false;
    adopt_sessions_lowered_through_memory(turn);
    return true;
}

bool rebuild_for_listing()
{
    const bool listed = enumerate_sessions();
    return listed && put_back_remembered() ? enumerate_sessions() : listed;
}
