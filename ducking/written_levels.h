// The levels appduck wrote to a session: every step of its ramps, each of
// which the platform's memory of the session took too (a sound server
// remembers every set a client makes; Windows keeps a program's last
// session volume). A session that starts with one of them from that memory
// was lowered by appduck, and such a level is never taken for its own.
#pragma once

#include "ducking/saved_volumes.h"

// How close to a written level a session's level must be to count as it:
// a part in a thousand of the level, where the sound servers' rounding of a
// level to their 16-bit cubic scale moves it by at most a few parts in
// ten thousand, and two steps of one ramp are a part in a hundred apart at
// the least (a ramp from 0.2 to 0.19).
constexpr float kWrittenLevelTolerance = 1e-3f;

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
