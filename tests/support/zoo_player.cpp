// A player that behaves as real players from Debian do, one behaviour per
// option, so that the tests meet them on both servers (what each real
// player does is in doc/players.md). It plays silence on one stream at a
// time; the server's raw levels are what the tests read. The client is
// named after the program's file name, as players are.
//
// usage: zoo_player [options]
//   --channels MAP      the first stream's channels: a count or a map
//                       ("front-left,front-right"); default mono
//   --next MAP          SIGUSR1 opens the next track's stream with these
//                       channels, as mpv does when the format changes (the
//                       new stream opens before the old one closes)
//   --first-zero MS     each stream starts at 0 on every channel and takes
//                       the level the server remembers for it MS later, as
//                       PipeWire's streams do (PipeWire does it by itself:
//                       there the option changes nothing)
//   --probe MS          before each stream, a short-lived one, closed MS
//                       later, as GStreamer's pulsesink opens
//   --echo MS           once the stream's level has held still for MS, it
//                       is set again to that same level, as VLC does
//   --round PERCENT     the echo writes back the level its slider shows:
//                       each channel rounded to steps of PERCENT % of the
//                       mixers' scale, as players with a slider of whole
//                       percents do
//   --role ROLE         media.role, the key VLC's memory is kept under and
//                       shares with every other application of that role
#include <pulse/ext-stream-restore.h>
#include <pulse/mainloop-signal.h>
#include <pulse/pulseaudio.h>

#include "support/client_failure.h"
#include "support/pulse_silence.h"

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Options {
    pa_channel_map first;
    pa_channel_map next;
    bool has_next = false;
    int first_zero_ms = -1;
    int probe_ms = -1;
    int echo_ms = -1;
    int round_percent = 0;
    const char* role = nullptr;
    const char* name = nullptr;
};
Options g_options;

pa_mainloop_api* g_api = nullptr;
pa_context* g_context = nullptr;
pa_stream* g_stream = nullptr;  // the track playing now
bool g_emulate_first_zero = false;  // PulseAudio: the server does not
pa_time_event* g_echo = nullptr;
pa_cvolume g_echoed;  // each level is echoed once: an echo makes an event too

pa_time_event* after_ms(int ms, pa_time_event_cb_t callback, void* userdata)
{
    struct timeval when;
    pa_timeval_add(pa_gettimeofday(&when), static_cast<pa_usec_t>(ms) * 1000);
    return g_api->time_new(g_api, &when, callback, userdata);
}

pa_stream* new_stream(const pa_channel_map& map, const char* title)
{
    const pa_sample_spec spec = {PA_SAMPLE_S16LE, 44100, map.channels};
    pa_proplist* properties = pa_proplist_new();
    if (g_options.role)
        pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, g_options.role);
    pa_stream* stream = pa_stream_new_with_proplist(g_context, title, &spec, &map, properties);
    pa_proplist_free(properties);
    pa_stream_set_write_callback(stream, write_silence, nullptr);
    pa_stream_set_state_callback(stream, end_on_stream_failure, nullptr);
    return stream;
}

void close_stream(pa_stream* stream)
{
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
}

// A stream not yet made cannot be closed on PipeWire: it is tried again.
void end_probe(pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* probe)
{
    api->time_free(event);
    pa_stream* stream = static_cast<pa_stream*>(probe);
    if (pa_stream_get_state(stream) == PA_STREAM_CREATING)
        after_ms(2, end_probe, stream);
    else
        close_stream(stream);
}

// What module-stream-restore keys a stream of ours under.
void memory_key(char* key, size_t size)
{
    if (g_options.role)
        std::snprintf(key, size, "sink-input-by-media-role:%s", g_options.role);
    else
        std::snprintf(key, size, "sink-input-by-application-name:%s", g_options.name);
}

struct Remembered {
    bool pending;
    pa_stream* stream;
    bool found;
    pa_cvolume volume;
    pa_channel_map map;
};
// One per stream whose memory is being read; a few at most at once.
Remembered g_reads[8];

