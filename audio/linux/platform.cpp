// The Linux backend: audio sessions over libpulse, the clock, the sleep that
// keeps the sound server's connection running, and the signals that end the
// input. (Process names are read from /proc in processes.cpp, the keeper is
// started in keeper.cpp; neither calls back into this file.)
//
// Audio sessions on Linux over libpulse, which serves PulseAudio and
// PipeWire's pulse server alike. Playback endpoints are the server's sinks;
// an endpoint's sessions are the sink inputs playing to it, owned by the
// process in their application.process.id property. A volume is one linear
// amplitude factor over the stream's loudest channel; a session's whole
// level is its raw channel volumes and channel map.
//
// Every question is synchronous: start an operation, run the main loop until
// it is done (or a deadline passes), unref it. The server is asked once per
// rebuild for its sinks and sink inputs; the handles point into that copy.
// Streams on no sink (not linked yet, or their sink went away) are the
// sessions of one more endpoint: PipeWire takes their volume all the same.
// Volume sets and memory writes are sent without waiting; the main loop
// carries them to the server while we sleep, and confirm_volume_changes
// waits for the last answers. A stream has at most one set in flight: the
// server is never asked for more than it can take (volume_flights.h).
#include "audio/audio_platform.h"
#include "audio/decimal.h"
#include "audio/handles.h"
#include "audio/volume_flights.h"
#include "audio/diagnostics.h"
#include "audio/linux/backend.h"
#include "audio/linux/pulse_library.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kMaxSinks = 64;
constexpr int kMaxSinkInputs = 1024;
// A server that hangs must not hang us: a wait fails once nothing at all
// has come from the server for this long, however long a busy one takes.
constexpr long long kDeadlineUs = static_cast<long long>(kNoAnswerLimitMs) * 1000;

// Where each sink input's volume is remembered for the application's next
// streams; both PulseAudio and PipeWire's pulse server set it.
constexpr char kMemoryKeyProperty[] = "module-stream-restore.id";

struct SinkRecord {
    uint32_t index;
};

struct SinkInputRecord {
    uint32_t index;
    uint32_t sink;
    uint32_t pid;  // 0 when the stream does not tell
    pa_cvolume volume;
    pa_channel_map map;
    bool has_volume;
    bool writable;
    bool muted;
    char memory_key[kMaxMemoryKey];  // empty when the server keeps none
    VolumeFlight flight;
    pa_cvolume waiting;  // the volume that waits for the set in flight
};

struct Pulse {
    pa_mainloop* mainloop;
    pa_context* context;
    SinkRecord sinks[kMaxSinks + 1];  // and the streams on no sink
    int sink_count;
    SinkInputRecord inputs[kMaxSinkInputs];
    int input_count;
    bool list_failed;
    int changes_in_flight;  // volume sets and memory writes not yet answered
    bool changes_lost;      // some could not be sent, or their answers never came
    long long last_progress_us;  // when the server last answered anything
};
Pulse g_pulse;

// ---- the clock and the signals that end the input ----------------------

// CLOCK_MONOTONIC in microseconds: the backend's one clock.
long long monotonic_us()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

volatile sig_atomic_t g_stop_requested = 0;
int g_null_input = -1;
int g_blocking_output_flags = -1;  // a pipe or socket on standard output

// Runs on whatever the thread was doing; only async-signal-safe calls. The
// pending read returns early (no SA_RESTART) and every later read finds the
// end of input, so the command thread winds down by itself.
void on_stop_signal(int)
{
    g_stop_requested = 1;
    if (g_null_input >= 0)
        dup2(g_null_input, STDIN_FILENO);
    // A controller that stopped reading must not hold up the restore or
    // the exit: a reply that finds the pipe full from now on is dropped.
    if (g_blocking_output_flags >= 0)
        fcntl(STDOUT_FILENO, F_SETFL, g_blocking_output_flags | O_NONBLOCK);
}

