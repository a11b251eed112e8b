#include "ducking/lowered_through_memory.h"

#include "ducking/written_levels.h"

#include <cstring>

namespace {

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
const SavedSession* own_source(const SavedVolumes& saved, const SessionEntry& entry,
                               const SessionLevel& level)
{
    const SavedSession* source = nullptr;
    for (int i = 0; i < saved_count(saved); ++i) {
        if (came_from(entry, level, saved_at(saved, i)))
            source = &saved_at(saved, i);
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
    const SavedSession* own = shared >= 0 ? nullptr : own_source(*turn.saved, entry, level);
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
    SavedSession* record = keep_record(*turn.saved, adopted);
    if (record)
        hold(turn, *record, held);
    return record != nullptr;
}

}  // namespace

int adopt_sessions_lowered_through_memory(const SessionTable& sessions, SharedTurn& turn)
{
    int adopted = 0;
    for (int k = 0; k < session_count(sessions); ++k) {
        const SessionEntry& entry = session_at(sessions, k);
        if (entry.memory_key[0] && !find_saved(*turn.saved, entry.pid, entry.instance) &&
            !shared_original(turn, entry.pid, entry.instance) && adopt(turn, entry))
            ++adopted;
    }
    return adopted;
}

void put_back_memory(RememberedMemories& remembered, const SavedSession& gone)
{
    if (volume_memory_writable()) {
        write_volume_memory(gone.own);
        return;
    }
    if (remembered.count == kMaxRemembered) {
        for (int i = 1; i < kMaxRemembered; ++i)
            remembered.gone[i - 1] = remembered.gone[i];
        --remembered.count;
    }
    remembered.gone[remembered.count++] = gone;
}

bool put_back_remembered(RememberedMemories& remembered, const SessionTable& sessions,
                         SavedVolumes& saved)
{
    bool any = false;
    for (int k = 0; k < session_count(sessions) && remembered.count > 0; ++k) {
        const SessionEntry& entry = session_at(sessions, k);
        SessionLevel level;
        if (!entry.memory_key[0] || find_saved(saved, entry.pid, entry.instance) ||
            !get_session_level(entry.volume_control, &level))
            continue;
        for (int i = remembered.count - 1; i >= 0; --i) {
            if (!came_from(entry, level, remembered.gone[i]))
                continue;
            set_session_level(entry.volume_control,
                              level_on_channels(remembered.gone[i].own.level, level), 1.0f);
            for (int j = i + 1; j < remembered.count; ++j)
                remembered.gone[j - 1] = remembered.gone[j];
            --remembered.count;
            any = true;
            break;
        }
    }
    if (any)
        confirm_volume_changes();
    return any;
}
