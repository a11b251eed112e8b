// When a level found on a session is one that was written there: the echo
// of a player that shows its stream's volume on a slider of whole percents
// and writes the slider's value back, on a linear scale or on the mixers'
// cubic one, is still the level written; a level further away was set by
// someone else.
#pragma once

// Half a step of 1 % on either scale, and a tenth of that again for the
// sound servers' rounding of a level to their 16-bit cubic scale and for
// float arithmetic. A user's change smaller than this is taken for an echo.
constexpr float kEchoTolerance = 0.0055f;

// Whether `found` is `written` as a player that rounds to whole percents
// may give it back: both absolute levels (linear amplitude factors).
bool levels_match(float found, float written);
