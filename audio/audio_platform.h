// The boundary between appduck's logic and the platform it runs on.
//
// Plain functions over opaque handles, one per platform operation the logic
// uses. Exactly one implementation is linked into each program: the Windows
// one (audio/windows: Core Audio, Toolhelp), the Linux one (audio/linux:
// libpulse, /proc), or the simulated one that tests drive, which lives
// beside them (tests/support/simulated).
// Everything above this header compiles unchanged for all three.
#pragma once

#include "text.h"

#include <cstdint>


// Opaque handles. Each one obtained holds one reference that the code that
// obtained it drops with release(), exactly once.
struct DeviceEnumerator;
struct EndpointCollection;
struct Endpoint;
struct SessionManager;
struct SessionEnumerator;
struct SessionControl;
struct SessionControl2;
struct VolumeControl;
struct ProcessSnapshot;

// Object runtime. The join's result is not tested; leave is called once, last.
void join_object_runtime();
void leave_object_runtime();

// Audio endpoints and sessions. A null handle means the call failed: a null
// enumerator or endpoint collection means the platform could not be asked
// at all (no sound server, a deadline passed), which is not the same as a
// platform that answered with no sessions.
DeviceEnumerator* create_device_enumerator();
EndpointCollection* active_playback_endpoints(DeviceEnumerator* enumerator);
bool endpoint_count(EndpointCollection* endpoints, unsigned* count);  // false: unreadable
Endpoint* endpoint_at(EndpointCollection* endpoints, unsigned index);
SessionManager* activate_session_manager(Endpoint* endpoint);
SessionEnumerator* session_enumerator(SessionManager* manager);
bool enumerator_session_count(SessionEnumerator* sessions, unsigned* count);  // likewise
SessionControl* session_control_at(SessionEnumerator* sessions, unsigned index);
SessionControl2* query_session_control2(SessionControl* control);
// False when unreadable; a session of no single process (Windows' system
// sounds) reads as pid 0.
bool session_process_id(SessionControl2* control, uint32_t* pid);
// Which session this is, stable from one rebuild to the next, never 0 and
// below 2^62, so that it travels as a decimal number:
// the sink input's index on Linux, a digest of the session's instance
// identifier on Windows. False where the platform cannot tell: the session
// is then known only by its process.
bool session_instance(SessionControl2* control, uint64_t* instance);
VolumeControl* query_volume_control(SessionControl* control);

// Volumes are linear amplitude factors: 0.0 is silent and 1.0 the
// application's full level; a sound server that amplifies a stream reports
// more than 1.0, and such a level is set back as it was read.
bool get_master_volume(VolumeControl* volume, float* level);
// Asks the platform again for the levels of the last rebuild's sessions, as
// they are now: someone else may have set one since. get_master_volume then
// gives those. False when they could not be read. (The Windows volume
// reads are live already.)
bool refresh_session_levels();

// A session's whole level in the platform's own units, carried exactly so
// that it can be put back to the last bit: on Linux each channel's raw
// volume and position, on Windows the master volume's bits on one channel.
constexpr int kMaxChannels = 32;
struct SessionLevel {
    int channels;
    uint8_t positions[kMaxChannels];  // the platform's channel positions
    uint32_t values[kMaxChannels];
};
bool get_session_level(VolumeControl* volume, SessionLevel* level);
// A channel's loudness as a share of the level's loudest channel, as linear
// amplitude factors: 1 for the loudest, and for every channel of a level
// with one.
float channel_loudness(const SessionLevel& level, int channel);
// Sends the session on its way to `own` scaled by `share` of its loudness,
// its balance kept; a share of exactly 1 sets `own` as it is. Does not wait
// for the platform's answer.
void set_session_level(VolumeControl* volume, const SessionLevel& own, float share);
// A level of set_session_level's that has not gone out yet (it waits for
// the session's previous set to be answered) never will: someone else set
// the session meanwhile.
void drop_unsent_level(VolumeControl* volume);
// Waits until every volume set and memory write made so far has been
// applied. False when that cannot be confirmed: the platform went away,
// refused a set, or answered nothing at all for kNoAnswerLimitMs.
bool confirm_volume_changes();
// A platform that confirms its changes late (a sound server) is waited for
// as long as it keeps answering; only silence this long gives up on it: a
// hung or stopped server, not a busy one still answering.
constexpr uint64_t kNoAnswerLimitMs = 2000;

// What the platform remembers of an application's volume for its future
// sessions, apart from any live session: PulseAudio's and WirePlumber's
// stream memory, under a name each stream carries; Windows' session volume,
// kept across a program's restarts under its session identifier. The name
// is read with the session; the level is the session's own.
constexpr int kMaxMemoryKey = 256;  // bytes of UTF-8 and a terminator
struct VolumeMemory {
    char key[kMaxMemoryKey];  // empty: none
    bool muted;
    SessionLevel level;
};
// The name this session's volume is remembered under, at most
// kMaxMemoryKey - 1 bytes and a terminator; false when the platform keeps
// none for it (or cannot tell).
bool session_memory_key(SessionControl2* control, char* key);
bool get_session_mute(VolumeControl* volume, bool* muted);
// Whether a memory can be written apart from any live session: the sound
// servers' can; Windows keeps a session's volume only by its own sets.
bool volume_memory_writable();
// Puts the memory back as given, for the application's next sessions and
// its live ones under the same name. Sent without waiting: see
// confirm_volume_changes.
void write_volume_memory(const VolumeMemory& memory);

