// What a sound server itself takes: one bare libpulse client sends a volume
// set to every sink input at once and waits for every answer, a wave, as
// appduck's ramp does at each step. Each wave changes every level (1.0 and
// 0.5 in turn), since a set to the level a stream already has costs the
// server less than a real change.
// usage: volume_wave WAVES    prints the milliseconds of each wave
#include <pulse/pulseaudio.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

constexpr int kMaxInputs = 1024;

struct Input {
    uint32_t index;
    pa_channel_map map;
};
Input g_inputs[kMaxInputs];
int g_count = 0;
int g_waiting = 0;

double now_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

void on_input(pa_context*, const pa_sink_input_info* info, int eol, void*)
{
    if (eol != 0 || !info || g_count == kMaxInputs)
        return;
    g_inputs[g_count++] = {info->index, info->channel_map};
}

void on_answer(pa_context*, int, void*)
{
    --g_waiting;
}

void wait_for(pa_mainloop* mainloop, pa_operation* operation)
{
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
        pa_mainloop_iterate(mainloop, 1, nullptr);
    pa_operation_unref(operation);
}

}  // namespace

int main(int argc, char** argv)
{
    const int waves = argc > 1 ? std::atoi(argv[1]) : 8;
    pa_mainloop* mainloop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(mainloop), "volume_wave");
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return 1;
    while (pa_context_get_state(context) != PA_CONTEXT_READY) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context)))
            return 1;
        pa_mainloop_iterate(mainloop, 1, nullptr);
    }
    wait_for(mainloop, pa_context_get_sink_input_info_list(context, on_input, nullptr));
    for (int wave = 0; wave < waves; ++wave) {
        const double started = now_ms();
        const pa_volume_t level = pa_sw_volume_from_linear(wave % 2 ? 1.0 : 0.5);
        for (int i = 0; i < g_count; ++i) {
            pa_cvolume volume;
            pa_cvolume_set(&volume, g_inputs[i].map.channels, level);
            pa_operation* operation = pa_context_set_sink_input_volume(
                context, g_inputs[i].index, &volume, on_answer, nullptr);
            if (operation) {
                ++g_waiting;
                pa_operation_unref(operation);
            }
        }
        while (g_waiting > 0)
            pa_mainloop_iterate(mainloop, 1, nullptr);
        std::printf("%.1f\n", now_ms() - started);
    }
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(mainloop);
    return 0;
}
