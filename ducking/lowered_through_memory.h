// Sessions appduck lowered without ever setting them: a stream that starts
// while a duck ramps or holds takes its level from the platform's memory
// of its application (a sound server's stream memory, Windows' session
// volume), which every ramp step wrote. Such a session was lowered by
// appduck, and its own level is the one from before the duck.
#pragma once

#include "ducking/sharing/shared_turn.h"

// Memories this process could not write apart from a session (Windows),
// newest last, to be put back by the next rebuilds.
constexpr int kMaxRemembered = 32;
struct RememberedMemories {
    SavedSession gone[kMaxRemembered];
    int count = 0;
};

// After a rebuild in a change: a session no record knows, whose level is
// one that appduck wrote under its memory's name, gets a record as the one
// it came from is held (by every controller that holds that one). Returns
// how many.
int adopt_sessions_lowered_through_memory(const SessionTable& sessions, SharedTurn& turn);

// A recorded session that ended: its memory goes back to the level from
// before the duck, so that the application's next session starts there.
// Where the platform's memory cannot be written apart from a session
// (Windows), it is remembered instead, for put_back_remembered.
void put_back_memory(RememberedMemories& remembered, const SavedSession& gone);
// After any rebuild: a session that started at a level appduck wrote under
// a memory remembered here is set back to the level from before the duck.
// True when one was: the table's levels are then out of date.
bool put_back_remembered(RememberedMemories& remembered, const SessionTable& sessions,
                         SavedVolumes& saved);
