// The Linux backend's audio sessions, over libpulse, which serves
// PulseAudio and PipeWire's pulse server alike. Playback endpoints are the
// server's sinks; an endpoint's sessions are the sink inputs playing to it,
// owned by the process in their application.process.id property. A volume
// is one linear amplitude factor over the stream's loudest channel; a
// session's whole level is its raw channel volumes and channel map.
//
// The server is asked once per rebuild for its sinks and sink inputs; the
// handles point into that copy. Streams on no sink (not linked yet, or
// their sink went away) are the sessions of one more endpoint: PipeWire
// takes their volume all the same. A stream has at most one set in flight:
// the server is never asked for more than it can take (volume_flights.h).
#include "audio/audio_platform.h"
#include "audio/decimal.h"
#include "audio/diagnostics.h"
#include "audio/handles.h"
#include "audio/linux/backend.h"
#include "audio/linux/pulse_library.h"
#include "audio/volume_flights.h"

#include <cstring>

namespace {

constexpr int kMaxSinks = 64;
constexpr int kMaxSinkInputs = 1024;
// Where each sink input's volume is remembered for the application's next
// streams; both PulseAudio and PipeWire's pulse server set it.
constexpr char kMemoryKeyProperty[] = "module-stream-restore.id";
// PipeWire lists a stream it has just made at 0 on every channel, before it
// is linked, and a few milliseconds later (0 to 47 ms seen, 3 ms median) at
// the level it remembers for the application. That 0 is nobody's level: a
// stream at 0 is asked for again until it takes its level, for at most this
// long after it was first seen (a ramp's time). One still at 0 then really
// is silent, muted by volume, and is taken at 0.
constexpr long long kFirstMomentUs = 300 * 1000;
constexpr long long kFirstMomentPollUs = 2 * 1000;

struct SinkRecord {
    uint32_t index;
};

struct SinkInputRecord {
    uint32_t index;
    uint32_t sink;
    uint32_t pid;  // 0 when the stream does not tell
    pa_cvolume volume;    // as last listed, or last sent
    pa_cvolume reported;  // as last listed or refreshed
    pa_channel_map map;
    bool has_volume;
    bool writable;
    bool muted;
    char memory_key[kMaxMemoryKey];  // empty when the server keeps none
    long long first_seen_us;  // when a listing first had it
    VolumeFlight flight;
    pa_cvolume waiting;  // the volume that waits for the set in flight
};

// The server's lists, as the last rebuild read them.
struct Lists {
    SinkRecord sinks[kMaxSinks + 1];  // and the streams on no sink
    int sink_count;
    SinkInputRecord inputs[kMaxSinkInputs];
    int input_count;
    bool failed;
};
Lists g_lists;

// When each sink input of the last listing was first listed, in index order.
struct FirstSight {
    uint32_t index;
    long long at_us;
};
FirstSight g_seen[kMaxSinkInputs];
int g_seen_count = 0;

// Each memory name's mute as its streams were last listed, the latest
// kept when there are more names than room: a memory written back for a
// stream that ended keeps the mute the user left it with.
constexpr int kMutesSeen = 64;
struct MuteSeen {
    char key[kMaxMemoryKey];
    bool muted;
};
MuteSeen g_mutes[kMutesSeen];
int g_mute_count = 0;

void note_mute(const char* key, bool muted)
{
    int at = 0;
    while (at < g_mute_count && std::strcmp(g_mutes[at].key, key) != 0)
        ++at;
    if (at == g_mute_count) {
        if (g_mute_count == kMutesSeen) {
            for (int i = 1; i < kMutesSeen; ++i)
                g_mutes[i - 1] = g_mutes[i];
            --g_mute_count;
            at = g_mute_count;
        }
        std::memcpy(g_mutes[at].key, key, std::strlen(key) + 1);
        ++g_mute_count;
    }
    g_mutes[at].muted = muted;
}

void on_sink(pa_context*, const pa_sink_info* info, int eol, void*)
{
    note_answer();
    if (eol < 0)
        g_lists.failed = true;
    if (eol == 0 && info && g_lists.sink_count == kMaxSinks)
        diagnose("more than %d sinks: sink %u left out", kMaxSinks, info->index);
    if (eol != 0 || !info || g_lists.sink_count == kMaxSinks)
        return;
    g_lists.sinks[g_lists.sink_count++].index = info->index;
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
    note_answer();
    if (eol < 0)
        g_lists.failed = true;
    if (eol == 0 && info && g_lists.input_count == kMaxSinkInputs)
        diagnose("more than %d sink inputs: sink input %u left out", kMaxSinkInputs, info->index);
    if (eol != 0 || !info || g_lists.input_count == kMaxSinkInputs)
        return;
    // Kept in index order, whatever order the server answers in.
    int at = g_lists.input_count++;
    while (at > 0 && g_lists.inputs[at - 1].index > info->index) {
        g_lists.inputs[at] = g_lists.inputs[at - 1];
        --at;
    }
    SinkInputRecord& input = g_lists.inputs[at];
    input.index = info->index;
    input.sink = info->sink;
    input.pid = process_id_of(info->proplist);
    input.volume = info->volume;
    input.reported = info->volume;
    input.map = info->channel_map;
    input.has_volume = info->has_volume != 0;
    input.writable = info->volume_writable != 0;
    input.muted = info->mute != 0;
    input.memory_key[0] = 0;
    input.flight = {};
    const char* key = pulse.pa_proplist_gets(info->proplist, kMemoryKeyProperty);
    if (key && std::strlen(key) < sizeof input.memory_key) {
        std::memcpy(input.memory_key, key, std::strlen(key) + 1);
        note_mute(key, input.muted);
    }
}

// A refresh's answer: the level of a stream the last listing had.
void on_sink_input_level(pa_context*, const pa_sink_input_info* info, int eol, void*)
{
    note_answer();
    if (eol != 0 || !info)
        return;
    int low = 0;
    int high = g_lists.input_count;
    while (low < high) {
        const int middle = (low + high) / 2;
        if (g_lists.inputs[middle].index < info->index)
            low = middle + 1;
        else
            high = middle;
    }
    if (low < g_lists.input_count && g_lists.inputs[low].index == info->index) {
        g_lists.inputs[low].reported = info->volume;
        const char* key = pulse.pa_proplist_gets(info->proplist, kMemoryKeyProperty);
        if (key && std::strlen(key) < kMaxMemoryKey)
            note_mute(key, info->mute != 0);
    }
}

void send_volume(SinkInputRecord& input, const pa_cvolume& target);

// A stream's set is answered; a volume that waited goes out with the next
// step or the confirm. A refused set is not applied: the restore that made
// it keeps its record.
void on_volume_answered(pa_context* context, int success, void* userdata)
{
    on_change_answered(context, success, nullptr);
    if (!success)
        note_change_lost();
    flight_answered(static_cast<SinkInputRecord*>(userdata)->flight);
}

void send_volume(SinkInputRecord& input, const pa_cvolume& target)
{
    pa_context* context = sound_server();
    pa_operation* operation =
        context ? pulse.pa_context_set_sink_input_volume(context, input.index, &target,
                                                         on_volume_answered, &input)
                : nullptr;
    if (!track_change(operation, "setting a stream's volume"))
        input.flight = {};
    input.volume = target;
}

SinkInputRecord* input_at_of_sink(uint32_t sink, unsigned position)
{
    unsigned seen = 0;
    for (int i = 0; i < g_lists.input_count; ++i) {
        if (g_lists.inputs[i].sink == sink && seen++ == position)
            return &g_lists.inputs[i];
    }
    return nullptr;
}

}  // namespace

