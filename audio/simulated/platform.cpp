// The simulated platform: the same operations as the Windows layer over an
// in-memory world. It takes no shortcut the real platform would not take:
// every handle holds a reference that must be released exactly once.
#include "audio/simulated/platform.h"

#include "audio/handles.h"
#include "audio/volume_flights.h"

#include <cassert>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kMaxEndpoints = 16;
constexpr int kMaxWorldSessions = 1024;
constexpr int kMaxProcesses = 2048;
constexpr int kMaxFailures = 64;
constexpr int kMaxVolumeLog = 1 << 16;
constexpr int kHandlePool = 1 << 16;

enum class Kind : uint8_t {
    kFree, kEnumerator, kEndpoints, kEndpoint, kManager, kSessions, kControl,
    kControl2, kVolume, kSnapshot
};

// One handed-out reference. target is the endpoint index or session id it
// stands for; cursor walks a snapshot.
struct SimObject {
    Kind kind;
    int refs;
    int target;
    int cursor;
};

struct WorldSession {
    int endpoint;
    uint32_t pid;
    float volume;
    bool ended;
    char memory_key[kMaxMemoryKey];  // empty: no memory
    // With answers that take time: the set in the air, and when it lands.
    VolumeFlight flight;
    float in_air;
    uint64_t lands_at_ms;
};

struct WorldProcess {
    uint32_t pid;
    uint32_t parent;  // 0: none known
    uint64_t started;
    Utf16Char exe[kMaxExeName];
    bool ended;
};

struct Failure {
    SimOp op;
    int target;
};

struct WorldChange {
    int nth;
    void (*action)();
};
constexpr int kMaxChanges = 16;

// What the platform remembers under a name: the level of the last set of
// any session under it, or the last write.
struct Memory {
    char key[kMaxMemoryKey];
    float level;
};
constexpr int kMaxMemories = 64;

struct World {
    int endpoints;
    WorldSession sessions[kMaxWorldSessions];
    int session_total;
    WorldProcess processes[kMaxProcesses];
    int process_total;
    uint32_t own_pid;
    uint32_t own_parent;
    Failure failures[kMaxFailures];
    int failure_total;
    SimVolumeSet volume_log[kMaxVolumeLog];
    int volume_log_total;
    uint64_t clock_ms;
    int sleeps;
    int next_handle;
    int handles_touched;  // slots below this may be in use
    int obtained;
    int live;
    int extra_releases;
    int snapshots_taken;
    int enumerators_created;
    bool interrupted;
    WorldChange changes[kMaxChanges];
    int change_total;
    WorldChange after_sets[kMaxChanges];
    int after_set_total;
    Memory memories[kMaxMemories];
    int memory_total;
    bool memory_unwritable;  // as on Windows
    int joins;
    int leaves;
    int calls_after_leave;
    char memory_writes[1 << 14];
    char keeper_transcript[1 << 16];
    const char* keeper_feed;
    int keepers_running;
    int keeper_tells;
    bool names_without_extensions;
    unsigned set_cost_ms;
    unsigned answer_ms;        // 0: a set lands and is confirmed at once
    uint64_t stall_from_ms;    // nothing is answered from here...
    uint64_t stall_until_ms;   // ...until here
    uint64_t last_answer_ms;   // progress, as the Linux backend measures it
    int sets_in_flight;
    bool set_refused;  // since the last confirmation
    bool keeper_dead;
    char shared_table[kSharedTableBytes];
    bool table_damaged;         // read as no whole copy, until written
    uint32_t turn_holder;       // another process that keeps the turn...
    uint64_t turn_kept_until;   // ...until the clock reads this
    bool turn_held;
    int shared_turns;
    int tables_written;
};

World g_world;
SimObject g_handles[kHandlePool];

void note_call()
{
    if (g_world.leaves > 0)
        ++g_world.calls_after_leave;
}

bool fails(SimOp op, int target = kSimAnyTarget)
{
    note_call();
    for (int i = 0; i < g_world.failure_total; ++i) {
        const Failure& f = g_world.failures[i];
        if (f.op == op && (f.target == kSimAnyTarget || f.target == target))
            return true;
    }
    return false;
}

