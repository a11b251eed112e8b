// The `duck` and `restore` commands and what happens at the end of input.
//
// Ducking lowers the sessions of named applications to a share of the level
// each had before its first duck; that level is saved per session and
// outlives the session table's rebuilds until a restore ramps it back.
#pragma once

#include "ducking/controller.h"

// "duck <percent> <names>": lowers the sessions the names match; returns
// the reply's `bajados`, 1 when a name matched a session and 0 otherwise.
int duck_sessions(Controller& controller, const char* line);
// "restore", and the end of input: ramps every saved volume back, trying
// again for a while when the platform cannot be reached. The caller
// replies {"ok":true} either way.
void restore_command(Controller& controller, const char* line);
