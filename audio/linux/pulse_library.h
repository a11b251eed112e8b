// libpulse, loaded when the sound server is first needed rather than at
// start: a program that only waits (the keeper) then maps none of libpulse
// and its dozens of libraries, and a machine without libpulse gets an
// empty session table instead of a program that cannot start.
#pragma once

#include <pulse/ext-stream-restore.h>
#include <pulse/pulseaudio.h>

#define APPDUCK_PULSE_FUNCTIONS(X) \
    X(pa_mainloop_new)                    \
    X(pa_mainloop_free)                   \
    X(pa_mainloop_get_api)                \
    X(pa_mainloop_prepare)                \
    X(pa_mainloop_poll)                   \
    X(pa_mainloop_dispatch)               \
    X(pa_mainloop_iterate)                \
    X(pa_context_new)                     \
    X(pa_context_connect)                 \
    X(pa_context_disconnect)              \
    X(pa_context_unref)                   \
    X(pa_context_get_state)               \
    X(pa_context_errno)                   \
    X(pa_context_get_server)              \
    X(pa_context_get_sink_info_list)      \
    X(pa_context_get_sink_input_info_list) \
    X(pa_context_set_sink_input_volume)   \
    X(pa_ext_stream_restore_read)         \
    X(pa_ext_stream_restore_write)        \
    X(pa_operation_get_state)             \
    X(pa_operation_cancel)                \
    X(pa_operation_unref)                 \
    X(pa_proplist_gets)                   \
    X(pa_cvolume_max)                     \
    X(pa_cvolume_valid)                   \
    X(pa_cvolume_scale)                   \
    X(pa_channel_map_valid)               \
    X(pa_sw_volume_from_linear)           \
    X(pa_sw_volume_to_linear)             \
    X(pa_strerror)

// The functions, called as pulse.pa_context_new(...) and so on.
struct PulseLibrary {
#define APPDUCK_PULSE_POINTER(name) decltype(&::name) name;
    APPDUCK_PULSE_FUNCTIONS(APPDUCK_PULSE_POINTER)
#undef APPDUCK_PULSE_POINTER
};
extern PulseLibrary pulse;

// Loads libpulse and every function above once; false when it or one of
// them is missing, and every later call then answers false at once.
bool load_pulse_library();
void unload_pulse_library();
