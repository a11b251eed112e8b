#include "saved_volumes.h"

#include "audio/volume_fader.h"
#include "sharing.h"

#include <cmath>
#include <cstring>

namespace {

SavedSession g_saved[kMaxSaved];
int g_saved_count = 0;
unsigned g_times_rewritten = 0;

// What each session of the table carries, read once per restore or
// adoption, indexed like the table.
VolumeMemory g_live[kMaxSessions];
bool g_seen[kMaxSaved];

// A key that cannot travel as one line to the keeper is not kept.
bool travels_as_one_line(const char* key)
{
    for (; *key; ++key) {
        if (static_cast<unsigned char>(*key) < 0x20)
            return false;
    }
    return true;
}

void read_live_memories(int count)
{
    for (int k = 0; k < count; ++k) {
        if (!session_volume_memory(session_at(k).volume_control, &g_live[k]))
            g_live[k].key[0] = 0;
    }
}

bool carried_by_live_session(const char* key, int count)
{
    for (int k = 0; k < count; ++k) {
        if (std::strcmp(g_live[k].key, key) == 0)
            return true;
    }
    return false;
}

// The loudness a duck left a session under this record's memory at: what
// the platform hands a new session under the same key.
bool at_ducked_level(const SavedSession& held, float volume)
{
    const float ducked = held.volume * held.share;
    return std::fabs(volume - ducked) <= 1e-3f * std::fmax(ducked, 1e-3f);
}

// Whether a record's session may be in the table without being known as
// itself: the rebuild may have missed it, or a session of its process could
// not tell its instance this time.
bool may_be_hidden(const SavedSession& saved, int count)
{
    if (session_may_be_missing(saved.pid))
        return true;
    for (int k = 0; k < count && saved.instance != 0; ++k) {
        if (session_at(k).pid == saved.pid && session_at(k).instance == 0)
            return true;
    }
    return false;
}

// A gone session's memory goes back only under a key no live session
// carries: a restored one puts it back by its own set, and another
// application's must not be changed. Of several gone sessions under one
// key, the one that carried it last (saved last) is written.
void write_back_memories(int count)
{
    for (int i = 0; i < g_saved_count; ++i) {
        const SavedSession& gone = g_saved[i];
        if (g_seen[i] || !gone.own.key[0] || may_be_hidden(gone, count) ||
            carried_by_live_session(gone.own.key, count))
            continue;
        bool later = false;
        for (int j = i + 1; j < g_saved_count && !later; ++j)
            later = !g_seen[j] && std::strcmp(g_saved[j].own.key, gone.own.key) == 0;
        if (!later)
            write_volume_memory(gone.own);
    }
}

// Drops what is back (seen, and every change confirmed) and what is gone.
void drop_settled(int count)
{
    int kept = 0;
    for (int i = 0; i < g_saved_count; ++i) {
        if (!g_seen[i] && may_be_hidden(g_saved[i], count))
            g_saved[kept++] = g_saved[i];
    }
    if (kept != g_saved_count)
        ++g_times_rewritten;
    g_saved_count = kept;
}

}  // namespace

float current_share(const SavedSession& saved, float volume)
{
    return saved.volume > 0.0f ? volume / saved.volume : 1.0f;
}

SavedSession* find_saved(uint32_t pid, uint64_t instance)
{
    for (int i = 0; i < g_saved_count; ++i) {
        if (g_saved[i].pid == pid && g_saved[i].instance == instance)
            return &g_saved[i];
    }
    return nullptr;
}

SavedSession* save_session(const SessionEntry& entry, float share)
{
    if (g_saved_count == kMaxSaved)
        return nullptr;
    // A session that cannot tell its instance this time may be one already
    // saved by instance, now at its ducked level: that is no level of its own.
    for (int i = 0; i < g_saved_count && entry.instance == 0; ++i) {
        if (g_saved[i].pid == entry.pid && g_saved[i].instance != 0)
            return nullptr;
    }
    SavedSession& saved = g_saved[g_saved_count];
    saved.pid = entry.pid;
    saved.instance = entry.instance;
    saved.volume = entry.volume;
    saved.share = share;
    if (!session_volume_memory(entry.volume_control, &saved.own) ||
        !travels_as_one_line(saved.own.key)) {
        saved.own.key[0] = 0;
        saved.own.muted = false;
        if (!get_session_level(entry.volume_control, &saved.own.level))
            return nullptr;
    }
    return &g_saved[g_saved_count++];
}

