// Bringing recorded sessions to where the holds leave them: the restore
// (this controller's holds lifted), and another try at a duck whose levels
// the platform did not confirm (its holds kept).
#pragma once

#include "shared_turn.h"

// One try: rebuilds the session table, ramps every recorded session to its
// target, puts back the memory of sessions that are gone, and, lifting,
// drops what is back or gone. True when every level is confirmed and,
// lifting, nothing is left saved; false, with what could not be seen or
// confirmed kept, otherwise.
bool bring_saved_sessions(bool lift_own);
// Tries again every kRestoreRetryMs for up to kRestorePatienceMs while a
// try fails: a server stalled for a few seconds has every level before the
// reply. The keeper hears of the outcome either way.
void bring_saved_sessions_patiently(bool lift_own);

// After a ramp: a session that started during it from the platform's
// memory took one of its levels, and one the ramp's rebuild could not see
// was not ramped; each such recorded session goes straight to its target.
// `brought` marks, by record, what the ramp set (and marks what this sets).
// False when the platform could not be asked or did not confirm.
bool settle_latecomers(SharedTurn& turn, bool lift_own, bool* brought);

// The keeper's try: a restore of everything it holds.
bool restore_saved_volumes();
