#include "resident.h"

#include "audio/audio_platform.h"
#include "audio/decimal.h"
#include "audio/diagnostics.h"
#include "audio/hold_platform.h"
#include "command_loop.h"
#include "ducking/ducking.h"
#include "hook_arguments.h"
#include "json_writer.h"

#include <cstdio>
#include <cstring>

namespace {

// A resident that no client reaches this soon after its start ends.
constexpr uint64_t kFirstRequestMs = 5000;
// A client has this long to write its whole request.
constexpr uint64_t kRequestMs = 2000;
// How often a named run looks whether its command still runs.
constexpr uint64_t kCommandCheckMs = 20;

struct Hold {
    const char* name;
    bool held = false;
    uint64_t deadline_ms = 0;  // 0: none
    uint32_t watched = 0;
    uint64_t watched_started = 0;
    uint32_t command = 0;  // a named run's: the hold lasts as long as it
};

// "hold FOR_MS PID STARTED": the hold's bound, renewed by each duck.
bool read_bound(const char* line, Hold& hold)
{
    uint64_t values[3] = {};
    const char* at = line + 5;
    for (uint64_t& value : values) {
        const char* end = at;
        value = read_decimal_digits(at, &end);
        if (end == at || value >= kDecimalCeiling)
            return false;
        at = *end == ' ' ? end + 1 : end;
    }
    hold.deadline_ms = values[0] != 0 ? monotonic_ms() + values[0] : 0;
    hold.watched = static_cast<uint32_t>(values[1]);
    hold.watched_started = values[2];
    return true;
}

// "NAME PID LEFT_MS WATCHED", 0 for no deadline or process; the client
// writes the JSON.
void say_status(const Hold& hold)
{
    const uint64_t now = monotonic_ms();
    const uint64_t left =
        hold.deadline_ms == 0 ? 0 : hold.deadline_ms > now ? hold.deadline_ms - now : 1;
    emit("%s %u %llu %u", hold.name, own_process_id(), static_cast<unsigned long long>(left),
         hold.command != 0 ? hold.command : hold.watched);
    end_reply();
}

// Answers one request; false when the hold ends with it (a restore).
bool serve(Controller& controller, Hold& hold, HoldLink* link, HoldListener* listener)
{
    char line[kHookLineBytes];
    char duck[kHookLineBytes];
    const uint64_t until = monotonic_ms() + kRequestMs;
    if (!read_hold_line(link, line, sizeof line, until))
        return true;
    if (std::strncmp(line, "hold ", 5) == 0) {
        // A run's hold keeps its command's bound, whatever the duck asks.
        Hold asked = hold;
        if (!read_hold_line(link, duck, sizeof duck, until) || std::strncmp(duck, "duck ", 5) != 0 ||
            !read_bound(line, asked))
            return true;
        if (hold.command == 0)
            hold = asked;
        write_hold_line(link, kTakenLine);
        answer_on(link);
        run_command_line(controller, duck);
        hold.held = true;
        return true;
    }
    if (std::strcmp(line, "status") == 0) {
        answer_on(link);
        say_status(hold);
        return true;
    }
    if (std::strcmp(line, "restore") == 0) {
        write_hold_line(link, kTakenLine);
        // A duck under this name from now on starts a new resident.
        close_hold_listener(listener);
        answer_on(link);
        run_command_line(controller, "restore");
        return false;
    }
    return true;
}

}  // namespace

bool started_as_resident(int argc, char** argv)
{
    return argc == 3 && std::strcmp(argv[1], kResidentMarker) == 0;
}

void keep_hold_for_command(Controller& controller, const char* name, HoldListener* listener,
                           uint32_t command)
{
    Hold hold;
    hold.name = name;
    hold.held = true;
    hold.command = command;
    while (!input_interrupted() && command_running(command)) {
        HoldLink* link = nullptr;
        if (wait_for_hold_event(listener, monotonic_ms() + kCommandCheckMs, 0, 0, &link) !=
            HoldEvent::kRequest)
            continue;
        const bool goes_on = serve(controller, hold, link, listener);
        close_hold_link(link);
        if (!goes_on)
            return;
    }
    close_hold_listener(listener);
}

int run_resident(Controller& controller, const char* name)
{
    join_object_runtime();
    HoldListener* listener = nullptr;
    const HoldOpen opened = open_hold_listener(name, &listener);
    if (opened != HoldOpen::kOpened) {
        if (opened == HoldOpen::kTaken)
            diagnose("the hold %s has a resident already", name);
        leave_object_runtime();
        return opened == HoldOpen::kTaken ? 0 : 1;
    }
    Hold hold;
    hold.name = name;
    hold.deadline_ms = monotonic_ms() + kFirstRequestMs;
    for (;;) {
        HoldLink* link = nullptr;
        const HoldEvent event =
            wait_for_hold_event(listener, hold.deadline_ms, hold.watched, hold.watched_started, &link);
        if (event != HoldEvent::kRequest) {
            if (hold.held)
                diagnose("the hold %s ends: %s", name,
                         event == HoldEvent::kTimeUp         ? "its time is up"
                         : event == HoldEvent::kProcessEnded ? "the process it lasted for ended"
                                                             : "asked to stop");
            break;
        }
        const bool goes_on = serve(controller, hold, link, listener);
        close_hold_link(link);
        if (!goes_on)
            break;
    }
    // The hold's end: nothing stays ducked. (After a restore this finds
    // nothing left.)
    close_hold_listener(listener);
    restore_command(controller, "restore");
    let_keeper_go(controller);
    release_sessions(controller.sessions);
    leave_object_runtime();
    return 0;
}
