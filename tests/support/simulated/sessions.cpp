// The simulated platform's audio sessions and their volumes: the same
// operations as the Windows layer over an in-memory world of endpoints and
// sessions, every handle a counted reference. Volume sets land at once, or,
// like a sound server's, after an answer time, at most one per session in
// the air, held back by a stall; each level a session takes is remembered
// under its memory's name, as the servers remember every set.
#include "support/simulated/world.h"

#include "audio/handles.h"
#include "audio/volume_flights.h"

#include <cassert>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kMaxEndpoints = 16;
constexpr int kMaxWorldSessions = 1024;
constexpr int kMaxVolumeLog = 1 << 16;
constexpr int kMaxChanges = 16;
constexpr int kMaxMemories = 64;

struct WorldSession {
    int endpoint;
    uint32_t pid;
    float volume;
    bool ended;
    char memory_key[kMaxMemoryKey];  // empty: no memory
    // With answers that take time: the set in the air, when it lands, and
    // the level that waits for its answer.
    VolumeFlight flight;
    float in_air;
    uint64_t lands_at_ms;
    float waiting;
};

struct WorldChange {
    int nth;
    void (*action)();
};

// What the platform remembers under a name: the level of the last set of
// any session under it, or the last write.
struct Memory {
    char key[kMaxMemoryKey];
    float level;
};

struct Sessions {
    int endpoints;
    WorldSession list[kMaxWorldSessions];
    int total;
    SimVolumeSet volume_log[kMaxVolumeLog];
    int volume_log_total;
    int enumerators_created;
    WorldChange before_enumerations[kMaxChanges];
    int before_enumeration_total;
    WorldChange after_sets[kMaxChanges];
    int after_set_total;
    Memory memories[kMaxMemories];
    int memory_total;
    bool memory_unwritable;  // as on Windows
    char memory_writes[1 << 14];
    unsigned set_cost_ms;
    unsigned answer_ms;        // 0: a set lands and is confirmed at once
    uint64_t stall_from_ms;    // nothing is answered from here...
    uint64_t stall_until_ms;   // ...until here
    uint64_t last_answer_ms;   // progress, as the Linux backend measures it
    int sets_in_flight;
    bool set_refused;  // since the last confirmation
    // A user's set due at a moment of the virtual clock (session -1: none).
    int user_session;
    float user_volume;
    uint64_t user_at_ms;
};
Sessions g_sessions;

// The index-th live session of an endpoint, in the order they were added.
int session_of_endpoint(int endpoint, unsigned index)
{
    unsigned seen = 0;
    for (int id = 0; id < g_sessions.total; ++id) {
        const WorldSession& s = g_sessions.list[id];
        if (s.endpoint != endpoint || s.ended)
            continue;
        if (seen++ == index)
            return id;
    }
    return -1;
}

Memory* memory_named(const char* key)
{
    for (int i = 0; i < g_sessions.memory_total; ++i) {
        if (std::strcmp(g_sessions.memories[i].key, key) == 0)
            return &g_sessions.memories[i];
    }
    return nullptr;
}

void remember(const char* key, float level)
{
    if (!key[0])
        return;
    Memory* memory = memory_named(key);
    if (!memory && g_sessions.memory_total < kMaxMemories) {
        memory = &g_sessions.memories[g_sessions.memory_total++];
        std::snprintf(memory->key, sizeof memory->key, "%s", key);
    }
    if (memory)
        memory->level = level;
}

// A session's whole level, as Windows has it: the master volume's bits.
SessionLevel level_of(float volume)
{
    SessionLevel level{};
    level.channels = 1;
    std::memcpy(&level.values[0], &volume, sizeof volume);
    return level;
}

float volume_of(const SessionLevel& level)
{
    float volume = 0.0f;
    std::memcpy(&volume, &level.values[0], sizeof volume);
    return volume;
}

