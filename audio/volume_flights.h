// How a backend that confirms its volume sets asynchronously (a sound
// server) keeps a slow platform from drowning: at most one set in flight
// per stream. A set made while the stream's previous one is unanswered
// waits as the stream's pending level, the latest replacing the one before,
// and goes out when the answer comes; so the last step of a ramp always
// lands, and a busy server is asked for one wave of sets at a time rather
// than ten.
#pragma once

#include <cstdint>

struct VolumeFlight {
    bool in_flight;  // a set was sent and its answer has not come
    bool waiting;    // a later level waits for that answer
    float level;     // the waiting level
};

// True: send `level` now (the flight is then in the air). False: it waits
// as the pending level.
bool flight_send(VolumeFlight& flight, float level);
// The stream's answer came. True, with the level to send next, when one was
// waiting (the flight is in the air again).
bool flight_answered(VolumeFlight& flight, float* next);

// Waiting for answers gives up only when none at all has come for this
// long: a hung or stopped server, not a busy one still answering.
constexpr uint64_t kNoAnswerLimitMs = 2000;