// SIGINT, SIGQUIT, SIGTERM and SIGHUP end the input; SIGPIPE is ignored, so
// that a controller that closed our output still gets its applications
// restored when our input ends.
void install_stop_signals()
{
    g_null_input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    // Only a pipe or a socket is ours alone to make non-blocking: a
    // terminal's flags are shared with the shell that outlives us.
    struct stat output;
    if (fstat(STDOUT_FILENO, &output) == 0 && (S_ISFIFO(output.st_mode) || S_ISSOCK(output.st_mode)))
        g_blocking_output_flags = fcntl(STDOUT_FILENO, F_GETFL);
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGQUIT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// The keeper, restoring, takes SIGTERM as a request to stop after one last
// attempt (input_interrupted); until then it ignores every stop signal.
void install_keeper_stop_signal()
{
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
}

// Runs the main loop once, waiting no later than the deadline.
bool iterate_until(long long deadline)
{
    const long long left = deadline - monotonic_us();
    if (left <= 0)
        return false;
    return pulse.pa_mainloop_prepare(g_pulse.mainloop, static_cast<int>(left)) >= 0 &&
           pulse.pa_mainloop_poll(g_pulse.mainloop) >= 0 &&
           pulse.pa_mainloop_dispatch(g_pulse.mainloop) >= 0;
}

// Dispatches whatever has arrived, without waiting.
void iterate_pending()
{
    while (pulse.pa_mainloop_iterate(g_pulse.mainloop, 0, nullptr) > 0) {
    }
}

const char* last_error()
{
    return g_pulse.context ? pulse.pa_strerror(pulse.pa_context_errno(g_pulse.context))
                           : "no connection";
}

void disconnect()
{
    if (g_pulse.context) {
        pulse.pa_context_disconnect(g_pulse.context);
        pulse.pa_context_unref(g_pulse.context);
        g_pulse.context = nullptr;
    }
    // Answers still due will never come.
    if (g_pulse.changes_in_flight > 0)
        g_pulse.changes_lost = true;
    g_pulse.changes_in_flight = 0;
}

// Waits for an operation; a cancelled one (the server went away) or one
// past the deadline is a failure.
bool wait_for(pa_operation* operation, const char* what)
{
    if (!operation) {
        diagnose("%s failed: %s", what, last_error());
        return false;
    }
    g_pulse.last_progress_us = monotonic_us();
    bool in_time = true;
    while (pulse.pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
        in_time = iterate_until(g_pulse.last_progress_us + kDeadlineUs);
        if (!in_time) {
            pulse.pa_operation_cancel(operation);
            break;
        }
    }
    const bool done = pulse.pa_operation_get_state(operation) == PA_OPERATION_DONE;
    pulse.pa_operation_unref(operation);
    if (!in_time) {
        diagnose("%s failed: no answer within %lld ms; connection dropped", what,
                 kDeadlineUs / 1000);
        disconnect();  // the next command starts afresh
    } else if (!done) {
        diagnose("%s failed: %s", what, last_error());
    }
    return done;
}

bool context_ready()
{
    return g_pulse.context && pulse.pa_context_get_state(g_pulse.context) == PA_CONTEXT_READY;
}

// Why a connection failed, for diagnostics: the address libpulse tried
// first and, for a local socket, whether there is one at all.
void diagnose_failed_connection(bool timed_out)
{
    const char* address = sound_server_address();
    struct stat socket_status;
    const bool no_socket = std::strncmp(address, "unix:", 5) == 0 &&
                           stat(address + 5, &socket_status) != 0;
    diagnose("connecting to the sound server at %s failed: %s", address,
             timed_out ? "no answer in time" : no_socket ? "no socket there" : last_error());
}

// Connects when there is no working connection. A server that is not running
// is no error: the table is then empty, and a later command tries again.
bool ensure_connected()
{
    if (!g_pulse.mainloop) {
        if (!load_pulse_library())
            return false;
        g_pulse.mainloop = pulse.pa_mainloop_new();
        if (!g_pulse.mainloop)
            return false;
    }
    // Let the loop notice a server that went away since the last command.
    if (g_pulse.context) {
        iterate_pending();
        if (context_ready())
            return true;
        diagnose("connection to the sound server lost: %s", last_error());
    }
    disconnect();
    g_pulse.context = pulse.pa_context_new(pulse.pa_mainloop_get_api(g_pulse.mainloop), "appduck");
    if (!g_pulse.context)
        return false;
    if (pulse.pa_context_connect(g_pulse.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        diagnose_failed_connection(false);
        disconnect();
        return false;
    }
    const long long deadline = monotonic_us() + kDeadlineUs;
    for (;;) {
        const pa_context_state_t state = pulse.pa_context_get_state(g_pulse.context);
        if (state == PA_CONTEXT_READY) {
            const char* server = pulse.pa_context_get_server(g_pulse.context);
            diagnose("connected to the sound server at %s", server ? server : "(unknown)");
            return true;
        }
        if (!PA_CONTEXT_IS_GOOD(state) || !iterate_until(deadline)) {
            diagnose_failed_connection(PA_CONTEXT_IS_GOOD(state));
            disconnect();
            return false;
        }
    }
}

void on_sink(pa_context*, const pa_sink_info* info, int eol, void*)
{
    g_pulse.last_progress_us = monotonic_us();
    if (eol < 0)
        g_pulse.list_failed = true;
    if (eol == 0 && info && g_pulse.sink_count == kMaxSinks)
        diagnose("more than %d sinks: sink %u left out", kMaxSinks, info->index);
    if (eol != 0 || !info || g_pulse.sink_count == kMaxSinks)
        return;
    g_pulse.sinks[g_pulse.sink_count++].index = info->index;
}

uint32_t process_id_of(const pa_proplist* properties)
{
    const char* text = pulse.pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID);
    uint32_t pid = 0;
    if (!text || !parse_uint32(text, &pid))
        return 0;
    return pid;
}

void on_sink_input(pa_context*, const pa_sink_input_info* info, int eol, void*)
{
    g_pulse.last_progress_us = monotonic_us();
    if (eol < 0)
        g_pulse.list_failed = true;
    if (eol == 0 && info && g_pulse.input_count == kMaxSinkInputs)
        diagnose("more than %d sink inputs: sink input %u left out", kMaxSinkInputs, info->index);
    if (eol != 0 || !info || g_pulse.input_count == kMaxSinkInputs)
        return;
    // Kept in index order, whatever order the server answers in.
    int at = g_pulse.input_count++;
    while (at > 0 && g_pulse.inputs[at - 1].index > info->index) {
        g_pulse.inputs[at] = g_pulse.inputs[at - 1];
        --at;
    }
    SinkInputRecord& input = g_pulse.inputs[at];
    input.index = info->index;
    input.sink = info->sink;
    input.pid = process_id_of(info->proplist);
    input.volume = info->volume;
    input.map = info->channel_map;
    input.has_volume = info->has_volume != 0;
    input.writable = info->volume_writable != 0;
    input.muted = info->mute != 0;
    input.memory_key[0] = 0;
    input.flight = {};
    const char* key = pulse.pa_proplist_gets(info->proplist, kMemoryKeyProperty);
    if (key && std::strlen(key) < sizeof input.memory_key)
        std::memcpy(input.memory_key, key, std::strlen(key) + 1);
}

// A volume set or memory write has been answered, yes or no: either way the
// server has seen it (a stream that ended meanwhile answers no).
void on_change_answered(pa_context*, int success, void*)
{
    g_pulse.last_progress_us = monotonic_us();
    if (!success)
        diagnose("the sound server refused a change: %s", last_error());
    if (g_pulse.changes_in_flight > 0)
        --g_pulse.changes_in_flight;
}

// Counts an operation sent without waiting; a change that could not even be
// sent is lost. The silence a wait measures starts when the first change
// goes out, not at the last answer before it.
bool track_change(pa_operation* operation, const char* what)
{
    if (!operation) {
        diagnose("%s failed: %s", what, last_error());
        g_pulse.changes_lost = true;
        return false;
    }
    if (g_pulse.changes_in_flight++ == 0)
        g_pulse.last_progress_us = monotonic_us();
    pulse.pa_operation_unref(operation);
    return true;
}

void send_volume(SinkInputRecord& input, const pa_cvolume& target);

// A stream's set is answered: the volume that waited for it goes out now.
// A refused set is not applied: the restore that made it keeps its record.
void on_volume_answered(pa_context* context, int success, void* userdata)
{
    on_change_answered(context, success, nullptr);
    if (!success)
        g_pulse.changes_lost = true;
    SinkInputRecord& input = *static_cast<SinkInputRecord*>(userdata);
    float unused = 0.0f;
    if (flight_answered(input.flight, &unused))
        send_volume(input, input.waiting);
}

// Sends one set; also called from an answer's callback, inside the main
// loop's dispatch.
void send_volume(SinkInputRecord& input, const pa_cvolume& target)
{
    if (!track_change(pulse.pa_context_set_sink_input_volume(g_pulse.context, input.index, &target,
                                                             on_volume_answered, &input),
                      "setting a stream's volume"))
        input.flight = {};
    input.volume = target;
}

// Runs the connection until every change sent has been answered. A busy
// server may take long over many answers; only silence fails, and a server
// that fell silent is dropped: the next command connects afresh rather than
// wait behind what is stuck.
void wait_for_answers()
{
    while (g_pulse.changes_in_flight > 0 && context_ready() &&
           iterate_until(g_pulse.last_progress_us + kDeadlineUs)) {
    }
    if (g_pulse.changes_in_flight > 0) {
        diagnose("%d volume changes not confirmed: %s", g_pulse.changes_in_flight,
                 context_ready() ? "no answer in time" : last_error());
        disconnect();
    }
}

SinkInputRecord* input_at_of_sink(uint32_t sink, unsigned position)
{
    unsigned seen = 0;
    for (int i = 0; i < g_pulse.input_count; ++i) {
        if (g_pulse.inputs[i].sink == sink && seen++ == position)
            return &g_pulse.inputs[i];
    }
    return nullptr;
}

// Runs the sound server's connection until the deadline, so volume sets go
// out and their answers come in while we wait; returns at once without a
// connection.
void serve_sound_server(long long until_us)
{
    if (!g_pulse.context)
        return;
    while (iterate_until(until_us)) {
    }
}

}  // namespace

