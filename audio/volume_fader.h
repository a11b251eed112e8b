// Ramps session-table entries from a start to a target share of their own
// level in ten steps 30 ms apart, so a duck is heard as a short fade and
// not a jump.
#pragma once

#include "session_table.h"

constexpr int kFadeSteps = 10;
constexpr unsigned kFadeStepMs = 30;
// A whole ramp's time, the same whether or not anything moves.
constexpr unsigned kFadeMs = kFadeSteps * kFadeStepMs;

// A ramp of the session table's entries, as the step that plans a change
// builds it: shares of each entry's own level. from[k] < 0 (or NaN) leaves
// entry k alone; to[k] and own[k] are read only otherwise. An entry with
// an own volume (its own level's loudest, > 0) is watched: found at a
// level the ramp did not write before a step, it is left there, and
// left[k] says so.
struct RampPlan {
    float from[kMaxSessions];
    float to[kMaxSessions];
    const SessionLevel* own[kMaxSessions];
    float own_volume[kMaxSessions];
    bool left[kMaxSessions];
    int count;  // the entries it covers, the table's first
};
// A plan that leaves the table's every entry alone.
RampPlan plan_nothing(const SessionTable& table);

// The share a ramp from `from` to `to` writes at a step (0: its start,
// kFadeSteps: its target, exactly), clamped as the platform is given it.
float ramp_share(float from, float to, int step);

// Blocks for all ten steps, even when nothing is ramped, then until the
// platform has applied every set. False when that could not be confirmed.
bool fade_volumes(const SessionTable& table, RampPlan& plan);