DeviceEnumerator* create_device_enumerator()
{
    forget_process_ids();
    if (!connect_to_sound_server())
        return nullptr;
    return handle<DeviceEnumerator>(&g_lists);
}

namespace {

// Asks the server for its sinks and sink inputs, both at once: one round
// trip, not two.
bool list_sinks_and_inputs(pa_context* context)
{
    g_lists.sink_count = 0;
    g_lists.input_count = 0;
    g_lists.failed = false;
    pa_operation* sinks = pulse.pa_context_get_sink_info_list(context, on_sink, nullptr);
    pa_operation* inputs = pulse.pa_context_get_sink_input_info_list(context, on_sink_input, nullptr);
    const bool sinks_listed = wait_for(sinks, "listing the sinks");
    const bool inputs_listed = wait_for(inputs, "listing the sink inputs");
    if (!sinks_listed || !inputs_listed || g_lists.failed) {
        if (sinks_listed && inputs_listed)
            diagnose("listing the sinks and sink inputs failed: %s", sound_server_error());
        g_lists.sink_count = 0;
        g_lists.input_count = 0;
        return false;
    }
    return true;
}

// Gives each listed sink input the time it was first listed, and keeps
// those times for the next listing. Both lists are in index order.
void note_first_sights()
{
    static FirstSight seen[kMaxSinkInputs];
    const long long now = monotonic_us();
    int old = 0;
    for (int i = 0; i < g_lists.input_count; ++i) {
        SinkInputRecord& input = g_lists.inputs[i];
        while (old < g_seen_count && g_seen[old].index < input.index)
            ++old;
        const bool known = old < g_seen_count && g_seen[old].index == input.index;
        input.first_seen_us = known ? g_seen[old].at_us : now;
        seen[i] = {input.index, input.first_seen_us};
    }
    for (int i = 0; i < g_lists.input_count; ++i)
        g_seen[i] = seen[i];
    g_seen_count = g_lists.input_count;
}

bool silent_on_every_channel(const pa_cvolume& volume)
{
    for (int i = 0; i < volume.channels; ++i) {
        if (volume.values[i] != PA_VOLUME_MUTED)
            return false;
    }
    return volume.channels > 0;
}

// How many listed streams may still be in their first moment at 0, and
// the latest time one of them may take its level.
int streams_in_first_moment(long long now, long long* until)
{
    int count = 0;
    for (int i = 0; i < g_lists.input_count; ++i) {
        const SinkInputRecord& input = g_lists.inputs[i];
        if (input.has_volume && silent_on_every_channel(input.volume) &&
            now - input.first_seen_us < kFirstMomentUs) {
            const long long end = input.first_seen_us + kFirstMomentUs;
            *until = count++ == 0 || end > *until ? end : *until;
        }
    }
    return count;
}

}  // namespace

