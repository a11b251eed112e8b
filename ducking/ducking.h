// The `duck` and `restore` commands and what happens at the end of input.
//
// Ducking lowers the sessions of named applications to a share of the volume
// each had before its first duck; that volume is saved per process and
// outlives the session table's rebuilds until a restore ramps it back.
#pragma once

#include <cstdint>

// How long the end of input keeps trying to restore while the platform
// cannot be reached, and how often; then the keeper takes over.
constexpr uint64_t kEndOfInputPatienceMs = 10 * 1000;
constexpr unsigned kEndOfInputRetryMs = 500;

// "duck <percent> <names>": replies {"ok":true,"bajados":0|1}.
void duck_sessions(const char* line);
// "restore": ramps every saved volume back; replies {"ok":true}.
void restore_command(const char* line);
// Restores what is ducked, then writes the program's last reply.
void end_of_input_action();
