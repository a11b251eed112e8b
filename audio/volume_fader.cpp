#include "volume_fader.h"

#include "audio/diagnostics.h"
#include "audio/level_tolerance.h"
#include "session_table.h"

#include <algorithm>
#include <cassert>

RampPlan plan_nothing(const SessionTable& table)
{
    RampPlan plan;
    plan.count = session_count(table);
    for (int k = 0; k < plan.count; ++k) {
        plan.from[k] = -1.0f;
        plan.own_volume[k] = 0.0f;
        plan.left[k] = false;
    }
    return plan;
}

float ramp_share(float from, float to, int step)
{
    // The last step is the target itself: a share of exactly 1 puts the
    // session's own level back to the last bit.
    float share = to;
    if (step < kFadeSteps)
        share = static_cast<float>(step) * (to - from) / static_cast<float>(kFadeSteps) + from;
    return std::clamp(share, 0.0f, std::max({1.0f, from, to}));
}

namespace {

bool ramped(const RampPlan& plan, int k)
{
    // Written so that a NaN start fails the test too.
    return plan.from[k] >= 0.0f && !plan.left[k];
}

bool watched(const RampPlan& plan, int k)
{
    return ramped(plan, k) && plan.own_volume[k] > 0.0f;
}

// Before a step: a watched entry that someone else set since the ramp
// began is left where they put it. The level found may still be any
// step written so far, the platform being behind.
void leave_entries_set_meanwhile(const SessionTable& table, RampPlan& plan, int step)
{
    bool any = false;
    for (int k = 0; k < plan.count && !any; ++k)
        any = watched(plan, k);
    if (!any || !refresh_session_levels())
        return;  // unknown levels: the ramp goes on
    for (int k = 0; k < plan.count; ++k) {
        float found = 0.0f;
        if (!watched(plan, k) || !get_master_volume(session_at(table, k).volume_control, &found))
            continue;
        bool written = false;
        for (int s = 0; s < step && !written; ++s)
            written = levels_match(found, ramp_share(plan.from[k], plan.to[k], s) * plan.own_volume[k]);
        if (written)
            continue;
        plan.left[k] = true;
        drop_unsent_level(session_at(table, k).volume_control);
        diagnose("a session of process %u was set during the ramp: appduck last wrote %.4f, "
                 "found %.4f: left where the user put it",
                 session_at(table, k).pid,
                 static_cast<double>(ramp_share(plan.from[k], plan.to[k], step - 1) * plan.own_volume[k]),
                 static_cast<double>(found));
    }
}

}  // namespace

bool fade_volumes(const SessionTable& table, RampPlan& plan)
{
    assert(plan.count >= 0 && plan.count <= session_count(table));
    // Paced to the clock, not by summed sleeps, which each overshoot: step
    // k is set at start + (k - 1) x 30 ms and the ramp ends at start + 300.
    const uint64_t start = monotonic_ms();
    for (int step = 1; step <= kFadeSteps; ++step) {
        // The first step follows the read that planned the ramp; the others
        // read just before they write, so that little can come between.
        if (step > 1)
            leave_entries_set_meanwhile(table, plan, step);
        for (int k = 0; k < plan.count; ++k) {
            if (!ramped(plan, k))
                continue;
            set_session_level(session_at(table, k).volume_control, *plan.own[k],
                              ramp_share(plan.from[k], plan.to[k], step));
        }
        sleep_until(start + static_cast<uint64_t>(step) * kFadeStepMs);
    }
    // One wait after the last step, not one per step: the steps stay 30 ms
    // apart, and a reply still means the platform has every level.
    return confirm_volume_changes();
}