// Hands out a fresh reference. Slots are reused round-robin over a large
// pool, so a late second release almost always finds its own slot freed.
SimObject* obtain(Kind kind, int target)
{
    for (int tries = 0; tries < kHandlePool; ++tries) {
        const int slot = g_world.next_handle;
        SimObject& object = g_handles[slot];
        g_world.next_handle = (slot + 1) % kHandlePool;
        if (g_world.handles_touched <= slot)
            g_world.handles_touched = slot + 1;
        if (object.refs == 0) {
            object = SimObject{kind, 1, target, 0};
            ++g_world.obtained;
            ++g_world.live;
            return &object;
        }
    }
    assert(false && "simulated handle pool exhausted");
    return nullptr;
}

template <typename Handle>
SimObject& object_of(Handle* opaque, Kind kind)
{
    SimObject* object = record<SimObject>(opaque);
    assert(object && object->kind == kind && object->refs > 0);
    (void)kind;
    return *object;
}

template <typename Handle>
void drop(Handle* opaque, Kind kind)
{
    note_call();
    SimObject* object = record<SimObject>(opaque);
    assert(object && object->kind == kind);
    (void)kind;
    if (object->refs == 0) {
        ++g_world.extra_releases;
        return;
    }
    if (--object->refs == 0)
        --g_world.live;
}

// The index-th live session of an endpoint, in the order they were added.
int session_of_endpoint(int endpoint, unsigned index)
{
    unsigned seen = 0;
    for (int id = 0; id < g_world.session_total; ++id) {
        const WorldSession& s = g_world.sessions[id];
        if (s.endpoint != endpoint || s.ended)
            continue;
        if (seen++ == index)
            return id;
    }
    return -1;
}

// Appends text and a separator to a fixed log, dropping what does not fit.
void log_text(char* log, size_t capacity, const char* text, char separator)
{
    const size_t used = std::strlen(log);
    const size_t length = std::strlen(text);
    if (used + length + 2 > capacity)
        return;
    std::memcpy(log + used, text, length);
    log[used + length] = separator;
    log[used + length + 1] = 0;
}

Memory* memory_named(const char* key)
{
    for (int i = 0; i < g_world.memory_total; ++i) {
        if (std::strcmp(g_world.memories[i].key, key) == 0)
            return &g_world.memories[i];
    }
    return nullptr;
}

// Every level a session takes by a set is remembered under its name, as
// the sound servers remember every client's set, ramp steps included.
void remember(const char* key, float level)
{
    if (!key[0])
        return;
    Memory* memory = memory_named(key);
    if (!memory && g_world.memory_total < kMaxMemories) {
        memory = &g_world.memories[g_world.memory_total++];
        std::snprintf(memory->key, sizeof memory->key, "%s", key);
    }
    if (memory)
        memory->level = level;
}

// Runs the actions due once the nth set was made (counting from 1).
void after_set()
{
    const int made = g_world.volume_log_total;
    for (int i = 0; i < g_world.after_set_total; ++i) {
        if (g_world.after_sets[i].nth == made)
            g_world.after_sets[i].action();
    }
}

// Moves the walk to the next live process; cursor - 1 is where it stands.
bool walk_from(SimObject& snapshot, uint32_t* pid)
{
    while (snapshot.cursor < g_world.process_total) {
        const WorldProcess& process = g_world.processes[snapshot.cursor++];
        if (!process.ended) {
            *pid = process.pid;
            return true;
        }
    }
    return false;
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

// When something due at `due` is answered: a stall holds it to the stall's end.
uint64_t answered_at(uint64_t due)
{
    return due >= g_world.stall_from_ms && due < g_world.stall_until_ms ? g_world.stall_until_ms
                                                                         : due;
}

void send_set(int id, float level)
{
    WorldSession& session = g_world.sessions[id];
    if (g_world.volume_log_total < kMaxVolumeLog)
        g_world.volume_log[g_world.volume_log_total++] = {
            id, level, g_world.clock_ms, level >= 0.0f && level <= 1.0f,
            static_cast<int>(std::strlen(g_world.keeper_transcript)), g_world.tables_written};
    if (g_world.sets_in_flight++ == 0)
        g_world.last_answer_ms = g_world.clock_ms;
    session.in_air = level;
    session.lands_at_ms = g_world.clock_ms + g_world.answer_ms;
    after_set();
}

// Lands every set whose answer is due by `now`; a level that waited for
// an answer goes out at that moment.
void deliver_answers(uint64_t now)
{
    const uint64_t clock = g_world.clock_ms;
    for (int id = 0; id < g_world.session_total; ++id) {
        WorldSession& session = g_world.sessions[id];
        while (session.flight.in_flight && answered_at(session.lands_at_ms) <= now) {
            g_world.clock_ms = answered_at(session.lands_at_ms);
            if (session.in_air >= 0.0f && session.in_air <= 1.0f) {
                session.volume = session.in_air;
                remember(session.memory_key, session.volume);
            }
            --g_world.sets_in_flight;
            g_world.last_answer_ms = g_world.clock_ms;
            float next = 0.0f;
            if (flight_answered(session.flight, &next))
                send_set(id, next);
        }
    }
    g_world.clock_ms = clock;
}

// The earliest moment an answer is due; 0 with nothing in flight.
uint64_t next_answer()
{
    uint64_t earliest = 0;
    for (int id = 0; id < g_world.session_total; ++id) {
        const WorldSession& session = g_world.sessions[id];
        const uint64_t at = answered_at(session.lands_at_ms);
        if (session.flight.in_flight && (earliest == 0 || at < earliest))
            earliest = at;
    }
    return earliest;
}

// A connection given up: what was in the air is lost.
void drop_flights()
{
    for (int id = 0; id < g_world.session_total; ++id)
        g_world.sessions[id].flight = {};
    g_world.sets_in_flight = 0;
}

}  // namespace