void release(DeviceEnumerator* object);
void release(EndpointCollection* object);
void release(Endpoint* object);
void release(SessionManager* object);
void release(SessionEnumerator* object);
void release(SessionControl* object);
void release(SessionControl2* object);
void release(VolumeControl* object);

// Process snapshot: a walk over every running process. A null snapshot
// means none could be taken; one snapshot is open at a time. The walk gives
// process ids; the name is read only for the process the walk stands on.
ProcessSnapshot* take_process_snapshot();
bool first_process(ProcessSnapshot* snapshot, uint32_t* pid);
bool next_process(ProcessSnapshot* snapshot, uint32_t* pid);
// The executable's file name, without directory; at most kMaxExeName - 1
// units and a terminator.
void current_process_exe(ProcessSnapshot* snapshot, Utf16Char* exe_name);
// Whether executable names end in an extension that is not part of the
// application's name: Windows' "player.exe" is the application "player",
// while on Linux "radio.fm" or "python3.11" is the name itself.
bool executable_names_have_extensions();
void close_process_snapshot(ProcessSnapshot* snapshot);

// Kernel services.
uint32_t own_process_id();
// When a running process started, so that a reused process id is not taken
// for it; false when no such process runs.
bool process_start_time(uint32_t pid, uint64_t* started);
// The process that started a running process; false when it cannot be told
// (no such process, or none started it).
bool process_parent(uint32_t pid, uint32_t* parent);
// A clock that only moves forward, in milliseconds from an arbitrary start.
uint64_t monotonic_ms();
// Waits until that clock reads the deadline (at once when it has passed),
// to within a millisecond; work the platform has in flight (volume sets on
// their way to a sound server) goes on meanwhile.
void sleep_until(uint64_t deadline_ms);
// True once the user asked the program to stop (a signal, say): the command
// loop then treats its input as ended, so what is ducked gets restored.
bool input_interrupted();

// The keeper: a second process of this program, started before the first
// volume is lowered, that restores what this process saved if it ends
// without doing so. The platform only starts it and moves bytes between
// the two over a pipe the keeper alone reads; what the bytes say is
// ducking's. The keeper has none of our standard handles, a session or
// console of its own, and no audio connection until it restores.
//
// In this process: start it, this program run with `marker` as its one
// argument and a pipe of at least `pipe_bytes` (false: none could be
// started); write bytes to it, all of them in one write or none, never
// waiting (false: not delivered, the keeper being gone or behind); end it
// before it can act on what it holds (a keeper that missed a record); or,
// as the program ends, let it go: our end of its pipe closes.
bool start_keeper(const char* marker, int pipe_bytes);
// False once the keeper we started has ended (killed by someone, say); an
// ended keeper is reaped here, and stop_keeper then only closes its pipe.
bool keeper_running();
bool write_to_keeper(const char* bytes, int length);
void stop_keeper();
void release_keeper();
// In the keeper: true when this process was started as one, with a working
// pipe (the marker without the pipe runs the normal program); then what the
// pipe has, at most `room` bytes, and 0 or less once it has ended.
bool keeper_connection_given(int argc, char** argv, const char* marker);
int read_from_controller(char* into, int room);

// Several controllers of one sound server take turns at changing levels and
// share a table of what they hold (ducking/sharing/shared_holds.h). The table lives
// where only this user can reach it, named after the sound server, so that
// separate servers never share one; the turn is a lock the system drops
// when its holder dies.
enum class TurnLock {
    kTaken,
    kBusy,    // another process has it
    kBroken,  // nowhere private to share, or the lock failed
};
// Takes the turn if it is free, making the table first where there is none
// and `make` (a controller that holds nothing makes none). Busy: `holder`
// names the process that has it (0 when the system cannot tell). Broken:
// why is said under APPDUCK_DEBUG, but for a table not made.
TurnLock try_shared_turn(bool make, uint32_t* holder);
void give_shared_turn();
enum class TableRead {
    kWhole,    // the newest whole copy (empty before the first write)
    kDamaged,  // no whole copy there: garbage, or a write cut short
    kFailed,   // it cannot be read (why is said)
};
// The longest table text the platform keeps, its terminator included.
constexpr int kSharedTableBytes = 256 * 1024 - 128;
// With or without the turn: the table as text, at most capacity - 1 bytes,
// and its generation, which moves with every write made whole.
TableRead read_shared_table(char* text, int capacity, uint64_t* generation);
// The table's generation as it is now, its text not read; false when it
// cannot be told.
bool shared_table_generation(uint64_t* generation);
// Within the turn, or without it once its holder kept it past any change's
// time: a new copy beside the last whole one, never over it; false (why is
// said) when it was not written whole.
bool write_shared_table(const char* text, int length);
