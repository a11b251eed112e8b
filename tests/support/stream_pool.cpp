// One client playing silence on many streams at once: a sound server takes
// only 64 clients, so tests and benchmarks with many streams need streams
// that share one. SIGUSR1 opens a new stream in place of each, then ends
// the old ones, as a player does between tracks. The client is named after the
// program's file name, as players are, so a copy under another name is
// another application to the server's stream memory.
// usage: stream_pool COUNT [SINK|- [CHANNELS [PROPERTY=VALUE]]]
#include <pulse/mainloop-signal.h>
#include <pulse/pulseaudio.h>

#include "support/client_failure.h"
#include "support/pulse_silence.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kMaxStreams = 256;
pa_stream* g_streams[kMaxStreams];
int g_count = 0;
const char* g_sink = nullptr;  // the server's default without one
uint8_t g_channels = 1;
const char* g_property = nullptr;  // of every stream, as KEY=VALUE
int g_tracks = 0;

void open_streams(pa_context* context)
{
    const pa_sample_spec spec = {PA_SAMPLE_S16LE, 44100, g_channels};
    pa_proplist* properties = pa_proplist_new();
    if (g_property)
        pa_proplist_setp(properties, g_property);
    for (int i = 0; i < g_count; ++i) {
        char name[48];
        std::snprintf(name, sizeof name, "stream %d, track %d", i, g_tracks);
        g_streams[i] = pa_stream_new_with_proplist(context, name, &spec, nullptr, properties);
        pa_stream_set_write_callback(g_streams[i], write_silence, nullptr);
        pa_stream_set_state_callback(g_streams[i], end_on_stream_failure, nullptr);
        pa_stream_connect_playback(g_streams[i], g_sink, nullptr, PA_STREAM_NOFLAGS, nullptr,
                                   nullptr);
    }
    pa_proplist_free(properties);
}

// The next track's streams open before the last track's close, as a gapless
// player's do. Closed first, a new stream gets the channel just freed, and
// silence the old stream sent on a request that crossed its close lands on
// the new one before it has a buffer: PipeWire's pulse server 0.3.65 then
// crashes (SIGSEGV in its memblock handler).
void next_track(pa_mainloop_api*, pa_signal_event*, int, void* context)
{
    pa_stream* last[kMaxStreams];
    std::memcpy(last, g_streams, sizeof last);
    ++g_tracks;
    open_streams(static_cast<pa_context*>(context));
    for (int i = 0; i < g_count; ++i) {
        pa_stream_disconnect(last[i]);
        pa_stream_unref(last[i]);
    }
}

void on_context(pa_context* context, void*)
{
    end_on_context_failure(context);
    if (pa_context_get_state(context) != PA_CONTEXT_READY)
        return;
    open_streams(context);
    pa_signal_new(SIGUSR1, next_track, context);
}

}  // namespace

int main(int argc, char** argv)
{
    g_count = argc > 1 ? std::atoi(argv[1]) : 1;
    g_sink = argc > 2 && std::strcmp(argv[2], "-") != 0 ? argv[2] : nullptr;
    g_channels = static_cast<uint8_t>(argc > 3 ? std::atoi(argv[3]) : 1);
    g_property = argc > 4 ? argv[4] : nullptr;
    if (g_count < 1 || g_count > kMaxStreams || g_channels < 1 || g_channels > PA_CHANNELS_MAX)
        return 2;
    const char* slash = std::strrchr(argv[0], '/');
    pa_mainloop* mainloop = pa_mainloop_new();
    pa_signal_init(pa_mainloop_get_api(mainloop));
    pa_context* context =
        pa_context_new(pa_mainloop_get_api(mainloop), slash ? slash + 1 : argv[0]);
    pa_context_set_state_callback(context, on_context, nullptr);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return 1;
    int result = 0;
    pa_mainloop_run(mainloop, &result);
    return result;
}