// On Linux there is no object runtime to join: this is the platform's start.
// The sound server is first asked at the first command.
void join_object_runtime()
{
    if (running_as_keeper())
        install_keeper_stop_signal();
    else
        install_stop_signals();
}

void leave_object_runtime()
{
    // Volume sets not yet answered must reach the server before we go.
    confirm_volume_changes();
    disconnect();
    if (g_pulse.mainloop) {
        pulse.pa_mainloop_free(g_pulse.mainloop);
        g_pulse.mainloop = nullptr;
    }
    unload_pulse_library();
}

DeviceEnumerator* create_device_enumerator()
{
    forget_process_ids();
    if (!ensure_connected())
        return nullptr;
    return handle<DeviceEnumerator>(&g_pulse);
}

EndpointCollection* active_playback_endpoints(DeviceEnumerator*)
{
    // Answers still due point into the list about to be replaced.
    wait_for_answers();
    if (!context_ready())
        return nullptr;
    g_pulse.sink_count = 0;
    g_pulse.input_count = 0;
    g_pulse.list_failed = false;
    // Both questions go out at once: one round trip to the server, not two.
    pa_operation* sinks = pulse.pa_context_get_sink_info_list(g_pulse.context, on_sink, nullptr);
    pa_operation* inputs =
        pulse.pa_context_get_sink_input_info_list(g_pulse.context, on_sink_input, nullptr);
    const bool sinks_listed = wait_for(sinks, "listing the sinks");
    const bool inputs_listed = wait_for(inputs, "listing the sink inputs");
    if (!sinks_listed || !inputs_listed || g_pulse.list_failed) {
        if (sinks_listed && inputs_listed)
            diagnose("listing the sinks and sink inputs failed: %s", last_error());
        g_pulse.sink_count = 0;
        g_pulse.input_count = 0;
        return nullptr;
    }
    int sinkless = 0;
    for (int i = 0; i < g_pulse.input_count; ++i) {
        if (g_pulse.inputs[i].sink == PA_INVALID_INDEX)
            ++sinkless;
    }
    if (sinkless > 0) {
        g_pulse.sinks[g_pulse.sink_count++].index = PA_INVALID_INDEX;
        diagnose("%d of %d sink inputs on no sink for now", sinkless, g_pulse.input_count);
    }
    return handle<EndpointCollection>(&g_pulse);
}