// ---- the platform operations ------------------------------------------

void join_object_runtime()
{
    ++g_world.joins;
}

void leave_object_runtime()
{
    note_call();
    ++g_world.leaves;
}

DeviceEnumerator* create_device_enumerator()
{
    ++g_world.enumerators_created;
    for (int i = 0; i < g_world.change_total; ++i) {
        if (g_world.changes[i].nth == g_world.enumerators_created)
            g_world.changes[i].action();
    }
    if (fails(SimOp::kCreateEnumerator))
        return nullptr;
    return handle<DeviceEnumerator>(obtain(Kind::kEnumerator, 0));
}

EndpointCollection* active_playback_endpoints(DeviceEnumerator* enumerator)
{
    object_of(enumerator, Kind::kEnumerator);
    if (fails(SimOp::kActiveEndpoints))
        return nullptr;
    // A stalled server answers the listing when the stall ends, or never
    // within the wait's limit.
    const uint64_t answered = answered_at(g_world.clock_ms);
    if (answered - g_world.clock_ms > kNoAnswerLimitMs) {
        g_world.clock_ms += kNoAnswerLimitMs;
        return nullptr;
    }
    g_world.clock_ms = answered;
    return handle<EndpointCollection>(obtain(Kind::kEndpoints, 0));
}

bool endpoint_count(EndpointCollection* endpoints, unsigned* count)
{
    object_of(endpoints, Kind::kEndpoints);
    if (fails(SimOp::kEndpointCount))
        return false;
    *count = static_cast<unsigned>(g_world.endpoints);
    return true;
}

Endpoint* endpoint_at(EndpointCollection* endpoints, unsigned index)
{
    object_of(endpoints, Kind::kEndpoints);
    const int endpoint = static_cast<int>(index);
    if (fails(SimOp::kEndpointAt, endpoint) || endpoint >= g_world.endpoints)
        return nullptr;
    return handle<Endpoint>(obtain(Kind::kEndpoint, endpoint));
}

SessionManager* activate_session_manager(Endpoint* endpoint)
{
    const int index = object_of(endpoint, Kind::kEndpoint).target;
    if (fails(SimOp::kActivateManager, index))
        return nullptr;
    return handle<SessionManager>(obtain(Kind::kManager, index));
}

SessionEnumerator* session_enumerator(SessionManager* manager)
{
    const int index = object_of(manager, Kind::kManager).target;
    if (fails(SimOp::kSessionEnumerator, index))
        return nullptr;
    return handle<SessionEnumerator>(obtain(Kind::kSessions, index));
}

bool enumerator_session_count(SessionEnumerator* sessions, unsigned* count)
{
    const int endpoint = object_of(sessions, Kind::kSessions).target;
    if (fails(SimOp::kSessionCount, endpoint))
        return false;
    *count = 0;
    while (session_of_endpoint(endpoint, *count) >= 0)
        ++*count;
    return true;
}

