#include "lowered_through_memory.h"

#include "written_levels.h"

#include <cstring>

namespace {

// Memories this process could not write back, newest last.
constexpr int kMaxRemembered = 32;
SavedSession g_remembered[kMaxRemembered];
int g_remembered_count = 0;

bool same_channels(const SessionLevel& a, const SessionLevel& b)
{
    bool same = a.channels == b.channels;
    for (int i = 0; same && i < a.channels; ++i)
        same = a.positions[i] == b.positions[i];
    return same;
}

// Whether the entry's level came from the memory of a session with this
// original: the same name, and a level appduck wrote there. The channels
// may differ: a player that changes format opens a new stream, which takes
// the memory as the server maps it onto whatever channels the stream has.
bool came_from(const SessionEntry& entry, const SessionLevel& level, const SavedSession& original)
{
    if (std::strcmp(entry.memory_key, original.own.key) != 0)
        return false;
    const SessionLevel& own = original.own.level;
    float quietest = 1.0f;
    for (int i = 0; !same_channels(level, own) && i < own.channels; ++i) {
        const float loudness = channel_loudness(own, i);
        quietest = loudness < quietest ? loudness : quietest;
    }
    return wrote_level(original.ramps, original.ramp_count, original.volume, entry.volume, quietest);
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

// The source's own level on the new stream's channels: each channel at the
// source's level for the same position, where it had one (its balance),
// else at the source's loudest.
SessionLevel level_on_channels(const SessionLevel& own, const SessionLevel& channels)
{
    uint32_t loudest = 0;
    for (int i = 0; i < own.channels; ++i)
        loudest = own.values[i] > loudest ? own.values[i] : loudest;
    SessionLevel mapped = channels;
    for (int i = 0; i < mapped.channels; ++i) {
        mapped.values[i] = loudest;
        for (int j = 0; j < own.channels; ++j) {
            if (own.positions[j] == mapped.positions[i]) {
                mapped.values[i] = own.values[j];
                break;
            }
        }
    }
    return mapped;
}

bool adopt(SharedTurn& turn, const SessionEntry& entry)
{
    SessionLevel level;
    if (!get_session_level(entry.volume_control, &level))
        return false;
    const int shared = shared_source(turn, entry, level);
    const SavedSession* own = shared >= 0 ? nullptr : own_source(entry, level);
    if (shared < 0 && !own)
        return false;
    SavedSession adopted = shared >= 0 ? shared_session(turn, shared).original : *own;
    adopted.pid = entry.pid;
    adopted.instance = entry.instance;
    adopted.own.level = level_on_channels(adopted.own.level, level);
    float held = own ? own->held : 0.0f;
    // Held as its source is; a record only where this controller holds it.
    if (shared >= 0 && !hold_as(turn, shared, adopted, &held))
        return false;
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
            set_session_level(entry.volume_control,
                              level_on_channels(g_remembered[i].own.level, level), 1.0f);
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