// Logs a set as it begins, then runs the actions due once it was made.
void log_set(int id, float level, bool accepted)
{
    if (g_sessions.volume_log_total < kMaxVolumeLog)
        g_sessions.volume_log[g_sessions.volume_log_total++] = {
            id, level, clock_now(), accepted, keeper_transcript_length(), shared_tables_written()};
    for (int i = 0; i < g_sessions.after_set_total; ++i) {
        if (g_sessions.after_sets[i].nth == g_sessions.volume_log_total)
            g_sessions.after_sets[i].action();
    }
}

// When something due at `due` is answered: a stall holds it to the stall's end.
uint64_t answered_at(uint64_t due)
{
    return due >= g_sessions.stall_from_ms && due < g_sessions.stall_until_ms
               ? g_sessions.stall_until_ms
               : due;
}

void send_set(int id, float level)
{
    WorldSession& session = g_sessions.list[id];
    if (g_sessions.sets_in_flight++ == 0)
        g_sessions.last_answer_ms = clock_now();
    session.in_air = level;
    session.lands_at_ms = clock_now() + g_sessions.answer_ms;
    log_set(id, level, level >= 0.0f && level <= 1.0f);
}

// The earliest moment an answer is due; 0 with nothing in flight.
uint64_t next_answer()
{
    uint64_t earliest = 0;
    for (int id = 0; id < g_sessions.total; ++id) {
        const WorldSession& session = g_sessions.list[id];
        const uint64_t at = answered_at(session.lands_at_ms);
        if (session.flight.in_flight && (earliest == 0 || at < earliest))
            earliest = at;
    }
    return earliest;
}

// Each stream whose answer came and has a level waiting sends it; true
// when one went out.
bool send_waiting_levels()
{
    bool sent = false;
    for (int id = 0; id < g_sessions.total; ++id) {
        WorldSession& session = g_sessions.list[id];
        if (flight_take_waiting(session.flight)) {
            send_set(id, session.waiting);
            sent = true;
        }
    }
    return sent;
}

// A connection given up: what was in the air is lost.
void drop_flights()
{
    for (int id = 0; id < g_sessions.total; ++id)
        g_sessions.list[id].flight = {};
    g_sessions.sets_in_flight = 0;
}

}  // namespace

void deliver_answers(uint64_t now)
{
    // Answers due before the user's set land before it, the rest after.
    if (g_sessions.user_session >= 0 && g_sessions.user_at_ms <= now) {
        const int session = g_sessions.user_session;
        g_sessions.user_session = -1;
        deliver_answers(g_sessions.user_at_ms);
        sim_set_session_volume(session, g_sessions.user_volume);
    }
    const uint64_t clock = clock_now();
    for (int id = 0; id < g_sessions.total; ++id) {
        WorldSession& session = g_sessions.list[id];
        while (session.flight.in_flight && answered_at(session.lands_at_ms) <= now) {
            clock_now() = answered_at(session.lands_at_ms);
            if (session.in_air >= 0.0f && session.in_air <= 1.0f) {
                session.volume = session.in_air;
                remember(session.memory_key, session.volume);
            }
            --g_sessions.sets_in_flight;
            g_sessions.last_answer_ms = clock_now();
            flight_answered(session.flight);
        }
    }
    clock_now() = clock;
}

void end_sessions_of(uint32_t pid)
{
    for (int id = 0; id < g_sessions.total; ++id) {
        if (g_sessions.list[id].pid == pid)
            g_sessions.list[id].ended = true;
    }
}

void reset_sessions()
{
    std::memset(&g_sessions, 0, sizeof g_sessions);
    g_sessions.user_session = -1;
}

// ---- the platform operations ------------------------------------------

