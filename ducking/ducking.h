// The `duck` and `restore` commands and what happens at the end of input.
//
// Ducking lowers the sessions of named applications to a share of the level
// each had before its first duck; that level is saved per session and
// outlives the session table's rebuilds until a restore ramps it back.
#pragma once

#include <cstdint>

// How long a restore (the command, or the end of input) keeps trying while
// the platform cannot be reached or does not confirm, and how often; then
// it replies, keeping what is saved for the next restore and the keeper.
constexpr uint64_t kRestorePatienceMs = 10 * 1000;
constexpr unsigned kRestoreRetryMs = 500;

// The longest command line with its terminator: the command loop reads
// at most kLineBuffer - 1 bytes at once, so no handler is given more.
constexpr int kLineBuffer = 4096;

// "duck <percent> <names>": lowers the sessions the names match; returns
// the reply's `bajados`, 1 when a name matched a session and 0 otherwise.
int duck_sessions(const char* line);
// "restore", and the end of input: ramps every saved volume back, trying
// again for a while when the platform cannot be reached. The caller
// replies {"ok":true} either way.
void restore_command(const char* line);
