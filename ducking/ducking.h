// The `duck` and `restore` commands and what happens at the end of input.
//
// Ducking lowers the sessions of named applications to a share of the volume
// each had before its first duck; that volume is saved per process and
// outlives the session table's rebuilds until a restore ramps it back.
#pragma once

#include <cstdint>

// How long a restore (the command, or the end of input) keeps trying while
// the platform cannot be reached or does not confirm, and how often; then
// it replies, keeping what is saved for the next restore and the keeper.
constexpr uint64_t kRestorePatienceMs = 10 * 1000;
constexpr unsigned kRestoreRetryMs = 500;

// "duck <percent> <names>": replies {"ok":true,"bajados":0|1}.
void duck_sessions(const char* line);
// "restore": ramps every saved volume back; replies {"ok":true}.
void restore_command(const char* line);
// Restores what is ducked, then writes the program's last reply.
void end_of_input_action();
