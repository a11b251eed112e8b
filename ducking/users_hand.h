// A level that someone other than appduck sets on a ducked session (a
// mixer, pactl, the desktop's slider, the player's own control) is that
// session's level from then on: appduck stops holding it, neither its
// restore nor its keeper puts it back, and every other controller lets it
// go too. A level appduck gave the session, within the echo of a player
// that rounds its slider (audio/level_tolerance.h), is appduck's.
#pragma once

#include "audio/volume_fader.h"
#include "ducking/change_steps.h"

// Whether the entry's level is none appduck gave the record's session:
// not its own level, nor any level this controller's ramps or, for the
// same original, the table's wrote to it.
bool set_by_someone_else(const SharedTurn& turn, const SessionEntry& entry,
                         const SavedSession& record);
// The own volume a ramp of the record's session watches (RampPlan), or 0:
// a session on other channels than its own level's is not watched.
float watched_volume(const SessionEntry& entry, const SavedSession& record);
// Before a change plans its ramp: each recorded session of the table at a
// level someone else set is left where they put it, its record and every
// hold on it gone; a session the table told this controller of is judged
// here too, and held again only when its level is appduck's.
void leave_what_others_set(Controller& controller, SharedTurn& turn);
// After a ramp: each entry it left, set meanwhile, is judged again with
// the table as it is now and its level as it is now. Set by someone else:
// its record goes the same way, `brought` (by record) keeping step. Set by
// another controller (one that kept the turn too long, say): unbrought, for
// settle_latecomers to bring where the holds leave it.

void leave_entries_the_ramp_left(Controller& controller, SharedTurn& turn, const RampPlan& plan,
                                 Brought& brought);
