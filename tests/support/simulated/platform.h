// Test-only controls of the simulated platform: an in-memory audio world
// that a test sets up, that can make any operation fail, that counts every
// reference handed out and logs every volume set, and whose sleep advances a
// virtual clock instead of waiting.
#pragma once

#include "audio/audio_platform.h"

#include <cstdint>

enum class SimOp {
    kCreateEnumerator,
    kActiveEndpoints,
    kEndpointCount,
    kEndpointAt,         // target: endpoint index
    kActivateManager,    // target: endpoint index
    kSessionEnumerator,  // target: endpoint index
    kSessionCount,       // target: endpoint index
    kSessionControlAt,   // target: session id
    kQueryControl2,      // target: session id
    kProcessId,          // target: session id
    kSessionInstance,    // target: session id
    kQueryVolume,        // target: session id
    kGetVolume,          // target: session id
    kSetVolume,          // target: session id
    kProcessSnapshot,
    kConfirmChanges,     // the platform does not confirm what was sent
    kStartKeeper,
    kTellKeeper,         // target: the tell's number, counting from 0
    kSharedTurn,         // the turn is broken: nowhere private to share
    kReadShared,
    kWriteShared,
    kOpCount
};

constexpr int kSimAnyTarget = -1;
constexpr uint32_t kSimDefaultOwnPid = 4242;

struct SimVolumeSet {
    int session;
    float level;
    uint64_t at_ms;  // virtual clock when it was set
    bool accepted;   // like Windows, levels outside 0.0..1.0 are refused
    int keeper_told;  // length of the keeper's transcript at that moment
    int tables_written;  // shared tables written by then
};

// An empty world: no endpoints, sessions or processes, clock at 0, no
// failures, all counters and logs cleared.
void sim_reset();

int sim_add_endpoint();  // returns its index, in collection order
int sim_add_session(int endpoint, uint32_t pid, float volume);  // returns its id
void sim_end_session(int session);
void sim_add_process(uint32_t pid, const char* exe_utf8);
void sim_end_process(uint32_t pid);
void sim_set_own_pid(uint32_t pid);
uint32_t sim_own_pid();
// The process that started a running one (this program's own included).
void sim_set_parent(uint32_t pid, uint32_t parent);
// Executable names are whole names, as on Linux (by default they carry an
// extension, as on Windows).
void sim_set_names_without_extensions();
// As if the user stopped the program (SIGTERM, Ctrl+C): input_interrupted()
// answers true from now on.
void sim_interrupt();

// Changes the world while a command loop runs: action runs just before the
// rebuild that creates the nth device enumerator (counting from 1), or
// just after the nth volume set went out (during a ramp, say).
void sim_before_enumeration(int nth, void (*action)());
void sim_after_volume_set(int nth, void (*action)());

// Makes op fail from now on, for one target or for all; sim_heal ends every
// failure of op (a server that comes back).
void sim_fail(SimOp op, int target = kSimAnyTarget);
void sim_heal(SimOp op);

// The session's volume is remembered by the platform under this name (one
// channel, its current volume); without one, the session has no memory.
// Every level a session takes is remembered under its name, as sound
// servers do, and so is every memory written.
void sim_set_session_memory(int session, const char* key);
// A new session under the name, at the level remembered under it (or
// `otherwise` when nothing is), as a player's next track starts.
int sim_add_session_from_memory(int endpoint, uint32_t pid, const char* key, float otherwise);
// Memories cannot be written apart from a live session, as on Windows.
void sim_set_memory_unwritable();
// Every memory written back, in order: "key=level" separated by spaces.
const char* sim_memory_writes();

// Each volume set takes this long on the virtual clock (a busy platform).
void sim_set_volume_set_cost(unsigned milliseconds);
// A platform that answers volume sets late, as a sound server does: each
// set lands and is answered this long after it goes out, at most one per
// session in the air (0, the default: at once). Only sets that go out are
// logged.
void sim_set_answer_time(unsigned milliseconds);
// Nothing (answers, listings) is answered from `from_ms` until `until_ms`
// on the virtual clock: a stopped server.
void sim_stall_answers(uint64_t from_ms, uint64_t until_ms);

float sim_session_volume(int session);
// The whole level the platform gives a session at this volume.
SessionLevel sim_level(float volume);
// As if the user (or another controller) moved it: the memory takes it too.
void sim_set_session_volume(int session, float volume);
// The same, once the virtual clock reaches at_ms: answers due earlier land
// before it, later ones after.
void sim_set_session_volume_at(int session, float volume, uint64_t at_ms);

int sim_volume_set_count();
const SimVolumeSet& sim_volume_set(int index);
void sim_clear_volume_log();

// The keeper: every start, record told, stop and release, one per line
// ("start", the record, "stop", "release"); and the records a keeper process reads, given as
// lines of text (the pipe ends after the last).
const char* sim_keeper_transcript();
void sim_feed_keeper(const char* records);
int sim_keepers_running();
// The running keeper dies (killed by someone); "killed" in the transcript.
void sim_kill_keeper();
// Each controller of the world (its own pid, sim_set_own_pid) has a keeper
// of its own: what that keeper's pipe holds since it started, and whether
// the controller let it go as it ended.
const char* sim_keeper_pipe();
bool sim_keeper_released();

// Several controllers: the table they share, as text ("" before the first
// write), and another controller, `holder`, that keeps the turn until the
// virtual clock reads `until_ms` (holder 0: nobody). A process's start time
// is its order of addition. A damaged table reads as no whole copy until
// it is written.
const char* sim_shared_table();
void sim_set_shared_table(const char* text);
void sim_damage_shared_table();
// The next write of the table is cut short: the copy before it stays.
void sim_tear_next_table_write();
void sim_keep_turn_elsewhere(uint32_t holder, uint64_t until_ms);
// Once that holder's time is up, another takes the turn and keeps it until
// the clock reads `until_ms`.
void sim_pass_turn_to(uint32_t holder, uint64_t until_ms);
// What that holder does as it gives the turn (writes the table it read,
// say), run when the turn is first asked for after its time.
void sim_when_turn_given(void (*action)());
int sim_shared_turns();  // taken so far
bool sim_shared_turn_held();

uint64_t sim_clock_ms();
// Runs before every sleep, as the program is about to wait (another
// process may run meanwhile); the clock then moves to the deadline, unless
// it has passed it.
void sim_on_sleep(void (*action)(uint64_t deadline_ms));
int sim_sleep_count();

int sim_enumerators_created();  // one per rebuild of the session table
int sim_references_obtained();
int sim_live_references();  // obtained and not yet released
int sim_extra_releases();   // releases of an object already released
int sim_snapshots_taken();
int sim_open_snapshots();
int sim_runtime_joins();
int sim_runtime_leaves();
int sim_calls_after_leave();  // platform calls made after leaving the runtime
