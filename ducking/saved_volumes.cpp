#include "saved_volumes.h"

#include "written_levels.h"

#include <cassert>

namespace {

SavedSession g_saved[kMaxSaved];
int g_saved_count = 0;
// Records the keeper has yet to hear of, by their place, and a count of
// the changes that moved places (a drop), after which it hears all afresh.
bool g_untold[kMaxSaved];
unsigned g_times_rewritten = 0;

void changed(const SavedSession& saved)
{
    assert(&saved >= g_saved && &saved < g_saved + kMaxSaved);
    g_untold[&saved - g_saved] = true;
}

// A key that cannot travel as one line to the keeper is not kept.
bool travels_as_one_line(const char* key)
{
    for (; *key; ++key) {
        if (static_cast<unsigned char>(*key) < 0x20)
            return false;
    }
    return true;
}

// The session's own level as the platform gives it now.
bool read_own_level(const SessionEntry& entry, SavedSession& saved)
{
    saved.volume = entry.volume;
    saved.ramp_count = 0;
    saved.own = {};
    if (entry.memory_key[0] && travels_as_one_line(entry.memory_key)) {
        static_assert(sizeof saved.own.key == sizeof entry.memory_key);
        for (int i = 0; i < kMaxMemoryKey; ++i)
            saved.own.key[i] = entry.memory_key[i];
        if (!get_session_mute(entry.volume_control, &saved.own.muted))
            saved.own.muted = false;
    }
    return get_session_level(entry.volume_control, &saved.own.level);
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

SavedSession* save_session(const SessionEntry& entry, const SavedSession* original)
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
    if (original) {
        saved = *original;
    } else if (!read_own_level(entry, saved)) {
        return nullptr;
    }
    saved.pid = entry.pid;
    saved.instance = entry.instance;
    saved.share = 1.0f;
    saved.held = 1.0f;
    changed(saved);
    return &g_saved[g_saved_count++];
}

void set_share(SavedSession& saved, float share, float held)
{
    if (saved.share != share || saved.held != held)
        changed(saved);
    saved.share = share;
    saved.held = held;
}

void set_original(SavedSession& saved, const SavedSession& original)
{
    saved.volume = original.volume;
    saved.own = original.own;
    for (int i = 0; i < original.ramp_count; ++i)
        add_ramp(saved.ramps, &saved.ramp_count, original.ramps[i].from, original.ramps[i].to);
    changed(saved);
}

void note_ramp(SavedSession& saved, float from, float to)
{
    add_ramp(saved.ramps, &saved.ramp_count, from, to);
    changed(saved);
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

SavedSession* keep_record(const SavedSession& saved)
{
    SavedSession* same = find_saved(saved.pid, saved.instance);
    if (!same && g_saved_count == kMaxSaved)
        return nullptr;
    if (!same)
        same = &g_saved[g_saved_count++];
    *same = saved;
    changed(*same);
    return same;
}

void drop_records(bool (*settled)(const SavedSession& saved, int index))
{
    int kept = 0;
    for (int i = 0; i < g_saved_count; ++i) {
        if (!settled(g_saved[i], i)) {
            g_untold[kept] = g_untold[i];
            g_saved[kept++] = g_saved[i];
        }
    }
    if (kept != g_saved_count)
        ++g_times_rewritten;
    g_saved_count = kept;
}

int saved_count() { return g_saved_count; }
SavedSession& saved_at(int index) { return g_saved[index]; }
unsigned times_rewritten() { return g_times_rewritten; }

bool take_untold(int index)
{
    const bool untold = g_untold[index];
    g_untold[index] = false;
    return untold;
}
