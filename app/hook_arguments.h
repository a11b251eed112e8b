// The command-line forms, for a hook that runs one command per event:
//   appduck duck [--as NAME] [--for SECONDS | --while PID] [--no-wait] P NAMES...
//   appduck restore [--as NAME | --all]
//   appduck run [--as NAME] P NAMES... -- COMMAND [ARGS...]
//   appduck list | appduck status
#pragma once

#include "audio/hold_platform.h"

#include <cstdint>

// A hold that no stop event ends comes back after this: long enough for
// the longest spoken answer or push-to-talk turn, short enough that a lost
// stop event costs a few minutes of quiet at worst.
constexpr uint64_t kDefaultHoldMs = 5 * 60 * 1000;
// The duck's protocol line, "duck P NAMES", with its terminator.
constexpr int kHookLineBytes = 4096;

enum class HookForm { kDuck, kRestore, kRun, kList, kStatus, kMistake };

struct HookRequest {
    HookForm form = HookForm::kMistake;
    char name[kMaxHoldName + 1] = "default";
    bool named = false;      // --as given
    bool all = false;        // restore --all
    uint64_t for_ms = kDefaultHoldMs;  // 0: until restored
    uint32_t while_pid = 0;  // 0: no process watched
    bool no_wait = false;
    char duck_line[kHookLineBytes] = {};  // duck and run
    char* const* command = nullptr;        // run: null-terminated
    const char* mistake = "";              // what is wrong, for standard error
};

// True when argv[1] names one of the forms (the protocol runs otherwise).
bool is_hook_form(int argc, char** argv);
// The request; form kMistake with `mistake` set when the arguments are wrong.
HookRequest read_hook_arguments(int argc, char** argv);