void on_memory(pa_context*, const pa_ext_stream_restore_info* info, int eol, void* userdata)
{
    Remembered* remembered = static_cast<Remembered*>(userdata);
    char key[512];
    memory_key(key, sizeof key);
    if (eol == 0 && info && std::strcmp(info->name, key) == 0 && info->volume.channels > 0) {
        remembered->found = true;
        remembered->volume = info->volume;
        remembered->map = info->channel_map;
    }
    if (eol == 0)
        return;
    remembered->pending = false;
    pa_stream* stream = remembered->stream;
    // The stream may have been closed meanwhile (a track change).
    if (stream == g_stream && pa_stream_get_state(stream) == PA_STREAM_READY) {
        const pa_channel_map* own = pa_stream_get_channel_map(stream);
        pa_cvolume level;
        if (remembered->found)
            level = *pa_cvolume_remap(&remembered->volume, &remembered->map, own);
        else
            pa_cvolume_set(&level, own->channels, PA_VOLUME_NORM);
        pa_operation* operation = pa_context_set_sink_input_volume(
            g_context, pa_stream_get_index(stream), &level, nullptr, nullptr);
        if (operation)
            pa_operation_unref(operation);
    }
    pa_stream_unref(stream);
}

void take_remembered_level(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                           void* stream)
{
    api->time_free(event);
    for (Remembered& remembered : g_reads) {
        if (remembered.pending)
            continue;
        remembered = {true, static_cast<pa_stream*>(stream), false, {}, {}};
        pa_operation* operation = pa_ext_stream_restore_read(g_context, on_memory, &remembered);
        if (operation)
            pa_operation_unref(operation);
        return;
    }
    pa_stream_unref(static_cast<pa_stream*>(stream));
}

void open_track(const pa_channel_map& map)
{
    static int tracks = 0;
    char title[48];
    if (g_options.probe_ms >= 0) {
        std::snprintf(title, sizeof title, "probe %d", tracks);
        pa_stream* probe = new_stream(map, title);
        pa_stream_connect_playback(probe, nullptr, nullptr, PA_STREAM_NOFLAGS, nullptr, nullptr);
        after_ms(g_options.probe_ms, end_probe, probe);
    }
    std::snprintf(title, sizeof title, "track %d", tracks++);
    pa_stream* last = g_stream;
    g_stream = new_stream(map, title);
    pa_cvolume silent;
    pa_cvolume_set(&silent, map.channels, PA_VOLUME_MUTED);
    pa_stream_connect_playback(g_stream, nullptr, nullptr, PA_STREAM_NOFLAGS,
                               g_emulate_first_zero ? &silent : nullptr, nullptr);
    if (g_emulate_first_zero)
        after_ms(g_options.first_zero_ms, take_remembered_level, pa_stream_ref(g_stream));
    if (last)
        close_stream(last);
}

void next_track(pa_mainloop_api*, pa_signal_event*, int, void*)
{
    open_track(g_options.has_next ? g_options.next : g_options.first);
}

// The level as it is now, set again: the same value the stream has.
void on_level_to_echo(pa_context* context, const pa_sink_input_info* info, int eol, void*)
{
    if (eol != 0 || !info || !g_stream || info->index != pa_stream_get_index(g_stream) ||
        pa_cvolume_equal(&info->volume, &g_echoed))
        return;
    pa_cvolume shown = info->volume;
    for (int i = 0; g_options.round_percent > 0 && i < shown.channels; ++i) {
        const double step = PA_VOLUME_NORM * g_options.round_percent / 100.0;
        shown.values[i] = static_cast<pa_volume_t>(
            std::floor(shown.values[i] / step + 0.5) * step + 0.5);
    }
    g_echoed = shown;
    pa_operation* operation =
        pa_context_set_sink_input_volume(context, info->index, &shown, nullptr, nullptr);
    if (operation)
        pa_operation_unref(operation);
}

