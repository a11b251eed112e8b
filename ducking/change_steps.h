// The steps every change of levels shares, duck and restore alike, between
// taking the turn and giving it: the rebuild before its ramp, and the
// settling after it.
#pragma once

#include "ducking/controller.h"

// Rebuilds the session table for a change of levels: sessions set back from
// a remembered memory first, then sessions lowered through memory adopted.
// False when the platform could not be asked.
bool rebuild_for_change(Controller& controller, SharedTurn& turn);
// The same for a command that changes no level of its own (`list`).
bool rebuild_for_listing(Controller& controller);

// Which records a change has set, by their place.
struct Brought {
    bool by_record[kMaxSaved];
    bool unsettled;  // a ramp left one of them unbrought (another's level met)
    bool merged;     // the table was read again and merged since the ramp
};
// Every record now there, as a duck's ramp sets them all.
Brought all_records_brought(const SavedVolumes& saved);

// After a ramp: a session that started during it from the platform's
// memory took one of its levels, and one the ramp's rebuild could not see
// was not ramped; each such recorded session goes straight to its target
// (lifting: the deepest duck the others hold; else where the holds leave
// it), and is marked brought. So does every session whose holds moved
// while this change held the turn (another change, past its time, wrote
// the table). False when the platform could not be asked or did not
// confirm.
bool settle_latecomers(Controller& controller, SharedTurn& turn, bool lift_own, Brought& brought);
