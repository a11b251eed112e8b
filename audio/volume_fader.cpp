#include "volume_fader.h"

#include "session_table.h"

#include <algorithm>
#include <cassert>

RampArrays& ramp_arrays()
{
    static RampArrays arrays;
    return arrays;
}

bool fade_volumes(const float* from, const float* to, int count)
{
    assert(count >= 0 && count <= session_count());
    // Paced to the clock, not by summed sleeps, which each overshoot: step
    // k is set at start + (k - 1) x 30 ms and the ramp ends at start + 300.
    const uint64_t start = monotonic_ms();
    for (int step = 1; step <= kFadeSteps; ++step) {
        for (int k = 0; k < count; ++k) {
            // Written so that a NaN start fails the test too.
            if (!(from[k] >= 0.0f))
                continue;
            // The target is never written directly: step 10 reaches it up
            // to single-precision rounding.
            const float level = static_cast<float>(step) * (to[k] - from[k]) /
                                    static_cast<float>(kFadeSteps) +
                                from[k];
            // The last step can land a rounding error outside 0..1 (0.81 to
            // 0 ends at -6e-8), and Windows refuses such a level: the session
            // would stay a step short. Levels above 1 that the ramp's own
            // ends reach (a sound server that amplifies) stay as they are.
            const float highest = std::max({1.0f, from[k], to[k]});
            set_master_volume(session_at(k).volume_control, std::clamp(level, 0.0f, highest));
        }
        sleep_until(start + static_cast<uint64_t>(step) * kFadeStepMs);
    }
    // One wait after the last step, not one per step: the steps stay 30 ms
    // apart, and a reply still means the platform has every level.
    return confirm_volume_changes();
}
