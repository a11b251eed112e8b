#include "session_table.h"

#include <cassert>

namespace {

SessionEntry g_sessions[kMaxSessions];
int g_count = 0;

// The first snapshot record with this pid gives the name; a process that has
// already ended leaves the name empty.
void look_up_exe_name(SessionEntry& entry)
{
    ProcessSnapshot* snapshot = take_process_snapshot();
    if (!snapshot)
        return;
    uint32_t pid = 0;
    for (bool more = first_process(snapshot, &pid); more; more = next_process(snapshot, &pid)) {
        if (pid == entry.pid) {
            current_process_exe(snapshot, entry.exe_name);
            break;
        }
    }
    close_process_snapshot(snapshot);
}

// Records one session if it belongs to another application and its volume
// can be both controlled and read. An unreadable volume would otherwise be
// saved by a duck and later written back as the application's own.
void record_session(SessionControl* control, uint32_t own_pid)
{
    SessionControl2* control2 = query_session_control2(control);
    if (!control2)
        return;
    const uint32_t pid = session_process_id(control2);
    if (pid != 0 && pid != own_pid) {
        VolumeControl* volume = query_volume_control(control);
        if (volume) {
            SessionEntry& entry = g_sessions[g_count];
            entry.volume_control = volume;
            entry.pid = pid;
            entry.exe_name[0] = 0;
            look_up_exe_name(entry);
            if (get_master_volume(volume, &entry.volume)) {
                ++g_count;
            } else {
                entry.volume_control = nullptr;
                release(volume);
            }
        }
    }
    release(control2);
}

void record_endpoint_sessions(Endpoint* endpoint, uint32_t own_pid)
{
    SessionManager* manager = activate_session_manager(endpoint);
    if (!manager)
        return;
    SessionEnumerator* sessions = session_enumerator(manager);
    if (sessions) {
        const unsigned count = enumerator_session_count(sessions);
        for (unsigned i = 0; i < count && g_count < kMaxSessions; ++i) {
            SessionControl* control = session_control_at(sessions, i);
            if (!control)
                continue;
            record_session(control, own_pid);
            release(control);
        }
        release(sessions);
    }
    release(manager);
}

}  // namespace

void release_sessions()
{
    for (int i = 0; i < g_count; ++i) {
        if (g_sessions[i].volume_control) {
            release(g_sessions[i].volume_control);
            g_sessions[i].volume_control = nullptr;
        }
    }
    g_count = 0;
}

bool enumerate_sessions()
{
    release_sessions();
    DeviceEnumerator* enumerator = create_device_enumerator();
    if (!enumerator)
        return false;
    EndpointCollection* endpoints = active_playback_endpoints(enumerator);
    const bool answered = endpoints != nullptr;
    if (endpoints) {
        const unsigned count = endpoint_count(endpoints);
        const uint32_t own_pid = own_process_id();
        // Every endpoint is still opened once the table is full; its
        // sessions stop at the same test.
        for (unsigned i = 0; i < count; ++i) {
            Endpoint* endpoint = endpoint_at(endpoints, i);
            if (!endpoint)
                continue;
            record_endpoint_sessions(endpoint, own_pid);
            release(endpoint);
        }
        release(endpoints);
    }
    release(enumerator);
    return answered;
}

int session_count()
{
    return g_count;
}

const SessionEntry& session_at(int index)
{
    assert(index >= 0 && index < g_count);
    return g_sessions[index];
}
