#include "saved_volumes.h"

#include "audio/session_table.h"
#include "audio/volume_fader.h"

#include <cstring>

namespace {

SavedVolume g_saved[kMaxSaved];
int g_saved_count = 0;
VolumeMemory g_remembered[kMaxRemembered];
int g_remembered_count = 0;
unsigned g_times_forgotten = 0;

// The memory of each session the restore moves, indexed like the session
// table.
VolumeMemory g_live[kMaxSessions];
bool g_live_known[kMaxSessions];

bool travels_as_one_line(const char* key)
{
    for (; *key; ++key) {
        if (static_cast<unsigned char>(*key) < 0x20)
            return false;
    }
    return true;
}

// A gone stream's memory is written back only where no stream this restore
// moves is kept under the same name: that stream's own set already puts the
// memory back, at the volume its process comes back to.
bool moved_under_same_name(const VolumeMemory& memory, int count)
{
    for (int k = 0; k < count; ++k) {
        if (g_live_known[k] && std::strcmp(g_live[k].key, memory.key) == 0)
            return true;
    }
    return false;
}

}  // namespace

const SavedVolume* find_saved(uint32_t pid)
{
    for (int i = 0; i < g_saved_count; ++i) {
        if (g_saved[i].pid == pid)
            return &g_saved[i];
    }
    return nullptr;
}

const SavedVolume* save_volume(uint32_t pid, float volume)
{
    if (g_saved_count == kMaxSaved)
        return nullptr;
    g_saved[g_saved_count] = {pid, volume};
    return &g_saved[g_saved_count++];
}

void keep_volume_memory(const VolumeMemory& memory)
{
    if (memory.key[0] == 0 || g_remembered_count == kMaxRemembered ||
        !travels_as_one_line(memory.key))
        return;
    // The first duck's memory is the stream's own; a later stream under the
    // same name may already have started at the ducked volume.
    for (int i = 0; i < g_remembered_count; ++i) {
        if (std::strcmp(g_remembered[i].key, memory.key) == 0)
            return;
    }
    g_remembered[g_remembered_count++] = memory;
}

bool nothing_saved()
{
    return g_saved_count == 0 && g_remembered_count == 0;
}

void forget_saved_volumes()
{
    g_saved_count = 0;
    g_remembered_count = 0;
    ++g_times_forgotten;
}

int saved_count() { return g_saved_count; }
const SavedVolume& saved_at(int index) { return g_saved[index]; }
int remembered_count() { return g_remembered_count; }
const VolumeMemory& remembered_at(int index) { return g_remembered[index]; }
unsigned times_forgotten() { return g_times_forgotten; }

bool restore_saved_volumes()
{
    // A platform that could not be asked tells nothing about what ended:
    // the ramp's time still passes, but nothing is forgotten.
    const bool listed = enumerate_sessions();
    const int count = session_count();
    float* from = ramp_arrays().from;
    float* to = ramp_arrays().to;
    for (int k = 0; k < count; ++k) {
        const SessionEntry& entry = session_at(k);
        const SavedVolume* saved = find_saved(entry.pid);
        from[k] = saved ? entry.volume : -1.0f;
        to[k] = saved ? saved->volume : 0.0f;
        g_live_known[k] = saved && session_volume_memory(entry.volume_control, &g_live[k]);
    }
    if (listed) {
        for (int i = 0; i < g_remembered_count; ++i) {
            if (!moved_under_same_name(g_remembered[i], count))
                write_volume_memory(g_remembered[i]);
        }
    }
    // Also when every ducked application has ended: the controller waits
    // for the ramp's time either way.
    const bool applied = fade_volumes(from, to, count);
    if (!listed || !applied)
        return false;
    forget_saved_volumes();
    return true;
}