bool endpoint_count(EndpointCollection*, unsigned* count)
{
    *count = static_cast<unsigned>(g_pulse.sink_count);
    return true;
}

Endpoint* endpoint_at(EndpointCollection*, unsigned index)
{
    if (index >= static_cast<unsigned>(g_pulse.sink_count))
        return nullptr;
    return handle<Endpoint>(&g_pulse.sinks[index]);
}

SessionManager* activate_session_manager(Endpoint* endpoint)
{
    return handle<SessionManager>(record<SinkRecord>(endpoint));
}

SessionEnumerator* session_enumerator(SessionManager* manager)
{
    return handle<SessionEnumerator>(record<SinkRecord>(manager));
}

bool enumerator_session_count(SessionEnumerator* sessions, unsigned* count)
{
    const uint32_t sink = record<SinkRecord>(sessions)->index;
    *count = 0;
    for (int i = 0; i < g_pulse.input_count; ++i) {
        if (g_pulse.inputs[i].sink == sink)
            ++*count;
    }
    return true;
}

SessionControl* session_control_at(SessionEnumerator* sessions, unsigned index)
{
    return handle<SessionControl>(input_at_of_sink(record<SinkRecord>(sessions)->index, index));
}

SessionControl2* query_session_control2(SessionControl* control)
{
    return handle<SessionControl2>(record<SinkInputRecord>(control));
}