SessionControl* session_control_at(SessionEnumerator* sessions, unsigned index)
{
    const int endpoint = object_of(sessions, Kind::kSessions).target;
    const int id = session_of_endpoint(endpoint, index);
    if (id < 0 || fails(SimOp::kSessionControlAt, id))
        return nullptr;
    return handle<SessionControl>(obtain(Kind::kControl, id));
}

SessionControl2* query_session_control2(SessionControl* control)
{
    const int id = object_of(control, Kind::kControl).target;
    if (fails(SimOp::kQueryControl2, id))
        return nullptr;
    return handle<SessionControl2>(obtain(Kind::kControl2, id));
}

bool session_process_id(SessionControl2* control, uint32_t* pid)
{
    const int id = object_of(control, Kind::kControl2).target;
    if (fails(SimOp::kProcessId, id))
        return false;
    *pid = g_world.sessions[id].pid;
    return true;
}

bool session_instance(SessionControl2* control, uint64_t* instance)
{
    const int id = object_of(control, Kind::kControl2).target;
    if (fails(SimOp::kSessionInstance, id))
        return false;
    *instance = static_cast<uint64_t>(id) + 1;
    return true;
}

VolumeControl* query_volume_control(SessionControl* control)
{
    const int id = object_of(control, Kind::kControl).target;
    if (fails(SimOp::kQueryVolume, id))
        return nullptr;
    return handle<VolumeControl>(obtain(Kind::kVolume, id));
}

bool get_master_volume(VolumeControl* volume, float* level)
{
    const int id = object_of(volume, Kind::kVolume).target;
    if (fails(SimOp::kGetVolume, id))
        return false;
    *level = g_world.sessions[id].volume;
    return true;
}

bool get_session_level(VolumeControl* volume, SessionLevel* level)
{
    const int id = object_of(volume, Kind::kVolume).target;
    if (fails(SimOp::kGetVolume, id))
        return false;
    *level = level_of(g_world.sessions[id].volume);
    return true;
}

void set_session_level(VolumeControl* volume, const SessionLevel& own, float share)
{
    const int id = object_of(volume, Kind::kVolume).target;
    const float level = volume_of(own) * share;  // exact at a share of 1
    if (g_world.answer_ms > 0) {
        if (fails(SimOp::kSetVolume, id))
            g_world.set_refused = true;
        else if (flight_send(g_world.sessions[id].flight, level))
            send_set(id, level);
        return;
    }
    const bool accepted = !fails(SimOp::kSetVolume, id) && level >= 0.0f && level <= 1.0f;
    if (accepted) {
        g_world.sessions[id].volume = level;
        remember(g_world.sessions[id].memory_key, level);
    } else {
        g_world.set_refused = true;
    }
    if (g_world.volume_log_total < kMaxVolumeLog)
        g_world.volume_log[g_world.volume_log_total++] = {
            id, level, g_world.clock_ms, accepted,
            static_cast<int>(std::strlen(g_world.keeper_transcript)), g_world.tables_written};
    g_world.clock_ms += g_world.set_cost_ms;  // the set is logged as it began
    after_set();
}

bool confirm_volume_changes()
{
    // Waits answer by answer; silence past the limit drops what is in the air.
    while (g_world.sets_in_flight > 0) {
        const uint64_t next = next_answer();
        if (next > g_world.last_answer_ms + kNoAnswerLimitMs) {
            g_world.clock_ms = g_world.last_answer_ms + kNoAnswerLimitMs;
            drop_flights();
            g_world.set_refused = false;
            return false;
        }
        if (next > g_world.clock_ms)
            g_world.clock_ms = next;
        deliver_answers(g_world.clock_ms);
    }
    const bool refused = g_world.set_refused;
    g_world.set_refused = false;
    return !refused && !fails(SimOp::kConfirmChanges);
}

bool session_memory_key(SessionControl2* control, char* key)
{
    const WorldSession& session = g_world.sessions[object_of(control, Kind::kControl2).target];
    note_call();
    if (!session.memory_key[0])
        return false;
    std::memcpy(key, session.memory_key, kMaxMemoryKey);
    return true;
}

bool get_session_mute(VolumeControl* volume, bool* muted)
{
    object_of(volume, Kind::kVolume);
    note_call();
    *muted = false;
    return true;
}

bool volume_memory_writable()
{
    note_call();
    return !g_world.memory_unwritable;
}