void set_share(SavedSession& saved, float share)
{
    if (saved.share != share)
        ++g_times_rewritten;
    saved.share = share;
}

void set_original(SavedSession& saved, float volume, const VolumeMemory& own)
{
    saved.volume = volume;
    saved.own = own;
    ++g_times_rewritten;
}

void adopt_sessions_lowered_through_memory()
{
    bool any_key = false;
    for (int i = 0; i < g_saved_count && !any_key; ++i)
        any_key = g_saved[i].own.key[0] != 0;
    if (!any_key)
        return;
    const int count = session_count();
    read_live_memories(count);
    for (int k = 0; k < count; ++k) {
        const SessionEntry& entry = session_at(k);
        if (!g_live[k].key[0] || find_saved(entry.pid, entry.instance))
            continue;
        // The record that carried the key last, if a duck lowered it.
        const SavedSession* held = nullptr;
        for (int i = 0; i < g_saved_count; ++i) {
            if (std::strcmp(g_saved[i].own.key, g_live[k].key) == 0)
                held = &g_saved[i];
        }
        if (!held || held->share == 1.0f || !at_ducked_level(*held, entry.volume) ||
            g_saved_count == kMaxSaved ||
            held->own.level.channels != g_live[k].level.channels)
            continue;
        SavedSession adopted = *held;
        adopted.pid = entry.pid;
        adopted.instance = entry.instance;
        g_saved[g_saved_count++] = adopted;
    }
}

bool nothing_saved()
{
    return g_saved_count == 0;
}

void forget_saved_volumes()
{
    g_saved_count = 0;
    ++g_times_rewritten;
}

void keep_record(const SavedSession& saved)
{
    SavedSession* same = find_saved(saved.pid, saved.instance);
    if (same)
        *same = saved;
    else if (g_saved_count < kMaxSaved)
        g_saved[g_saved_count++] = saved;
}

int saved_count() { return g_saved_count; }
const SavedSession& saved_at(int index) { return g_saved[index]; }
unsigned times_rewritten() { return g_times_rewritten; }

bool restore_saved_volumes()
{
    // A platform that could not be asked tells nothing about what ended:
    // the ramp's time still passes, but nothing is dropped.
    const bool shared = begin_shared_change();
    const bool listed = enumerate_sessions();
    if (listed)
        adopt_sessions_lowered_through_memory();
    const int count = session_count();
    RampArrays& ramp = ramp_arrays();
    for (int i = 0; i < g_saved_count; ++i)
        g_seen[i] = false;
    for (int k = 0; k < count; ++k) {
        const SessionEntry& entry = session_at(k);
        SavedSession* saved = find_saved(entry.pid, entry.instance);
        ramp.from[k] = saved ? current_share(*saved, entry.volume) : -1.0f;
        // Back to its own level, or to the deepest duck another controller
        // still holds on it.
        ramp.to[k] = saved ? share_of_others(*saved) : 1.0f;
        ramp.own[k] = saved ? &saved->own.level : nullptr;
        if (saved)
            g_seen[saved - g_saved] = true;
        else if (shared)
            shared_target(entry, &ramp.from[k], &ramp.to[k], &ramp.own[k]);
    }
    if (listed) {
        read_live_memories(count);
        write_back_memories(count);
    }
    // Also when every ducked application has ended: the controller waits
    // for the ramp's time either way.
    const bool applied = fade_volumes(ramp.from, ramp.to, ramp.own, count);
    if (listed && applied) {
        drop_settled(count);
        release_settled_holds();
    }
    end_shared_change();
    return listed && applied && nothing_saved();
}
