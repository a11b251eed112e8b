// What the command-line forms need of the platform beyond sound: a
// resident appduck per hold name, reached through a channel of this
// user's alone beside the shared table (a socket on Linux, a named pipe
// on Windows), and a command run beside a duck. Only the appduck program
// links these; the logic above audio_platform.h never calls them.
#pragma once

#include <cstdint>

struct HoldListener;  // a resident's channel, while it keeps its hold
struct HoldLink;      // one connection over a hold's channel, either end

// The longest hold name, without its terminator.
constexpr int kMaxHoldName = 32;

enum class HoldOpen {
    kOpened,
    kTaken,   // another resident keeps this name
    kFailed,  // why is said under APPDUCK_DEBUG
};
// The resident's side: the hold's channel, made this process's alone.
HoldOpen open_hold_listener(const char* name, HoldListener** listener);
// Removes the channel: a client from now on finds no resident.
void close_hold_listener(HoldListener* listener);

enum class HoldEvent {
    kRequest,       // a client connected: *link is its connection
    kTimeUp,        // the deadline passed
    kProcessEnded,  // the watched process ended
    kStopped,       // the resident was asked to stop (a signal)
};
// Waits for whichever comes first. A deadline of 0 is none; a watched
// process of 0 is none, and one whose start time differs from `started`
// has ended (its id was taken again).
HoldEvent wait_for_hold_event(HoldListener* listener, uint64_t deadline_ms, uint32_t watched,
                              uint64_t started, HoldLink** link);

// The client's side: the named hold's resident.
enum class HoldReach {
    kReached,
    kNone,     // no resident answers
    kForeign,  // the one that answers is another user's: never used
};
HoldReach connect_to_hold(const char* name, HoldLink** link);
// Why no resident could keep a hold here (no sound server where the
// environment points, no private place for the shared table), as a line
// for the user; null when one can.
const char* hold_place_missing(const char* name);
// Starts a resident for the name: this program run with `marker` and the
// name as its arguments, detached from our terminal, session and process
// group, with no standard handle of ours. False when it could not start.
bool start_resident(const char* marker, const char* name);
// Every hold name that has a channel now, at most `capacity`.
int hold_names(char (*names)[kMaxHoldName + 1], int capacity);

// Either side: one line, without its line feed, within the deadline;
// false at the connection's end, an error, or the deadline.
bool read_hold_line(HoldLink* link, char* line, int capacity, uint64_t deadline_ms);
bool write_hold_line(HoldLink* link, const char* line);
// The resident's side: standard output goes to the link until it is
// closed, so that a reply is written by the same code, byte for byte, as
// the command loop's.
void answer_on(HoldLink* link);
void close_hold_link(HoldLink* link);

// A command run beside a duck, started with our standard handles; false
// when it could not be started (why is said).
bool start_command(char* const* argv, uint32_t* pid);
// Whether the command still runs; one that ended is still waited for.
bool command_running(uint32_t pid);
// Waits until the command ends: its exit status, or 128 + the signal that
// ended it. A stop signal to us, meanwhile or before, is passed on to it,
// and the wait goes on.
int wait_for_command(uint32_t pid);
