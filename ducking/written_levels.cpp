#include "ducking/written_levels.h"

#include "audio/volume_fader.h"

#include <cmath>

namespace {

bool close_to(float share, float written)
{
    return std::fabs(share - written) <= kWrittenLevelTolerance * std::fmax(written, 1e-3f);
}

}  // namespace

void add_ramp(Ramp* ramps, int* count, float from, float to)
{
    if (*count == kRampsKept) {
        for (int i = 1; i < kRampsKept; ++i)
            ramps[i - 1] = ramps[i];
        --*count;
    }
    ramps[(*count)++] = {from, to};
}

bool wrote_level(const Ramp* ramps, int count, float own_volume, float volume, float quietest)
{
    if (!(own_volume > 0.0f))
        return false;
    const float share = volume / own_volume;
    if (close_to(share, 1.0f))
        return false;  // the own level is no lowered one
    for (int i = 0; i < count; ++i) {
        // The ramp's start too: what the memory held when it began.
        for (int step = 0; step <= kFadeSteps; ++step) {
            const float written = ramp_share(ramps[i].from, ramps[i].to, step);
            if (close_to(share, written) ||
                (!close_to(written, 1.0f) && share > written * quietest && share < written))
                return true;
        }
    }
    return false;
}
