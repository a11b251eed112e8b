// The Linux backend's one connection to the sound server (PulseAudio, or
// PipeWire's pulse server, through libpulse), and every wait on it.
//
// Every question is synchronous: start an operation, run the main loop until
// it is done (or a deadline passes), unref it. Changes (volume sets, memory
// writes) are sent without waiting; the main loop carries them to the server
// while the program sleeps, and wait_for_answers waits for the last answers.
// A server that hangs must not hang us: a wait gives up once nothing at all
// has come from the server for kNoAnswerLimitMs, however long a busy one
// takes, and the connection is dropped; the next command connects afresh.
#include "audio/audio_platform.h"
#include "audio/diagnostics.h"
#include "audio/linux/backend.h"
#include "audio/linux/pulse_library.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

namespace {

constexpr long long kDeadlineUs = static_cast<long long>(kNoAnswerLimitMs) * 1000;

struct Connection {
    pa_mainloop* mainloop;
    pa_context* context;
    pa_context* reader;  // a second client, for reads during a ramp
    bool reader_refused;  // not asked again until the next connection
    int changes_in_flight;       // volume sets and memory writes not yet answered
    bool changes_lost;           // some could not be sent, or their answers never came
    long long last_progress_us;  // when the server last answered anything
};
Connection g_connection;

// Runs the main loop once, waiting no later than the deadline.
bool iterate_until(long long deadline)
{
    const long long left = deadline - monotonic_us();
    if (left <= 0)
        return false;
    return pulse.pa_mainloop_prepare(g_connection.mainloop, static_cast<int>(left)) >= 0 &&
           pulse.pa_mainloop_poll(g_connection.mainloop) >= 0 &&
           pulse.pa_mainloop_dispatch(g_connection.mainloop) >= 0;
}

bool context_ready()
{
    return g_connection.context &&
           pulse.pa_context_get_state(g_connection.context) == PA_CONTEXT_READY;
}

void drop_reader()
{
    if (g_connection.reader) {
        pulse.pa_context_disconnect(g_connection.reader);
        pulse.pa_context_unref(g_connection.reader);
        g_connection.reader = nullptr;
    }
}

void disconnect()
{
    drop_reader();
    if (g_connection.context) {
        pulse.pa_context_disconnect(g_connection.context);
        pulse.pa_context_unref(g_connection.context);
        g_connection.context = nullptr;
    }
    // Answers still due will never come.
    if (g_connection.changes_in_flight > 0)
        g_connection.changes_lost = true;
    g_connection.changes_in_flight = 0;
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
             timed_out ? "no answer in time" : no_socket ? "no socket there" : sound_server_error());
}

}  // namespace

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

const char* sound_server_error()
{
    return g_connection.context ? pulse.pa_strerror(pulse.pa_context_errno(g_connection.context))
                                : "no connection";
}

pa_context* sound_server()
{
    return context_ready() ? g_connection.context : nullptr;
}

