#include "volume_fader.h"

#include "session_table.h"

#include <algorithm>
#include <cassert>

RampPlan plan_nothing(const SessionTable& table)
{
    RampPlan plan;
    plan.count = session_count(table);
    for (int k = 0; k < plan.count; ++k)
        plan.from[k] = -1.0f;
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

bool fade_volumes(const SessionTable& table, const RampPlan& plan)
{
    assert(plan.count >= 0 && plan.count <= session_count(table));
    // Paced to the clock, not by summed sleeps, which each overshoot: step
    // k is set at start + (k - 1) x 30 ms and the ramp ends at start + 300.
    const uint64_t start = monotonic_ms();
    for (int step = 1; step <= kFadeSteps; ++step) {
        for (int k = 0; k < plan.count; ++k) {
            // Written so that a NaN start fails the test too.
            if (!(plan.from[k] >= 0.0f))
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