DeviceEnumerator* create_device_enumerator()
{
    ++g_sessions.enumerators_created;
    for (int i = 0; i < g_sessions.before_enumeration_total; ++i) {
        if (g_sessions.before_enumerations[i].nth == g_sessions.enumerators_created)
            g_sessions.before_enumerations[i].action();
    }
    if (fails(SimOp::kCreateEnumerator))
        return nullptr;
    return handle<DeviceEnumerator>(obtain(Kind::kEnumerator, 0));
}

EndpointCollection* active_playback_endpoints(DeviceEnumerator* enumerator)
{
    object_behind(enumerator, Kind::kEnumerator);
    if (fails(SimOp::kActiveEndpoints))
        return nullptr;
    // A stalled server answers the listing when the stall ends, or never
    // within the wait's limit.
    const uint64_t answered = answered_at(clock_now());
    if (answered - clock_now() > kNoAnswerLimitMs) {
        clock_now() += kNoAnswerLimitMs;
        return nullptr;
    }
    clock_now() = answered;
    return handle<EndpointCollection>(obtain(Kind::kEndpoints, 0));
}

bool endpoint_count(EndpointCollection* endpoints, unsigned* count)
{
    object_behind(endpoints, Kind::kEndpoints);
    if (fails(SimOp::kEndpointCount))
        return false;
    *count = static_cast<unsigned>(g_sessions.endpoints);
    return true;
}

Endpoint* endpoint_at(EndpointCollection* endpoints, unsigned index)
{
    object_behind(endpoints, Kind::kEndpoints);
    const int endpoint = static_cast<int>(index);
    if (fails(SimOp::kEndpointAt, endpoint) || endpoint >= g_sessions.endpoints)
        return nullptr;
    return handle<Endpoint>(obtain(Kind::kEndpoint, endpoint));
}

SessionManager* activate_session_manager(Endpoint* endpoint)
{
    const int index = object_behind(endpoint, Kind::kEndpoint).target;
    if (fails(SimOp::kActivateManager, index))
        return nullptr;
    return handle<SessionManager>(obtain(Kind::kManager, index));
}

SessionEnumerator* session_enumerator(SessionManager* manager)
{
    const int index = object_behind(manager, Kind::kManager).target;
    if (fails(SimOp::kSessionEnumerator, index))
        return nullptr;
    return handle<SessionEnumerator>(obtain(Kind::kSessions, index));
}

bool enumerator_session_count(SessionEnumerator* sessions, unsigned* count)
{
    const int endpoint = object_behind(sessions, Kind::kSessions).target;
    if (fails(SimOp::kSessionCount, endpoint))
        return false;
    *count = 0;
    while (session_of_endpoint(endpoint, *count) >= 0)
        ++*count;
    return true;
}

SessionControl* session_control_at(SessionEnumerator* sessions, unsigned index)
{
    const int endpoint = object_behind(sessions, Kind::kSessions).target;
    const int id = session_of_endpoint(endpoint, index);
    if (id < 0 || fails(SimOp::kSessionControlAt, id))
        return nullptr;
    return handle<SessionControl>(obtain(Kind::kControl, id));
}

SessionControl2* query_session_control2(SessionControl* control)
{
    const int id = object_behind(control, Kind::kControl).target;
    if (fails(SimOp::kQueryControl2, id))
        return nullptr;
    return handle<SessionControl2>(obtain(Kind::kControl2, id));
}

bool session_process_id(SessionControl2* control, uint32_t* pid)
{
    const int id = object_behind(control, Kind::kControl2).target;
    if (fails(SimOp::kProcessId, id))
        return false;
    *pid = g_sessions.list[id].pid;
    return true;
}

bool session_instance(SessionControl2* control, uint64_t* instance)
{
    const int id = object_behind(control, Kind::kControl2).target;
    if (fails(SimOp::kSessionInstance, id))
        return false;
    *instance = static_cast<uint64_t>(id) + 1;
    return true;
}

bool session_memory_key(SessionControl2* control, char* key)
{
    const WorldSession& session = g_sessions.list[object_behind(control, Kind::kControl2).target];
    note_call();
    if (!session.memory_key[0])
        return false;
    std::memcpy(key, session.memory_key, kMaxMemoryKey);
    return true;
}

