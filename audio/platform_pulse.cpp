// Audio sessions on Linux over libpulse, which serves PulseAudio and
// PipeWire's pulse server alike. Playback endpoints are the server's sinks;
// an endpoint's sessions are the sink inputs playing to it, owned by the
// process in their application.process.id property. A volume is one linear
// amplitude factor over the stream's loudest channel, set so that the
// stream's channel balance is kept.
//
// Every call is synchronous: start an operation, run the main loop until it
// is done (or a deadline passes), unref it. The server is asked once per
// rebuild for its sinks and sink inputs; the handles point into that copy.
#include "audio_platform.h"
#include "linux_system.h"

#include <pulse/pulseaudio.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr int kMaxSinks = 64;
constexpr int kMaxSinkInputs = 1024;
constexpr int kMaxBalances = 256;
constexpr long long kDeadlineMs = 2000;  // a server that hangs must not hang us

struct SinkRecord {
    uint32_t index;
};

struct SinkInputRecord {
    uint32_t index;
    uint32_t sink;
    uint32_t pid;  // 0 when the stream does not tell
    pa_cvolume volume;
    bool has_volume;
    bool writable;
};

// The shape of a stream's channel volumes, remembered while it is not all
// zero, so that a duck to 0 and a restore give back the stream's balance.
struct Balance {
    uint32_t index;
    pa_cvolume shape;
};

struct Pulse {
    pa_mainloop* mainloop;
    pa_context* context;
    SinkRecord sinks[kMaxSinks];
    int sink_count;
    SinkInputRecord inputs[kMaxSinkInputs];
    int input_count;
    Balance balances[kMaxBalances];
    int balance_count;
    int next_balance;
    bool list_failed;
};
Pulse g_pulse;

long long now_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Runs the main loop once, waiting no later than the deadline.
bool iterate_until(long long deadline)
{
    const long long left = deadline - now_ms();
    if (left <= 0)
        return false;
    return pa_mainloop_prepare(g_pulse.mainloop, static_cast<int>(left * 1000)) >= 0 &&
           pa_mainloop_poll(g_pulse.mainloop) >= 0 && pa_mainloop_dispatch(g_pulse.mainloop) >= 0;
}

void disconnect()
{
    if (g_pulse.context) {
        pa_context_disconnect(g_pulse.context);
        pa_context_unref(g_pulse.context);
        g_pulse.context = nullptr;
    }
}

// Waits for an operation; a cancelled one (the server went away) or one
// past the deadline is a failure.
bool wait_for(pa_operation* operation)
{
    if (!operation)
        return false;
    const long long deadline = now_ms() + kDeadlineMs;
    bool in_time = true;
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
        in_time = iterate_until(deadline);
        if (!in_time) {
            pa_operation_cancel(operation);
            break;
        }
    }
    const bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
    pa_operation_unref(operation);
    if (!in_time)
        disconnect();  // the next command starts afresh
    return done;
}

bool context_ready()
{
    return g_pulse.context && pa_context_get_state(g_pulse.context) == PA_CONTEXT_READY;
}

// Connects when there is no working connection. A server that is not running
// is no error: the table is then empty, and a later command tries again.
bool ensure_connected()
{
    if (!g_pulse.mainloop)
        return false;
    // Let the loop notice a server that went away since the last command.
    while (g_pulse.context && pa_mainloop_iterate(g_pulse.mainloop, 0, nullptr) > 0) {
    }
    if (context_ready())
        return true;
    disconnect();
    g_pulse.context = pa_context_new(pa_mainloop_get_api(g_pulse.mainloop), "appduck");
    if (!g_pulse.context)
        return false;
    if (pa_context_connect(g_pulse.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        disconnect();
        return false;
    }
    const long long deadline = now_ms() + kDeadlineMs;
    for (;;) {
        const pa_context_state_t state = pa_context_get_state(g_pulse.context);
        if (state == PA_CONTEXT_READY)
            return true;
        if (!PA_CONTEXT_IS_GOOD(state) || !iterate_until(deadline)) {
            disconnect();
            return false;
        }
    }
}

void on_sink(pa_context*, const pa_sink_info* info, int eol, void*)
{
    if (eol < 0)
        g_pulse.list_failed = true;
    if (eol != 0 || !info || g_pulse.sink_count == kMaxSinks)
        return;
    g_pulse.sinks[g_pulse.sink_count++].index = info->index;
}

uint32_t process_id_of(const pa_proplist* properties)
{
    const char* text = pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID);
    if (!text)
        return 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end || value > 0xFFFFFFFFul)
        return 0;
    return static_cast<uint32_t>(value);
}

void on_sink_input(pa_context*, const pa_sink_input_info* info, int eol, void*)
{
    if (eol < 0)
        g_pulse.list_failed = true;
    if (eol != 0 || !info || g_pulse.input_count == kMaxSinkInputs)
        return;
    // Kept in index order, whatever order the server answers in.
    int at = g_pulse.input_count++;
    while (at > 0 && g_pulse.inputs[at - 1].index > info->index) {
        g_pulse.inputs[at] = g_pulse.inputs[at - 1];
        --at;
    }
    g_pulse.inputs[at] = {info->index, info->sink, process_id_of(info->proplist),
                          info->volume, info->has_volume != 0, info->volume_writable != 0};
}