// 0 for a stream that does not tell: it belongs to no known process.
bool session_process_id(SessionControl2* control, uint32_t* pid)
{
    *pid = record<SinkInputRecord>(control)->pid;
    return true;
}

// A server never gives a sink input's index to another while it runs.
bool session_instance(SessionControl2* control, uint64_t* instance)
{
    *instance = static_cast<uint64_t>(record<SinkInputRecord>(control)->index) + 1;
    return true;
}

VolumeControl* query_volume_control(SessionControl* control)
{
    SinkInputRecord* input = record<SinkInputRecord>(control);
    if (!input->has_volume || !input->writable)
        return nullptr;  // a passthrough stream, say
    return handle<VolumeControl>(input);
}

bool get_master_volume(VolumeControl* volume, float* level)
{
    const SinkInputRecord* input = record<SinkInputRecord>(volume);
    if (!pulse.pa_cvolume_valid(&input->volume))
        return false;
    *level = static_cast<float>(pulse.pa_sw_volume_to_linear(pulse.pa_cvolume_max(&input->volume)));
    return true;
}

bool get_session_level(VolumeControl* volume, SessionLevel* level)
{
    const SinkInputRecord* input = record<SinkInputRecord>(volume);
    const int channels = input->volume.channels;
    if (!pulse.pa_cvolume_valid(&input->volume) || channels > kMaxChannels)
        return false;
    *level = {};
    level->channels = channels;
    for (int i = 0; i < channels; ++i) {
        // PA_CHANNEL_POSITION_INVALID is -1; a map that does not fit reads as mono.
        const int position = input->map.channels == channels ? input->map.map[i] : 0;
        level->positions[i] = static_cast<uint8_t>(position >= 0 && position <= 255 ? position : 0);
        level->values[i] = input->volume.values[i];
    }
    return true;
}

void set_session_level(VolumeControl* volume, const SessionLevel& own, float share)
{
    SinkInputRecord& input = *record<SinkInputRecord>(volume);
    if (!context_ready()) {
        diagnose("setting a stream's volume failed: %s", last_error());
        g_pulse.changes_lost = true;
        return;
    }
    // The stream's own channels, scaled so that the loudest is at the share
    // of its own loudness; with another channel count (a level known by
    // process only), the stream's present balance.
    pa_cvolume target = input.volume;
    pa_volume_t loudest = 0;
    if (own.channels == input.volume.channels) {
        for (int i = 0; i < own.channels; ++i) {
            target.values[i] = own.values[i];
            loudest = own.values[i] > loudest ? own.values[i] : loudest;
        }
    } else {
        loudest = pulse.pa_cvolume_max(&input.volume);
        for (int i = 0; i < own.channels; ++i)
            loudest = own.values[i] > loudest ? own.values[i] : loudest;
    }
    if (share != 1.0f || own.channels != input.volume.channels)
        pulse.pa_cvolume_scale(&target, pulse.pa_sw_volume_from_linear(
                                            share * pulse.pa_sw_volume_to_linear(loudest)));
    if (!flight_send(input.flight, share)) {
        input.waiting = target;  // goes out when the stream's last set is answered
        return;
    }
    send_volume(input, target);
}

bool confirm_volume_changes()
{
    wait_for_answers();
    const bool confirmed = !g_pulse.changes_lost;
    g_pulse.changes_lost = false;
    return confirmed;
}

