#include "ducking/written_levels.h"

#include "audio/level_tolerance.h"
#include "audio/volume_fader.h"

namespace {

// Compared as absolute levels: a player's slider rounds what it shows.
bool ramps_wrote(const Ramp* ramps, int count, float own_volume, float volume, float quietest)
{
    for (int i = 0; i < count; ++i) {
        // The ramp's start too: what the memory held when it began.
        for (int step = 0; step <= kFadeSteps; ++step) {
            const float written = ramp_share(ramps[i].from, ramps[i].to, step) * own_volume;
            if (levels_match(volume, written) ||
                (!levels_match(written, own_volume) && volume > written * quietest &&
                 volume < written))
                return true;
        }
    }
    return false;
}

}  // namespace

void add_ramp(Ramp* ramps, int* count, float from, float to)
{
    // The same ramp again (a settling, a duck repeated) names no new level.
    if (*count > 0 && ramps[*count - 1].from == from && ramps[*count - 1].to == to)
        return;
    if (*count == kRampsKept) {
        for (int i = 1; i < kRampsKept; ++i)
            ramps[i - 1] = ramps[i];
        --*count;
    }
    ramps[(*count)++] = {from, to};
}

bool wrote_level(const Ramp* ramps, int count, float own_volume, float volume, float quietest)
{
    // The own level is no lowered one.
    if (!(own_volume > 0.0f) || levels_match(volume, own_volume))
        return false;
    return ramps_wrote(ramps, count, own_volume, volume, quietest);
}

bool level_is_appducks(const Ramp* ramps, int count, float own_volume, float volume,
                       float quietest)
{
    return levels_match(volume, own_volume) ||
           ramps_wrote(ramps, count, own_volume, volume, quietest);
}