Balance* balance_of(uint32_t index)
{
    for (int i = 0; i < g_pulse.balance_count; ++i) {
        if (g_pulse.balances[i].index == index)
            return &g_pulse.balances[i];
    }
    return nullptr;
}

void remember_balance(const SinkInputRecord& input)
{
    if (pa_cvolume_max(&input.volume) == PA_VOLUME_MUTED)
        return;
    Balance* balance = balance_of(input.index);
    if (!balance) {
        // A small ring: the oldest streams are forgotten first.
        balance = &g_pulse.balances[g_pulse.next_balance];
        g_pulse.next_balance = (g_pulse.next_balance + 1) % kMaxBalances;
        if (g_pulse.balance_count < kMaxBalances)
            ++g_pulse.balance_count;
    }
    *balance = {input.index, input.volume};
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

template <typename Handle, typename Record>
Handle* handle(Record* record)
{
    return reinterpret_cast<Handle*>(record);
}

template <typename Record, typename Handle>
Record* record(Handle* handle)
{
    return reinterpret_cast<Record*>(handle);
}

}  // namespace

// On Linux there is no object runtime to join: this is the platform's start.
// The sound server is first asked at the first command.
void join_object_runtime()
{
    install_stop_signals();
    g_pulse.mainloop = pa_mainloop_new();
}

void leave_object_runtime()
{
    // Volume sets not yet answered must reach the server before we go.
    const long long deadline = now_ms() + kDeadlineMs;
    while (context_ready() && pa_context_is_pending(g_pulse.context) && iterate_until(deadline)) {
    }
    disconnect();
    if (g_pulse.mainloop) {
        pa_mainloop_free(g_pulse.mainloop);
        g_pulse.mainloop = nullptr;
    }
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
    g_pulse.sink_count = 0;
    g_pulse.input_count = 0;
    g_pulse.list_failed = false;
    // Both questions go out at once: one round trip to the server, not two.
    pa_operation* sinks = pa_context_get_sink_info_list(g_pulse.context, on_sink, nullptr);
    pa_operation* inputs =
        pa_context_get_sink_input_info_list(g_pulse.context, on_sink_input, nullptr);
    const bool sinks_listed = wait_for(sinks);
    const bool inputs_listed = wait_for(inputs);
    if (!sinks_listed || !inputs_listed || g_pulse.list_failed) {
        g_pulse.sink_count = 0;
        g_pulse.input_count = 0;
        return nullptr;
    }
    for (int i = 0; i < g_pulse.input_count; ++i)
        remember_balance(g_pulse.inputs[i]);
    return handle<EndpointCollection>(&g_pulse);
}

unsigned endpoint_count(EndpointCollection*)
{
    return static_cast<unsigned>(g_pulse.sink_count);
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

unsigned enumerator_session_count(SessionEnumerator* sessions)
{
    const uint32_t sink = record<SinkRecord>(sessions)->index;
    unsigned count = 0;
    for (int i = 0; i < g_pulse.input_count; ++i) {
        if (g_pulse.inputs[i].sink == sink)
            ++count;
    }
    return count;
}

SessionControl* session_control_at(SessionEnumerator* sessions, unsigned index)
{
    return handle<SessionControl>(input_at_of_sink(record<SinkRecord>(sessions)->index, index));
}

SessionControl2* query_session_control2(SessionControl* control)
{
    return handle<SessionControl2>(record<SinkInputRecord>(control));
}

uint32_t session_process_id(SessionControl2* control)
{
    return record<SinkInputRecord>(control)->pid;
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
    if (!pa_cvolume_valid(&input->volume))
        return false;
    *level = static_cast<float>(pa_sw_volume_to_linear(pa_cvolume_max(&input->volume)));
    return true;
}

void set_master_volume(VolumeControl* volume, float level)
{
    SinkInputRecord* input = record<SinkInputRecord>(volume);
    if (!context_ready())
        return;
    const Balance* balance = balance_of(input->index);
    pa_cvolume target = balance ? balance->shape : input->volume;
    if (target.channels != input->volume.channels)
        target = input->volume;
    pa_cvolume_scale(&target, pa_sw_volume_from_linear(level));
    pa_operation* operation =
        pa_context_set_sink_input_volume(g_pulse.context, input->index, &target, nullptr, nullptr);
    if (!operation)
        return;
    // Not waited for: the request goes out now and the server's answer is
    // read later, so a ramp step costs no round trip on top of its sleep.
    // Nobody tests the result of a volume set.
    pa_operation_unref(operation);
    input->volume = target;
    while (pa_mainloop_iterate(g_pulse.mainloop, 0, nullptr) > 0) {
    }
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
