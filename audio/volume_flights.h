// How a backend that confirms its volume sets asynchronously (a sound
// server) keeps a slow platform from drowning: at most one set in flight
// per stream. A set made while the stream's previous one is unanswered
// waits as the stream's pending level (which the backend keeps, in its
// own terms), the latest replacing the one before. It goes out with the
// next set or when the changes are confirmed, never from the answer
// itself: a ramp reads the levels before each step, and a set sent
// between that read and the step could write over a level the user set
// meanwhile, unseen. So the last step of a ramp always lands, and a busy
// server is asked for one wave of sets at a time rather than ten.
#pragma once

struct VolumeFlight {
    bool in_flight;  // a set was sent and its answer has not come
    bool waiting;    // a later level waits to go out
};

// True: send the level now (the flight is then in the air). False: it
// waits as the stream's pending level, replacing any before it.
bool flight_send(VolumeFlight& flight);
// The stream's answer came; a level that waited keeps waiting.
void flight_answered(VolumeFlight& flight);
// True when a level waits and nothing is in the air: send it now (the
// flight is in the air again).
bool flight_take_waiting(VolumeFlight& flight);