bool connect_to_sound_server()
{
    if (!g_connection.mainloop) {
        if (!load_pulse_library())
            return false;
        g_connection.mainloop = pulse.pa_mainloop_new();
        if (!g_connection.mainloop)
            return false;
    }
    // Let the loop notice a server that went away since the last command.
    if (g_connection.context) {
        run_pending();
        if (context_ready())
            return true;
        diagnose("connection to the sound server lost: %s", sound_server_error());
    }
    disconnect();
    g_connection.reader_refused = false;
    g_connection.context =
        pulse.pa_context_new(pulse.pa_mainloop_get_api(g_connection.mainloop), "appduck");
    if (!g_connection.context)
        return false;
    if (pulse.pa_context_connect(g_connection.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        diagnose_failed_connection(false);
        disconnect();
        return false;
    }
    const long long deadline = monotonic_us() + kDeadlineUs;
    for (;;) {
        const pa_context_state_t state = pulse.pa_context_get_state(g_connection.context);
        if (state == PA_CONTEXT_READY) {
            const char* server = pulse.pa_context_get_server(g_connection.context);
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

namespace {

pa_context* refuse_reader()
{
    diagnose("a second connection for reading levels failed: reading on the first");
    drop_reader();
    g_connection.reader_refused = true;  // a ramp's steps do not each wait for it
    return nullptr;
}

}  // namespace

pa_context* level_reader()
{
    if (!context_ready() || g_connection.reader_refused)
        return nullptr;
    pa_context*& reader = g_connection.reader;
    if (reader && pulse.pa_context_get_state(reader) == PA_CONTEXT_READY)
        return reader;
    drop_reader();
    reader = pulse.pa_context_new(pulse.pa_mainloop_get_api(g_connection.mainloop), "appduck");
    if (!reader || pulse.pa_context_connect(reader, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return refuse_reader();
    const long long deadline = monotonic_us() + kDeadlineUs;
    for (;;) {
        const pa_context_state_t state = pulse.pa_context_get_state(reader);
        if (state == PA_CONTEXT_READY)
            return reader;
        if (!PA_CONTEXT_IS_GOOD(state) || !iterate_until(deadline))
            return refuse_reader();
    }
}

bool wait_for(pa_operation* operation, const char* what)
{
    if (!operation) {
        diagnose("%s failed: %s", what, sound_server_error());
        return false;
    }
    note_answer();
    bool in_time = true;
    while (pulse.pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
        in_time = iterate_until(g_connection.last_progress_us + kDeadlineUs);
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
        diagnose("%s failed: %s", what, sound_server_error());
    }
    return done;
}

void note_answer()
{
    g_connection.last_progress_us = monotonic_us();
}

// The silence a wait measures starts when the first change goes out, not
// at the last answer before it.
bool track_change(pa_operation* operation, const char* what)
{
    if (!operation) {
        diagnose("%s failed: %s", what, sound_server_error());
        g_connection.changes_lost = true;
        return false;
    }
    if (g_connection.changes_in_flight++ == 0)
        note_answer();
    pulse.pa_operation_unref(operation);
    return true;
}

// Answered, yes or no: either way the server has seen it (a stream that
// ended meanwhile answers no).
void on_change_answered(pa_context*, int success, void*)
{
    note_answer();
    if (!success)
        diagnose("the sound server refused a change: %s", sound_server_error());
    if (g_connection.changes_in_flight > 0)
        --g_connection.changes_in_flight;
}

void note_change_lost()
{
    g_connection.changes_lost = true;
}

bool take_changes_lost()
{
    const bool lost = g_connection.changes_lost;
    g_connection.changes_lost = false;
    return lost;
}

// A busy server may take long over many answers; only silence fails, and a
// server that fell silent is dropped: the next command connects afresh
// rather than wait behind what is stuck.
void wait_for_answers()
{
    while (g_connection.changes_in_flight > 0 && context_ready() &&
           iterate_until(g_connection.last_progress_us + kDeadlineUs)) {
    }
    if (g_connection.changes_in_flight > 0) {
        diagnose("%d volume changes not confirmed: %s", g_connection.changes_in_flight,
                 context_ready() ? "no answer in time" : sound_server_error());
        disconnect();
    }
}

void run_pending()
{
    while (pulse.pa_mainloop_iterate(g_connection.mainloop, 0, nullptr) > 0) {
    }
}

void serve_sound_server(long long until_us)
{
    if (!g_connection.context)
        return;
    while (iterate_until(until_us)) {
    }
}

// The sleep keeps the connection running: changes go out and answers come
// in while the caller waits.
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

// The platform's end: changes not yet answered must reach the server
// before we go.
void leave_object_runtime()
{
    if (g_connection.context)
        wait_for_answers();
    disconnect();
    if (g_connection.mainloop) {
        pulse.pa_mainloop_free(g_connection.mainloop);
        g_connection.mainloop = nullptr;
    }
    unload_pulse_library();
}
