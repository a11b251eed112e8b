#include "hook_forms.h"

#include "audio/audio_platform.h"
#include "audio/hold_platform.h"
#include "command_loop.h"
#include "ducking/ducking.h"
#include "ducking/spare.h"
#include "ducking/sharing/shared_holds.h"
#include "json_writer.h"
#include "resident.h"

#include <cstdio>
#include <cstring>

namespace {

// How long a client gives a resident it started to answer, and how often
// it starts one again meanwhile (one that found the name taken by a
// resident that was just ending, say).
constexpr uint64_t kResidentStartMs = 3000;
constexpr uint64_t kResidentRetryMs = 500;
// A resident takes a request at once; its reply comes after the ramp, or
// after a stalled server's patience.
constexpr uint64_t kTakenMs = 5000;
constexpr uint64_t kReplyMs = 60000;

int fail(const char* what, const char* name)
{
    std::fprintf(stderr, "appduck: %s%s\n", what, name);
    return 1;
}

// The hold's resident, started when none answers.
HoldReach reach_resident(const char* name, HoldLink** link)
{
    HoldReach reach = connect_to_hold(name, link);
    const uint64_t start = monotonic_ms();
    uint64_t next_start = start;
    while (reach == HoldReach::kNone && monotonic_ms() - start < kResidentStartMs) {
        if (monotonic_ms() >= next_start) {
            if (!start_resident(kResidentMarker, name))
                return HoldReach::kNone;
            next_start = monotonic_ms() + kResidentRetryMs;
        }
        sleep_until(monotonic_ms() + 5);
        reach = connect_to_hold(name, link);
    }
    return reach;
}

// Prints the resident's reply as the protocol's line.
bool pass_reply(HoldLink* link)
{
    char line[kHookLineBytes];
    if (!read_hold_line(link, line, sizeof line, monotonic_ms() + kReplyMs))
        return false;
    std::printf("%s\n", line);
    std::fflush(stdout);
    return true;
}

int duck_through_resident(const HookRequest& request)
{
    uint64_t started = 0;
    if (request.while_pid != 0 && !process_start_time(request.while_pid, &started))
        return fail("--while: no such process runs", "");
    HoldLink* link = nullptr;
    HoldReach reach = connect_to_hold(request.name, &link);
    const char* missing = reach == HoldReach::kNone ? hold_place_missing(request.name) : nullptr;
    if (missing)
        return fail(missing, "");
    if (reach == HoldReach::kNone)
        reach = reach_resident(request.name, &link);
    if (reach == HoldReach::kForeign)
        return fail("another user's process answers for the hold ", request.name);
    if (reach != HoldReach::kReached)
        return fail("no resident could be started for the hold ", request.name);
    char bound[96];
    std::snprintf(bound, sizeof bound, "hold %llu %u %llu",
                  static_cast<unsigned long long>(request.for_ms), request.while_pid,
                  static_cast<unsigned long long>(started));
    char taken[16];
    const bool sent = write_hold_line(link, bound) && write_hold_line(link, request.duck_line) &&
                      read_hold_line(link, taken, sizeof taken, monotonic_ms() + kTakenMs) &&
                      std::strcmp(taken, kTakenLine) == 0;
    const bool replied = sent && (request.no_wait || pass_reply(link));
    close_hold_link(link);
    if (!replied)
        return fail(sent ? "no reply from the resident of " : "the duck was not taken by the resident of ",
                    request.name);
    return 0;
}

int restore_holds(const HookRequest& request)
{
    static char names[64][kMaxHoldName + 1];
    int count = 1;
    if (request.all)
        count = hold_names(names, 64);
    else
        std::strcpy(names[0], request.name);
    bool replied = true;
    for (int i = 0; i < count; ++i) {
        HoldLink* link = nullptr;
        if (connect_to_hold(names[i], &link) != HoldReach::kReached)
            continue;  // no such hold (or not ours): nothing to lift
        char line[kHookLineBytes];
        replied = write_hold_line(link, "restore") &&
                  read_hold_line(link, line, sizeof line, monotonic_ms() + kTakenMs) &&
                  read_hold_line(link, line, sizeof line, monotonic_ms() + kReplyMs) && replied;
        close_hold_link(link);
    }
    std::printf("{\"ok\":true}\n");
    std::fflush(stdout);
    return replied ? 0 : fail("a resident did not confirm its restore", "");
}

// The list's protocol line, from a controller that holds nothing.
int list_once(Controller& controller)
{
    join_object_runtime();
    run_command_line(controller, "list");
    release_sessions(controller.sessions);
    leave_object_runtime();
    return 0;
}

void emit_exe_of(uint32_t pid)
{
    Utf16Char exe[kMaxExeName] = {};
    ProcessSnapshot* snapshot = take_process_snapshot();
    uint32_t walked = 0;
    for (bool more = snapshot && first_process(snapshot, &walked); more;
         more = next_process(snapshot, &walked)) {
        if (walked == pid) {
            current_process_exe(snapshot, exe);
            break;
        }
    }
    if (snapshot)
        close_process_snapshot(snapshot);
    emit_json_string(exe);
}

struct ResidentStatus {
    char name[kMaxHoldName + 1];
    uint32_t pid;
    unsigned long long left_ms;
    uint32_t watched;
    bool in_table;
};

int ask_residents(ResidentStatus* statuses, int capacity)
{
    static char names[64][kMaxHoldName + 1];
    const int count = hold_names(names, capacity < 64 ? capacity : 64);
    int known = 0;
    for (int i = 0; i < count; ++i) {
        HoldLink* link = nullptr;
        if (connect_to_hold(names[i], &link) != HoldReach::kReached)
            continue;
        char line[kHookLineBytes];
        ResidentStatus& status = statuses[known];
        status = {};
        if (write_hold_line(link, "status") &&
            read_hold_line(link, line, sizeof line, monotonic_ms() + kTakenMs) &&
            std::sscanf(line, "%32s %u %llu %u", status.name, &status.pid, &status.left_ms,
                        &status.watched) == 4)
            ++known;
        close_hold_link(link);
    }
    return known;
}

void emit_hold(const ResidentStatus* resident, uint32_t pid, const HoldTable* table, int slot)
{
    emit("{");
    if (resident) {
        Utf16Char name[kMaxHoldName + 1];
        if (utf8_to_utf16(resident->name, name, kMaxHoldName + 1) <= 0)
            name[0] = 0;
        emit("\"name\":");
        emit_json_string(name);
        emit(",");
    }
    emit("\"pid\":%u,\"exe\":", pid);
    emit_exe_of(pid);
    emit(",\"held\":[");
    bool first = true;
    for (int k = 0; table && k < table->session_count; ++k) {
        const HeldSession& held = table->sessions[k];
        if (held.shares[slot] < 0.0f)
            continue;
        emit("%s{\"name\":", first ? "" : ",");
        emit_exe_of(held.original.pid);
        emit(",\"pid\":%u,\"percent\":%d}", held.original.pid,
             static_cast<int>(held.shares[slot] * 100.0f + 0.5f));
        first = false;
    }
    emit("]");
    if (resident && resident->left_ms != 0)
        emit(",\"left_s\":%llu", (resident->left_ms + 999) / 1000);
    if (resident && resident->watched != 0)
        emit(",\"while\":%u", resident->watched);
    emit("}");
    end_reply();
}

// One line per hold of the shared table, named where a resident keeps it,
// then each resident that holds nothing there (a duck that matched none).
int print_status()
{
    static HoldTable table;
    static char text[kHoldTableText];
    static ResidentStatus residents[64];
    clear_holds(table);
    uint64_t generation = 0;
    if (read_shared_table(text, sizeof text, &generation) == TableRead::kWhole)
        parse_hold_table(text, table);
    const int resident_count = ask_residents(residents, 64);
    for (int slot = 0; slot < kMaxHolders; ++slot) {
        const uint32_t pid = table.holders[slot].pid;
        if (pid == 0)
            continue;
        const ResidentStatus* resident = nullptr;
        for (int r = 0; r < resident_count; ++r) {
            if (residents[r].pid == pid) {
                resident = &residents[r];
                residents[r].in_table = true;
            }
        }
        emit_hold(resident, pid, &table, slot);
    }
    for (int r = 0; r < resident_count; ++r) {
        if (!residents[r].in_table)
            emit_hold(&residents[r], residents[r].pid, nullptr, 0);
    }
    return 0;
}

// A named run's channel; null (said on standard error) when the name is
// kept by another appduck or has no place here: the run goes on unnamed.
HoldListener* open_run_hold(const HookRequest& request)
{
    HoldListener* listener = nullptr;
    if (!request.named)
        return nullptr;
    const HoldOpen opened = open_hold_listener(request.name, &listener);
    if (opened == HoldOpen::kOpened)
        return listener;
    std::fprintf(stderr, "appduck: the hold %s %s: this run's duck goes on without its name\n",
                 request.name,
                 opened == HoldOpen::kTaken ? "is kept by another appduck" : "has no channel here");
    return nullptr;
}

// Ducks, runs the command and restores when it ends, however it ends. The
// command is ours, so sparing our own tree spares its voice. The duck's
// reply is not printed: our output is the command's.
int run_beside_duck(Controller& controller, const HookRequest& request)
{
    join_object_runtime();
    HoldListener* listener = open_run_hold(request);
    spare_tree_of(controller.spared, own_process_id());
    duck_sessions(controller, request.duck_line);
    uint32_t pid = 0;
    const bool stopped = input_interrupted();
    if (stopped)
        std::fprintf(stderr, "appduck: stopped before the command started\n");
    const bool started = !stopped && start_command(request.command, &pid);
    if (started && listener)
        keep_hold_for_command(controller, request.name, listener, pid);
    // 127, as a shell says of a command it cannot run.
    const int status = stopped ? 1 : started ? wait_for_command(pid) : 127;
    close_hold_listener(listener);
    restore_command(controller, "restore");
    let_keeper_go(controller);
    release_sessions(controller.sessions);
    leave_object_runtime();
    return status;
}

}  // namespace

int run_hook_form(Controller& controller, const HookRequest& request)
{
    switch (request.form) {
    case HookForm::kDuck:
        return duck_through_resident(request);
    case HookForm::kRestore:
        return restore_holds(request);
    case HookForm::kList:
        return list_once(controller);
    case HookForm::kStatus:
        return print_status();
    case HookForm::kRun:
        return run_beside_duck(controller, request);
    case HookForm::kMistake:
        break;
    }
    std::fprintf(stderr, "appduck: %s\n", request.mistake);
    return 2;
}
