// Bringing recorded sessions to where the holds leave them: the restore
// (this controller's holds lifted), and another try at a duck whose levels
// the platform did not confirm (its holds kept).
#pragma once

#include "ducking/controller.h"

#include <cstdint>

// How long a restore (the command, or the end of input) keeps trying while
// the platform cannot be reached or does not confirm, and how often; then
// it replies, keeping what is saved for the next restore and the keeper.
constexpr uint64_t kRestorePatienceMs = 10 * 1000;
constexpr unsigned kRestoreRetryMs = 500;

// One try: takes the turn, rebuilds the session table, ramps every
// recorded session to its target, puts back the memory of sessions that
// are gone, and, lifting, drops what is back or gone. True when every
// level is confirmed and, lifting, nothing is left saved or unwritten;
// false, with what could not be seen or confirmed kept, otherwise.
bool bring_saved_sessions(Controller& controller, bool lift_own);
// Tries again every kRestoreRetryMs for up to kRestorePatienceMs while a
// try fails: a server stalled for a few seconds has every level before the
// reply. The keeper hears of the outcome either way.
void bring_saved_sessions_patiently(Controller& controller, bool lift_own);

// The keeper's try: a restore of everything it holds.
bool restore_saved_volumes(Controller& keeper);