// A stream whose channel map does not fit its volume has no memory we
// could write back as it was.
bool session_memory_key(SessionControl2* control, char* key)
{
    const SinkInputRecord* input = record<SinkInputRecord>(control);
    if (!input->memory_key[0] || input->map.channels != input->volume.channels)
        return false;
    std::memcpy(key, input->memory_key, sizeof input->memory_key);
    return true;
}

bool get_session_mute(VolumeControl* volume, bool* muted)
{
    *muted = record<SinkInputRecord>(volume)->muted;
    return true;
}

bool volume_memory_writable()
{
    return true;
}

void write_volume_memory(const VolumeMemory& memory)
{
    if (!context_ready()) {
        diagnose("writing the stream memory %s failed: %s", memory.key, last_error());
        g_pulse.changes_lost = true;
        return;
    }
    // WirePlumber takes a written memory only when it differs from the last
    // one written, while it also follows stream volumes by itself: the same
    // level written after an earlier restore would be lost. So each write
    // is two entries under the name, a level a quarter away and then the
    // real one; the server applies them in order, in one answer.
    pa_ext_stream_restore_info entries[2]{};
    const SessionLevel& level = memory.level;
    if (level.channels < 1 || level.channels > kMaxChannels)
        return;
    for (pa_ext_stream_restore_info& entry : entries) {
        entry.name = memory.key;
        entry.channel_map.channels = static_cast<uint8_t>(level.channels);
        entry.volume.channels = static_cast<uint8_t>(level.channels);
        entry.device = nullptr;
        entry.mute = memory.muted ? 1 : 0;
    }
    for (int i = 0; i < level.channels; ++i) {
        const double linear = pulse.pa_sw_volume_to_linear(level.values[i]);
        const double away = linear >= 0.5 ? linear - 0.25 : linear + 0.25;
        for (pa_ext_stream_restore_info& entry : entries)
            entry.channel_map.map[i] = static_cast<pa_channel_position_t>(level.positions[i]);
        entries[0].volume.values[i] = pulse.pa_sw_volume_from_linear(away);
        entries[1].volume.values[i] = level.values[i];
    }
    if (!pulse.pa_channel_map_valid(&entries[1].channel_map))
        return;
    // Replaced, and applied at once to live streams under the same name; a
    // server without a stream memory answers no, which is an answer too.
    track_change(pulse.pa_ext_stream_restore_write(g_pulse.context, PA_UPDATE_REPLACE, entries, 2,
                                                   1, on_change_answered, nullptr),
                 "writing a stream memory");
    iterate_pending();
}

// Handles are views into this file's copy of the server's lists, which lives
// until the next rebuild: there is no reference to drop.
void release(DeviceEnumerator*) {}
void release(EndpointCollection*) {}
void release(Endpoint*) {}
void release(SessionManager*) {}
void release(SessionEnumerator*) {}
void release(SessionControl*) {}
void release(SessionControl2*) {}
void release(VolumeControl*) {}

// ---- kernel services ----------------------------------------------------

bool input_interrupted()
{
    return g_stop_requested != 0;
}

const char* sound_server_address()
{
    static char address[512];
    const char* server = std::getenv("PULSE_SERVER");
    const char* runtime = std::getenv("PULSE_RUNTIME_PATH");
    const char* user = std::getenv("XDG_RUNTIME_DIR");
    if (server && *server)
        std::snprintf(address, sizeof address, "%s", server);
    else if (runtime && *runtime)
        std::snprintf(address, sizeof address, "unix:%s/native", runtime);
    else if (user && *user)
        std::snprintf(address, sizeof address, "unix:%s/pulse/native", user);
    else
        std::snprintf(address, sizeof address, "the default address");
    return address;
}

uint32_t own_process_id()
{
    return static_cast<uint32_t>(getpid());
}

uint64_t monotonic_ms()
{
    return static_cast<uint64_t>(monotonic_us() / 1000);
}

void sleep_until(uint64_t deadline_ms)
{
    const long long until = static_cast<long long>(deadline_ms) * 1000;
    serve_sound_server(until);
    // Without a connection to run, or once it fails, a plain sleep to the
    // same deadline; a stop signal must not cut a ramp short.
    const timespec deadline = {static_cast<time_t>(until / 1000000),
                               static_cast<long>(until % 1000000) * 1000};
    while (monotonic_us() < until &&
           clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}