VolumeControl* query_volume_control(SessionControl* control)
{
    const int id = object_behind(control, Kind::kControl).target;
    if (fails(SimOp::kQueryVolume, id))
        return nullptr;
    return handle<VolumeControl>(obtain(Kind::kVolume, id));
}

bool get_master_volume(VolumeControl* volume, float* level)
{
    const int id = object_behind(volume, Kind::kVolume).target;
    if (fails(SimOp::kGetVolume, id))
        return false;
    *level = g_sessions.list[id].volume;
    return true;
}

// Reads are live, as on Windows.
bool refresh_session_levels()
{
    return true;
}

bool get_session_level(VolumeControl* volume, SessionLevel* level)
{
    const int id = object_behind(volume, Kind::kVolume).target;
    if (fails(SimOp::kGetVolume, id))
        return false;
    *level = level_of(g_sessions.list[id].volume);
    return true;
}

bool get_session_mute(VolumeControl* volume, bool* muted)
{
    object_behind(volume, Kind::kVolume);
    note_call();
    *muted = false;
    return true;
}

// As on Windows, a level is one channel.
float channel_loudness(const SessionLevel&, int)
{
    return 1.0f;
}

void set_session_level(VolumeControl* volume, const SessionLevel& own, float share)
{
    const int id = object_behind(volume, Kind::kVolume).target;
    WorldSession& session = g_sessions.list[id];
    const float level = volume_of(own) * share;  // exact at a share of 1
    if (g_sessions.answer_ms > 0) {
        if (fails(SimOp::kSetVolume, id))
            g_sessions.set_refused = true;
        else if (flight_send(session.flight))
            send_set(id, level);
        else
            session.waiting = level;  // goes out with the next set or the confirm
        return;
    }
    const bool accepted = !fails(SimOp::kSetVolume, id) && level >= 0.0f && level <= 1.0f;
    if (accepted) {
        session.volume = level;
        remember(session.memory_key, level);
    } else {
        g_sessions.set_refused = true;
    }
    const uint64_t began = clock_now();
    clock_now() += g_sessions.set_cost_ms;
    // Logged as it began.
    if (g_sessions.volume_log_total < kMaxVolumeLog)
        g_sessions.volume_log[g_sessions.volume_log_total++] = {
            id, level, began, accepted, keeper_transcript_length(), shared_tables_written()};
    for (int i = 0; i < g_sessions.after_set_total; ++i) {
        if (g_sessions.after_sets[i].nth == g_sessions.volume_log_total)
            g_sessions.after_sets[i].action();
    }
}

void drop_unsent_level(VolumeControl* volume)
{
    g_sessions.list[object_behind(volume, Kind::kVolume).target].flight.waiting = false;
}

bool confirm_volume_changes()
{
    // Waits answer by answer, sending each level that waited once its
    // stream's answer is in; silence past the limit drops what is in the air.
    while (send_waiting_levels() || g_sessions.sets_in_flight > 0) {
        const uint64_t next = next_answer();
        if (next > g_sessions.last_answer_ms + kNoAnswerLimitMs) {
            clock_now() = g_sessions.last_answer_ms + kNoAnswerLimitMs;
            drop_flights();
            g_sessions.set_refused = false;
            return false;
        }
        if (next > clock_now())
            clock_now() = next;
        deliver_answers(clock_now());
    }
    const bool refused = g_sessions.set_refused;
    g_sessions.set_refused = false;
    return !refused && !fails(SimOp::kConfirmChanges);
}

bool volume_memory_writable()
{
    note_call();
    return !g_sessions.memory_unwritable;
}