void echo(pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void*)
{
    api->time_free(event);
    g_echo = nullptr;
    if (!g_stream || pa_stream_get_state(g_stream) != PA_STREAM_READY)
        return;
    pa_operation* operation = pa_context_get_sink_input_info(
        g_context, pa_stream_get_index(g_stream), on_level_to_echo, nullptr);
    if (operation)
        pa_operation_unref(operation);
}

// Every change to our stream puts the echo off: it comes once the level
// has held still, as a player's slider catches up.
void on_event(pa_context*, pa_subscription_event_type_t type, uint32_t index, void*)
{
    if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_CHANGE || !g_stream ||
        pa_stream_get_state(g_stream) != PA_STREAM_READY || index != pa_stream_get_index(g_stream))
        return;
    if (g_echo)
        g_api->time_free(g_echo);
    g_echo = after_ms(g_options.echo_ms, echo, nullptr);
}

void on_server_info(pa_context* context, const pa_server_info* info, void*)
{
    g_emulate_first_zero = g_options.first_zero_ms >= 0 && info &&
                           !std::strstr(info->server_name, "PipeWire");
    if (g_options.echo_ms >= 0) {
        pa_context_set_subscribe_callback(context, on_event, nullptr);
        pa_operation* operation =
            pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr);
        if (operation)
            pa_operation_unref(operation);
    }
    open_track(g_options.first);
}

void on_context(pa_context* context, void*)
{
    end_on_context_failure(context);
    if (pa_context_get_state(context) != PA_CONTEXT_READY)
        return;
    pa_operation* operation = pa_context_get_server_info(context, on_server_info, nullptr);
    if (operation)
        pa_operation_unref(operation);
    pa_signal_new(SIGUSR1, next_track, nullptr);
}

bool parse_map(const char* text, pa_channel_map* map)
{
    const int count = std::atoi(text);
    if (count > 0)
        return pa_channel_map_init_auto(map, static_cast<unsigned>(count), PA_CHANNEL_MAP_DEFAULT);
    return pa_channel_map_parse(map, text) != nullptr;
}

bool parse_options(int argc, char** argv)
{
    pa_channel_map_init_mono(&g_options.first);
    for (int i = 1; i + 1 < argc; i += 2) {
        const char* option = argv[i];
        const char* value = argv[i + 1];
        if (std::strcmp(option, "--channels") == 0) {
            if (!parse_map(value, &g_options.first))
                return false;
        } else if (std::strcmp(option, "--next") == 0) {
            if (!parse_map(value, &g_options.next))
                return false;
            g_options.has_next = true;
        } else if (std::strcmp(option, "--first-zero") == 0) {
            g_options.first_zero_ms = std::atoi(value);
        } else if (std::strcmp(option, "--probe") == 0) {
            g_options.probe_ms = std::atoi(value);
        } else if (std::strcmp(option, "--echo") == 0) {
            g_options.echo_ms = std::atoi(value);
        } else if (std::strcmp(option, "--round") == 0) {
            g_options.round_percent = std::atoi(value);
        } else if (std::strcmp(option, "--role") == 0) {
            g_options.role = value;
        } else {
            return false;
        }
    }
    return argc % 2 == 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!parse_options(argc, argv)) {
        std::fprintf(stderr, "zoo_player: bad options\n");
        return 2;
    }
    const char* slash = std::strrchr(argv[0], '/');
    g_options.name = slash ? slash + 1 : argv[0];
    pa_mainloop* mainloop = pa_mainloop_new();
    g_api = pa_mainloop_get_api(mainloop);
    pa_signal_init(g_api);
    g_context = pa_context_new(g_api, g_options.name);
    pa_context_set_state_callback(g_context, on_context, nullptr);
    if (pa_context_connect(g_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return 1;
    int result = 0;
    pa_mainloop_run(mainloop, &result);
    return result;
}