void write_volume_memory(const VolumeMemory& memory)
{
    note_call();
    assert(!g_world.memory_unwritable);
    char entry[kMaxMemoryKey + 32];
    std::snprintf(entry, sizeof entry, "%s=%.2f", memory.key,
                  static_cast<double>(volume_of(memory.level)));
    log_text(g_world.memory_writes, sizeof g_world.memory_writes, entry, ' ');
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

ProcessSnapshot* take_process_snapshot()
{
    if (fails(SimOp::kProcessSnapshot))
        return nullptr;
    ++g_world.snapshots_taken;
    return handle<ProcessSnapshot>(obtain(Kind::kSnapshot, 0));
}

bool first_process(ProcessSnapshot* snapshot, uint32_t* pid)
{
    SimObject& object = object_of(snapshot, Kind::kSnapshot);
    object.cursor = 0;
    return walk_from(object, pid);
}

bool next_process(ProcessSnapshot* snapshot, uint32_t* pid)
{
    return walk_from(object_of(snapshot, Kind::kSnapshot), pid);
}

void current_process_exe(ProcessSnapshot* snapshot, Utf16Char* exe_name)
{
    const SimObject& object = object_of(snapshot, Kind::kSnapshot);
    assert(object.cursor > 0);
    copy_text_bounded(exe_name, g_world.processes[object.cursor - 1].exe, kMaxExeName);
}

bool executable_names_have_extensions()
{
    return !g_world.names_without_extensions;
}

void close_process_snapshot(ProcessSnapshot* snapshot)
{
    drop(snapshot, Kind::kSnapshot);
}

uint32_t own_process_id()
{
    note_call();
    return g_world.own_pid;
}

bool process_start_time(uint32_t pid, uint64_t* started)
{
    note_call();
    if (pid == g_world.own_pid) {
        *started = 0;
        return true;
    }
    for (int i = 0; i < g_world.process_total; ++i) {
        if (g_world.processes[i].pid == pid && !g_world.processes[i].ended) {
            *started = g_world.processes[i].started;
            return true;
        }
    }
    return false;
}

bool process_parent(uint32_t pid, uint32_t* parent)
{
    note_call();
    *parent = 0;
    if (pid == g_world.own_pid)
        *parent = g_world.own_parent;
    for (int i = 0; i < g_world.process_total && *parent == 0; ++i) {
        if (g_world.processes[i].pid == pid && !g_world.processes[i].ended)
            *parent = g_world.processes[i].parent;
    }
    return *parent != 0;
}

TurnLock try_shared_turn(bool, uint32_t* holder)
{
    assert(!g_world.turn_held);
    *holder = 0;
    if (fails(SimOp::kSharedTurn))
        return TurnLock::kBroken;
    if (g_world.turn_holder != 0 && g_world.clock_ms < g_world.turn_kept_until) {
        *holder = g_world.turn_holder;
        return TurnLock::kBusy;
    }
    g_world.turn_held = true;
    ++g_world.shared_turns;
    return TurnLock::kTaken;
}

void give_shared_turn()
{
    note_call();
    assert(g_world.turn_held);
    g_world.turn_held = false;
}

TableRead read_shared_table(char* text, int capacity)
{
    text[0] = 0;
    if (fails(SimOp::kReadShared))
        return TableRead::kFailed;
    if (g_world.table_damaged)
        return TableRead::kDamaged;
    const size_t length = std::strlen(g_world.shared_table);
    if (length >= static_cast<size_t>(capacity))
        return TableRead::kDamaged;
    std::memcpy(text, g_world.shared_table, length + 1);
    return TableRead::kWhole;
}

bool write_shared_table(const char* text, int length)
{
    assert(g_world.turn_held);
    if (fails(SimOp::kWriteShared) || length >= static_cast<int>(sizeof g_world.shared_table))
        return false;
    std::memcpy(g_world.shared_table, text, static_cast<size_t>(length));
    g_world.shared_table[length] = 0;
    g_world.table_damaged = false;
    ++g_world.tables_written;
    return true;
}

void sleep_until(uint64_t deadline_ms)
{
    if (deadline_ms > g_world.clock_ms)
        g_world.clock_ms = deadline_ms;
    deliver_answers(g_world.clock_ms);
    ++g_world.sleeps;
}

bool input_interrupted()
{
    return g_world.interrupted;
}

uint64_t monotonic_ms()
{
    return g_world.clock_ms;
}

bool start_keeper(const char*, int)
{
    if (fails(SimOp::kStartKeeper))
        return false;
    ++g_world.keepers_running;
    log_text(g_world.keeper_transcript, sizeof g_world.keeper_transcript, "start", '\n');
    return true;
}

bool keeper_running()
{
    return g_world.keepers_running > 0 && !g_world.keeper_dead;
}

bool write_to_keeper(const char* bytes, int length)
{
    assert(g_world.keepers_running > 0);
    if (g_world.keeper_dead)
        return false;
    if (fails(SimOp::kTellKeeper, g_world.keeper_tells++))
        return false;
    // The transcript holds the bytes as written: records and their line feeds.
    char* log = g_world.keeper_transcript;
    const size_t used = std::strlen(log);
    if (used + static_cast<size_t>(length) < sizeof g_world.keeper_transcript) {
        std::memcpy(log + used, bytes, static_cast<size_t>(length));
        log[used + static_cast<size_t>(length)] = 0;
    }
    return true;
}

void stop_keeper()
{
    assert(g_world.keepers_running > 0);
    --g_world.keepers_running;
    g_world.keeper_dead = false;
    log_text(g_world.keeper_transcript, sizeof g_world.keeper_transcript, "stop", '\n');
}

void release_keeper()
{
    assert(g_world.keepers_running > 0);
    --g_world.keepers_running;
    log_text(g_world.keeper_transcript, sizeof g_world.keeper_transcript, "release", '\n');
}

bool keeper_connection_given(int, char**, const char*)
{
    return false;
}

int read_from_controller(char* into, int room)
{
    const char* feed = g_world.keeper_feed;
    int length = 0;
    while (feed && feed[length] && length < room) {
        into[length] = feed[length];
        ++length;
    }
    if (feed)
        g_world.keeper_feed = feed + length;
    return length;
}

// ---- test controls -----------------------------------------------------

void sim_reset()
{
    // Only the handle slots handed out since the last reset need clearing.
    std::memset(g_handles, 0, sizeof(SimObject) * static_cast<size_t>(g_world.handles_touched));
    std::memset(&g_world, 0, sizeof g_world);
    g_world.own_pid = kSimDefaultOwnPid;
}

int sim_add_endpoint()
{
    assert(g_world.endpoints < kMaxEndpoints);
    return g_world.endpoints++;
}

int sim_add_session(int endpoint, uint32_t pid, float volume)
{
    assert(endpoint >= 0 && endpoint < g_world.endpoints);
    assert(g_world.session_total < kMaxWorldSessions);
    g_world.sessions[g_world.session_total] = {endpoint, pid, volume, false, "", {}, 0.0f, 0};
    return g_world.session_total++;
}

void sim_end_session(int session)
{
    g_world.sessions[session].ended = true;
}

void sim_add_process(uint32_t pid, const char* exe_utf8)
{
    assert(g_world.process_total < kMaxProcesses);
    WorldProcess& process = g_world.processes[g_world.process_total++];
    process.pid = pid;
    process.parent = 0;
    process.started = static_cast<uint64_t>(g_world.process_total);
    process.ended = false;
    Utf16Char name[kMaxExeName * 4];
    if (utf8_to_utf16(exe_utf8, name, kMaxExeName * 4) <= 0)
        name[0] = 0;
    copy_text_bounded(process.exe, name, kMaxExeName);
}

void sim_end_process(uint32_t pid)
{
    for (int i = 0; i < g_world.process_total; ++i) {
        if (g_world.processes[i].pid == pid)
            g_world.processes[i].ended = true;
    }
    for (int id = 0; id < g_world.session_total; ++id) {
        if (g_world.sessions[id].pid == pid)
            g_world.sessions[id].ended = true;
    }
}

const char* sim_shared_table()
{
    return g_world.shared_table;
}

void sim_set_shared_table(const char* text)
{
    std::snprintf(g_world.shared_table, sizeof g_world.shared_table, "%s", text);
}

void sim_keep_turn_elsewhere(uint32_t holder, uint64_t until_ms)
{
    g_world.turn_holder = holder;
    g_world.turn_kept_until = until_ms;
}

void sim_damage_shared_table()
{
    g_world.table_damaged = true;
}

int sim_shared_turns()
{
    return g_world.shared_turns;
}

bool sim_shared_turn_held()
{
    return g_world.turn_held;
}

void sim_interrupt()
{
    g_world.interrupted = true;
}

void sim_set_own_pid(uint32_t pid)
{
    g_world.own_pid = pid;
}

void sim_set_parent(uint32_t pid, uint32_t parent)
{
    if (pid == g_world.own_pid)
        g_world.own_parent = parent;
    for (int i = 0; i < g_world.process_total; ++i) {
        if (g_world.processes[i].pid == pid && !g_world.processes[i].ended)
            g_world.processes[i].parent = parent;
    }
}

void sim_set_names_without_extensions()
{
    g_world.names_without_extensions = true;
}

void sim_before_enumeration(int nth, void (*action)())
{
    assert(g_world.change_total < kMaxChanges);
    g_world.changes[g_world.change_total++] = {nth, action};
}

void sim_fail(SimOp op, int target)
{
    assert(g_world.failure_total < kMaxFailures);
    g_world.failures[g_world.failure_total++] = {op, target};
}

void sim_heal(SimOp op)
{
    int kept = 0;
    for (int i = 0; i < g_world.failure_total; ++i) {
        if (g_world.failures[i].op != op)
            g_world.failures[kept++] = g_world.failures[i];
    }
    g_world.failure_total = kept;
}

void sim_set_session_memory(int session, const char* key)
{
    std::snprintf(g_world.sessions[session].memory_key, kMaxMemoryKey, "%s", key);
}

int sim_add_session_from_memory(int endpoint, uint32_t pid, const char* key, float otherwise)
{
    const Memory* memory = memory_named(key);
    const int session = sim_add_session(endpoint, pid, memory ? memory->level : otherwise);
    sim_set_session_memory(session, key);
    return session;
}

void sim_set_memory_unwritable()
{
    g_world.memory_unwritable = true;
}

void sim_after_volume_set(int nth, void (*action)())
{
    assert(g_world.after_set_total < kMaxChanges);
    g_world.after_sets[g_world.after_set_total++] = {nth, action};
}

const char* sim_memory_writes() { return g_world.memory_writes; }
const char* sim_keeper_transcript() { return g_world.keeper_transcript; }
void sim_feed_keeper(const char* records) { g_world.keeper_feed = records; }
int sim_keepers_running() { return g_world.keepers_running; }

void sim_kill_keeper()
{
    assert(g_world.keepers_running > 0);
    g_world.keeper_dead = true;
    log_text(g_world.keeper_transcript, sizeof g_world.keeper_transcript, "killed", '\n');
}

void sim_set_answer_time(unsigned milliseconds)
{
    g_world.answer_ms = milliseconds;
}

void sim_stall_answers(uint64_t from_ms, uint64_t until_ms)
{
    g_world.stall_from_ms = from_ms;
    g_world.stall_until_ms = until_ms;
}

void sim_set_volume_set_cost(unsigned milliseconds)
{
    g_world.set_cost_ms = milliseconds;
}

SessionLevel sim_level(float volume)
{
    return level_of(volume);
}

float sim_session_volume(int session)
{
    return g_world.sessions[session].volume;
}

void sim_set_session_volume(int session, float volume)
{
    g_world.sessions[session].volume = volume;
    remember(g_world.sessions[session].memory_key, volume);
}

int sim_volume_set_count() { return g_world.volume_log_total; }
const SimVolumeSet& sim_volume_set(int index) { return g_world.volume_log[index]; }
void sim_clear_volume_log() { g_world.volume_log_total = 0; }
uint64_t sim_clock_ms() { return g_world.clock_ms; }
int sim_sleep_count() { return g_world.sleeps; }
int sim_enumerators_created() { return g_world.enumerators_created; }
int sim_references_obtained() { return g_world.obtained; }
int sim_live_references() { return g_world.live; }
int sim_extra_releases() { return g_world.extra_releases; }
int sim_snapshots_taken() { return g_world.snapshots_taken; }
int sim_runtime_joins() { return g_world.joins; }
int sim_runtime_leaves() { return g_world.leaves; }
int sim_calls_after_leave() { return g_world.calls_after_leave; }

int sim_open_snapshots()
{
    int open = 0;
    for (const SimObject& object : g_handles) {
        if (object.kind == Kind::kSnapshot && object.refs > 0)
            ++open;
    }
    return open;
}
