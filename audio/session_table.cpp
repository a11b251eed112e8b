#include "session_table.h"

#include <cassert>

namespace {

SessionEntry g_sessions[kMaxSessions];
int g_count = 0;
unsigned g_rebuilds = 0;
// What the last rebuild may have missed: everything, or the sessions of
// these processes.
bool g_blind = true;
uint32_t g_unsure[kMaxSessions];
int g_unsure_count = 0;

void missed(uint32_t pid)
{
    for (int i = 0; i < g_unsure_count; ++i) {
        if (g_unsure[i] == pid)
            return;
    }
    if (g_unsure_count == kMaxSessions)
        g_blind = true;
    else
        g_unsure[g_unsure_count++] = pid;
}

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
    uint32_t pid = 0;
    if (!control2 || !session_process_id(control2, &pid))
        g_blind = true;
    if (!control2)
        return;
    // Without an instance (0) the session is known by its process alone.
    uint64_t instance = 0;
    if (pid != 0 && pid != own_pid && !session_instance(control2, &instance))
        instance = 0;  // whatever a failed call left there
    SessionEntry& entry = g_sessions[g_count];
    if (pid == 0 || pid == own_pid || !session_memory_key(control2, entry.memory_key))
        entry.memory_key[0] = 0;
    release(control2);
    if (pid == 0 || pid == own_pid)
        return;
    VolumeControl* volume = query_volume_control(control);
    if (!volume) {
        missed(pid);  // a passthrough stream, or a failed call
        return;
    }
    entry.volume_control = volume;
    entry.pid = pid;
    entry.instance = instance;
    entry.exe_name[0] = 0;
    look_up_exe_name(entry);
    if (get_master_volume(volume, &entry.volume)) {
        ++g_count;
    } else {
        entry.volume_control = nullptr;
        release(volume);
        missed(pid);
    }
}

void record_endpoint_sessions(Endpoint* endpoint, uint32_t own_pid)
{
    SessionManager* manager = activate_session_manager(endpoint);
    if (!manager) {
        g_blind = true;
        return;
    }
    SessionEnumerator* sessions = session_enumerator(manager);
    unsigned count = 0;
    if (sessions && !enumerator_session_count(sessions, &count))
        g_blind = true;
    if (sessions) {
        for (unsigned i = 0; i < count; ++i) {
            if (g_count == kMaxSessions) {
                g_blind = true;  // the rest are not looked at
                break;
            }
            SessionControl* control = session_control_at(sessions, i);
            if (!control) {
                g_blind = true;
                continue;
            }
            record_session(control, own_pid);
            release(control);
        }
        release(sessions);
    } else {
        g_blind = true;
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
    ++g_rebuilds;
    release_sessions();
    g_blind = true;
    g_unsure_count = 0;
    DeviceEnumerator* enumerator = create_device_enumerator();
    if (!enumerator)
        return false;
    EndpointCollection* endpoints = active_playback_endpoints(enumerator);
    const bool answered = endpoints != nullptr;
    if (endpoints) {
        g_blind = false;
        unsigned count = 0;
        if (!endpoint_count(endpoints, &count))
            g_blind = true;
        const uint32_t own_pid = own_process_id();
        // Every endpoint is still opened once the table is full; its
        // sessions stop at the same test.
        for (unsigned i = 0; i < count; ++i) {
            Endpoint* endpoint = endpoint_at(endpoints, i);
            if (!endpoint) {
                g_blind = true;
                continue;
            }
            record_endpoint_sessions(endpoint, own_pid);
            release(endpoint);
        }
        release(endpoints);
    }
    release(enumerator);
    return answered;
}

unsigned rebuild_number()
{
    return g_rebuilds;
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

bool session_may_be_missing(uint32_t pid)
{
    if (g_blind)
        return true;
    for (int i = 0; i < g_unsure_count; ++i) {
        if (g_unsure[i] == pid)
            return true;
    }
    return false;
}
