// The levels appduck wrote to a session: every step of its ramps, each of
// which the platform's memory of the session took too (a sound server
// remembers every set a client makes; Windows keeps a program's last
// session volume). A session that starts with one of them from that memory
// was lowered by appduck, and such a level is never taken for its own.
#pragma once

#include "ducking/saved_volumes.h"

// A session's level counts as a written one within kEchoTolerance
// (audio/level_tolerance.h): what a player that rounds its slider writes
// back, or a server's memory gives a new stream, is still appduck's.

// Keeps the ramp among the last kRampsKept.
void add_ramp(Ramp* ramps, int* count, float from, float to);
// Whether `volume` is a level one of the ramps wrote to a session whose own
// loudest level is `own_volume`, other than the own level itself. A stream
// on other channels took such a level as the server mapped it onto them,
// mixing the channels: its loudest then lies anywhere from the written
// share of the session's quietest channel (`quietest`, a share of its
// loudest) to that of its loudest.
bool wrote_level(const Ramp* ramps, int count, float own_volume, float volume,
                 float quietest = 1.0f);
// Whether `volume` is a level appduck gave the session: its own level, or
// one the ramps wrote (as wrote_level). Any other was set by someone else.
bool level_is_appducks(const Ramp* ramps, int count, float own_volume, float volume,
                       float quietest = 1.0f);