EndpointCollection* active_playback_endpoints(DeviceEnumerator*)
{
    // Answers still due point into the lists about to be replaced.
    wait_for_answers();
    pa_context* context = sound_server();
    if (!context || !list_sinks_and_inputs(context))
        return nullptr;
    note_first_sights();
    long long until = 0;
    int waiting = streams_in_first_moment(monotonic_us(), &until);
    if (waiting > 0) {
        diagnose("%d new streams at 0 on every channel: asking again until they take their "
                 "level, for up to %lld ms", waiting, (until - monotonic_us()) / 1000);
        const long long began = monotonic_us();
        while (waiting > 0) {
            serve_sound_server(monotonic_us() + kFirstMomentPollUs);
            context = sound_server();
            if (!context || !list_sinks_and_inputs(context))
                return nullptr;
            note_first_sights();
            waiting = streams_in_first_moment(monotonic_us(), &until);
        }
        int silent = 0;
        for (int i = 0; i < g_lists.input_count; ++i)
            silent += silent_on_every_channel(g_lists.inputs[i].volume) ? 1 : 0;
        diagnose("after %lld ms, %d streams at 0 on every channel: taken as silent",
                 (monotonic_us() - began) / 1000, silent);
    }
    int sinkless = 0;
    for (int i = 0; i < g_lists.input_count; ++i) {
        if (g_lists.inputs[i].sink == PA_INVALID_INDEX)
            ++sinkless;
    }
    if (sinkless > 0) {
        g_lists.sinks[g_lists.sink_count++].index = PA_INVALID_INDEX;
        diagnose("%d of %d sink inputs on no sink for now", sinkless, g_lists.input_count);
    }
    return handle<EndpointCollection>(&g_lists);
}

bool endpoint_count(EndpointCollection*, unsigned* count)
{
    *count = static_cast<unsigned>(g_lists.sink_count);
    return true;
}

Endpoint* endpoint_at(EndpointCollection*, unsigned index)
{
    if (index >= static_cast<unsigned>(g_lists.sink_count))
        return nullptr;
    return handle<Endpoint>(&g_lists.sinks[index]);
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
    for (int i = 0; i < g_lists.input_count; ++i) {
        if (g_lists.inputs[i].sink == sink)
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
    if (!pulse.pa_cvolume_valid(&input->reported))
        return false;
    *level = static_cast<float>(pulse.pa_sw_volume_to_linear(pulse.pa_cvolume_max(&input->reported)));
    return true;
}

// One listing for every stream, on the second connection: the first's
// would be answered only after every set sent before it (the server takes
// a client's requests in order), and a ramp of many streams would wait for
// all of them at every step. The level found may then be one still on its
// way, which is a step written too.
bool refresh_session_levels()
{
    pa_context* context = level_reader();
    if (!context)
        context = sound_server();
    if (!context)
        return false;
    return wait_for(pulse.pa_context_get_sink_input_info_list(context, on_sink_input_level, nullptr),
                    "reading the streams' levels");
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

float channel_loudness(const SessionLevel& level, int channel)
{
    uint32_t loudest = 0;
    for (int i = 0; i < level.channels; ++i)
        loudest = level.values[i] > loudest ? level.values[i] : loudest;
    if (loudest == 0)
        return 1.0f;
    return static_cast<float>(pulse.pa_sw_volume_to_linear(level.values[channel]) /
                              pulse.pa_sw_volume_to_linear(loudest));
}

bool last_seen_mute(const char* key, bool* muted)
{
    for (int i = 0; i < g_mute_count; ++i) {
        if (std::strcmp(g_mutes[i].key, key) == 0) {
            *muted = g_mutes[i].muted;
            return true;
        }
    }
    return false;
}

bool get_session_mute(VolumeControl* volume, bool* muted)
{
    *muted = record<SinkInputRecord>(volume)->muted;
    return true;
}

void set_session_level(VolumeControl* volume, const SessionLevel& own, float share)
{
    SinkInputRecord& input = *record<SinkInputRecord>(volume);
    if (!sound_server()) {
        diagnose("setting a stream's volume failed: %s", sound_server_error());
        note_change_lost();
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
    if (!flight_send(input.flight)) {
        input.waiting = target;  // goes out with the next set or the confirm
        return;
    }
    send_volume(input, target);
}

void drop_unsent_level(VolumeControl* volume)
{
    record<SinkInputRecord>(volume)->flight.waiting = false;
}

bool confirm_volume_changes()
{
    // The answers first, then the levels that waited for them, until none waits.
    bool sent = true;
    while (sent) {
        wait_for_answers();
        sent = false;
        for (int i = 0; i < g_lists.input_count && sound_server(); ++i) {
            SinkInputRecord& input = g_lists.inputs[i];
            if (flight_take_waiting(input.flight)) {
                send_volume(input, input.waiting);
                sent = true;
            }
        }
    }
    return !take_changes_lost();
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