void write_volume_memory(const VolumeMemory& memory)
{
    note_call();
    assert(!g_sessions.memory_unwritable);
    char entry[kMaxMemoryKey + 32];
    std::snprintf(entry, sizeof entry, "%s=%.2f", memory.key,
                  static_cast<double>(volume_of(memory.level)));
    log_text(g_sessions.memory_writes, sizeof g_sessions.memory_writes, entry, ' ');
    remember(memory.key, volume_of(memory.level));
}

void release(DeviceEnumerator* object) { drop(object, Kind::kEnumerator); }
void release(EndpointCollection* object) { drop(object, Kind::kEndpoints); }
void release(Endpoint* object) { drop(object, Kind::kEndpoint); }
void release(SessionManager* object) { drop(object, Kind::kManager); }
void release(SessionEnumerator* object) { drop(object, Kind::kSessions); }
void release(SessionControl* object) { drop(object, Kind::kControl); }
void release(SessionControl2* object) { drop(object, Kind::kControl2); }
void release(VolumeControl* object) { drop(object, Kind::kVolume); }

// ---- test controls -----------------------------------------------------

int sim_add_endpoint()
{
    assert(g_sessions.endpoints < kMaxEndpoints);
    return g_sessions.endpoints++;
}

int sim_add_session(int endpoint, uint32_t pid, float volume)
{
    assert(endpoint >= 0 && endpoint < g_sessions.endpoints);
    assert(g_sessions.total < kMaxWorldSessions);
    g_sessions.list[g_sessions.total] = {endpoint, pid, volume, false, "", {}, 0.0f, 0, 0.0f};
    return g_sessions.total++;
}

void sim_end_session(int session)
{
    g_sessions.list[session].ended = true;
}

void sim_before_enumeration(int nth, void (*action)())
{
    assert(g_sessions.before_enumeration_total < kMaxChanges);
    g_sessions.before_enumerations[g_sessions.before_enumeration_total++] = {nth, action};
}

void sim_after_volume_set(int nth, void (*action)())
{
    assert(g_sessions.after_set_total < kMaxChanges);
    g_sessions.after_sets[g_sessions.after_set_total++] = {nth, action};
}

void sim_set_session_memory(int session, const char* key)
{
    std::snprintf(g_sessions.list[session].memory_key, kMaxMemoryKey, "%s", key);
}

int sim_add_session_from_memory(int endpoint, uint32_t pid, const char* key, float otherwise)
{
    const Memory* memory = memory_named(key);
    const int session = sim_add_session(endpoint, pid, memory ? memory->level : otherwise);
    sim_set_session_memory(session, key);
    return session;
}

void sim_set_memory_unwritable() { g_sessions.memory_unwritable = true; }
const char* sim_memory_writes() { return g_sessions.memory_writes; }
void sim_set_volume_set_cost(unsigned milliseconds) { g_sessions.set_cost_ms = milliseconds; }
void sim_set_answer_time(unsigned milliseconds) { g_sessions.answer_ms = milliseconds; }

void sim_stall_answers(uint64_t from_ms, uint64_t until_ms)
{
    g_sessions.stall_from_ms = from_ms;
    g_sessions.stall_until_ms = until_ms;
}

SessionLevel sim_level(float volume) { return level_of(volume); }
float sim_session_volume(int session) { return g_sessions.list[session].volume; }

void sim_set_session_volume(int session, float volume)
{
    g_sessions.list[session].volume = volume;
    remember(g_sessions.list[session].memory_key, volume);
}

void sim_set_session_volume_at(int session, float volume, uint64_t at_ms)
{
    g_sessions.user_session = session;
    g_sessions.user_volume = volume;
    g_sessions.user_at_ms = at_ms;
}

int sim_volume_set_count() { return g_sessions.volume_log_total; }
const SimVolumeSet& sim_volume_set(int index) { return g_sessions.volume_log[index]; }
void sim_clear_volume_log() { g_sessions.volume_log_total = 0; }
int sim_enumerators_created() { return g_sessions.enumerators_created; }
