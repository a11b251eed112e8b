// Ramps session-table entries from a start to a target share of their own
// level in ten steps 30 ms apart, so a duck is heard as a short fade and
// not a jump.
#pragma once

#include "session_table.h"

constexpr int kFadeSteps = 10;
constexpr unsigned kFadeStepMs = 30;
// A whole ramp's time, the same whether or not anything moves.
constexpr unsigned kFadeMs = kFadeSteps * kFadeStepMs;

// The ramp arrays, indexed like the session table, that a command fills
// and hands to fade_volumes; commands run one at a time, so one set serves
// them all.
struct RampArrays {
    float from[kMaxSessions];
    float to[kMaxSessions];
    const SessionLevel* own[kMaxSessions];
};
RampArrays& ramp_arrays();

// The share a ramp from `from` to `to` writes at a step (0: its start,
// kFadeSteps: its target, exactly), clamped as the platform is given it.
float ramp_share(float from, float to, int step);

// Shares of each entry's own level: from[k] < 0 (or NaN) leaves entry k
// alone; to[k] and own[k] are read only otherwise. Blocks for all ten
// steps, even when nothing is ramped, then until the platform has applied
// every set. False when that could not be confirmed.
bool fade_volumes(const float* from, const float* to, const SessionLevel* const* own, int count);
