// What the Linux backend's files provide one another, by the file that
// provides it and the files that use it. Nothing else crosses between them;
// everything else each file keeps to itself.
//
//   clock_and_signals.cpp  the clock, the stop signals, the platform's
//                          start
//   connection.cpp         the one connection to the sound server, its
//                          waits, the sleep that serves it, and the
//                          platform's end
//   sessions.cpp           sinks and sink inputs as endpoints and sessions,
//                          their volumes
//   stream_memory.cpp      the server's memory of stream volumes
//   processes.cpp          /proc: process names, parents, start times
//   keeper.cpp             the keeper's process and pipe
//   shared_turn.cpp        the turn and table several controllers share
//   holds.cpp              the residents' sockets, beside the table
//   commands.cpp           a command run beside a duck
//   pulse_library.cpp      libpulse, loaded when first needed: its calls
//                          are declared in pulse_library.h
#pragma once

#include <cstdint>

struct pa_context;
struct pa_operation;

// ---- clock_and_signals.cpp, for connection.cpp ----------------------------

// CLOCK_MONOTONIC in microseconds: the backend's one clock.
long long monotonic_us();

// ---- connection.cpp, for sessions.cpp, stream_memory.cpp and
// shared_turn.cpp ----------------------------------------------------------

// The address libpulse tries first: PULSE_SERVER, else the user's runtime
// socket (a client.conf is not read here), as text.
const char* sound_server_address();
// A working connection, made afresh when there is none or it broke; false
// when no server answers (which is no error: the table is then empty).
bool connect_to_sound_server();
// The connection's context while it is ready; null otherwise.
pa_context* sound_server();
const char* sound_server_error();
// A second connection to the same server, made when first asked: a read on
// it is not answered behind the first one's volume sets. Null when there is
// none (the first is then the one to read on).
pa_context* level_reader();
// Waits for an operation and unrefs it; false when it was cancelled (the
// server went away) or nothing came from the server within the deadline,
// in which case the connection is dropped.
bool wait_for(pa_operation* operation, const char* what);
// The server answered something: the silence a wait measures starts anew.
void note_answer();
// A change (a volume set, a memory write) sent without waiting, counted
// until its answer; false when it could not even be sent (it is lost).
bool track_change(pa_operation* operation, const char* what);
// The answer of a change, as a libpulse success callback.
void on_change_answered(pa_context* context, int success, void* userdata);
// A change that will not be applied (refused, or never sent).
void note_change_lost();
// Whether a change was lost since the last time this was asked.
bool take_changes_lost();
// Runs the connection until every change sent has been answered, or
// silence past the deadline drops it.
void wait_for_answers();
// Sends what is queued and dispatches what arrived, without waiting.
void run_pending();
// Runs the connection until the deadline, so changes go out and answers
// come in while the caller waits; at once without a connection.
void serve_sound_server(long long until_us);

// ---- sessions.cpp, for stream_memory.cpp ---------------------------------

// The mute of the last stream listed under a memory's name since this
// process started; false when none was.
bool last_seen_mute(const char* key, bool* muted);

// ---- processes.cpp, for sessions.cpp --------------------------------------

// The next process snapshot reads /proc afresh: called as a rebuild of the
// session table begins.
void forget_process_ids();

// ---- shared_turn.cpp, for holds.cpp ----------------------------------------

// A path beside the shared table, in its private place: the table's name
// with `suffix` for ".table" (the table made first when `make`); false
// when there is no such place or the path does not fit.
bool path_beside_table(const char* suffix, char* path, int capacity, bool make);

// ---- clock_and_signals.cpp, for commands.cpp -------------------------------

// The last stop signal that came (0: none), to be passed on to a command.
int last_stop_signal();

// ---- keeper.cpp, for holds.cpp ---------------------------------------------

// Spawns this program (/proc/self/exe) with the arguments, in a session of
// its own, the signals at their defaults, /dev/null for its standard
// handles (its standard error kept when `keep_errors`) and, when
// `descriptor` is not -1, that descriptor as `as`; nothing else of ours.
// Returns 0 or the error.
int spawn_detached(char* const* arguments, int descriptor, int as, bool keep_errors, int* pid);

// ---- keeper.cpp, for clock_and_signals.cpp --------------------------------

// This process is the keeper, started with its pipe.
bool running_as_keeper();
