#include "audio/level_tolerance.h"

#include <cmath>

bool levels_match(float found, float written)
{
    // A level below 0 is nobody's; NaN never matches.
    if (!(found >= 0.0f) || !(written >= 0.0f))
        return false;
    return std::fabs(found - written) <= kEchoTolerance ||
           std::fabs(std::cbrt(found) - std::cbrt(written)) <= kEchoTolerance;
}
