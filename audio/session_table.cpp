#include "session_table.h"

#include <cassert>

namespace {

void missed(SessionTable& table, uint32_t pid)
{
    for (int i = 0; i < table.unsure_count; ++i) {
        if (table.unsure[i] == pid)
            return;
    }
    if (table.unsure_count == kMaxSessions)
        table.blind = true;
    else
        table.unsure[table.unsure_count++] = pid;
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
void record_session(SessionTable& table, SessionControl* control, uint32_t own_pid)
{
    SessionControl2* control2 = query_session_control2(control);
    uint32_t pid = 0;
    if (!control2 || !session_process_id(control2, &pid))
        table.blind = true;
    if (!control2)
        return;
    // Without an instance (0) the session is known by its process alone.
    uint64_t instance = 0;
    if (pid != 0 && pid != own_pid && !session_instance(control2, &instance))
        instance = 0;  // whatever a failed call left there
    SessionEntry& entry = table.entries[table.count];
    if (pid == 0 || pid == own_pid || !session_memory_key(control2, entry.memory_key))
        entry.memory_key[0] = 0;
    release(control2);
    if (pid == 0 || pid == own_pid)
        return;
    VolumeControl* volume = query_volume_control(control);
    if (!volume) {
        missed(table, pid);  // a passthrough stream, or a failed call
        return;
    }
    entry.volume_control = volume;
    entry.pid = pid;
    entry.instance = instance;
    entry.exe_name[0] = 0;
    look_up_exe_name(entry);
    if (get_master_volume(volume, &entry.volume)) {
        ++table.count;
    } else {
        entry.volume_control = nullptr;
        release(volume);
        missed(table, pid);
    }
}

void record_endpoint_sessions(SessionTable& table, Endpoint* endpoint, uint32_t own_pid)
{
    SessionManager* manager = activate_session_manager(endpoint);
    if (!manager) {
        table.blind = true;
        return;
    }
    SessionEnumerator* sessions = session_enumerator(manager);
    unsigned count = 0;
    if (sessions && !enumerator_session_count(sessions, &count))
        table.blind = true;
    if (sessions) {
        for (unsigned i = 0; i < count; ++i) {
            if (table.count == kMaxSessions) {
                table.blind = true;  // the rest are not looked at
                break;
            }
            SessionControl* control = session_control_at(sessions, i);
            if (!control) {
                table.blind = true;
                continue;
            }
            record_session(table, control, own_pid);
            release(control);
        }
        release(sessions);
    } else {
        table.blind = true;
    }
    release(manager);
}

}  // namespace

void release_sessions(SessionTable& table)
{
    for (int i = 0; i < table.count; ++i) {
        if (table.entries[i].volume_control) {
            release(table.entries[i].volume_control);
            table.entries[i].volume_control = nullptr;
        }
    }
    table.count = 0;
}

bool enumerate_sessions(SessionTable& table)
{
    ++table.rebuilds;
    release_sessions(table);
    table.blind = true;
    table.unsure_count = 0;
    DeviceEnumerator* enumerator = create_device_enumerator();
    if (!enumerator)
        return false;
    EndpointCollection* endpoints = active_playback_endpoints(enumerator);
    const bool answered = endpoints != nullptr;
    if (endpoints) {
        table.blind = false;
        unsigned count = 0;
        if (!endpoint_count(endpoints, &count))
            table.blind = true;
        const uint32_t own_pid = own_process_id();
        // Every endpoint is still opened once the table is full; its
        // sessions stop at the same test.
        for (unsigned i = 0; i < count; ++i) {
            Endpoint* endpoint = endpoint_at(endpoints, i);
            if (!endpoint) {
                table.blind = true;
                continue;
            }
            record_endpoint_sessions(table, endpoint, own_pid);
            release(endpoint);
        }
        release(endpoints);
    }
    release(enumerator);
    return answered;
}

unsigned rebuild_number(const SessionTable& table)
{
    return table.rebuilds;
}

int session_count(const SessionTable& table)
{
    return table.count;
}

const SessionEntry& session_at(const SessionTable& table, int index)
{
    assert(index >= 0 && index < table.count);
    return table.entries[index];
}

bool session_may_be_missing(const SessionTable& table, uint32_t pid)
{
    if (table.blind)
        return true;
    for (int i = 0; i < table.unsure_count; ++i) {
        if (table.unsure[i] == pid)
            return true;
    }
    return false;
}
