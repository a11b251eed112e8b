// One controller's whole state, as one value that every call which reads
// or changes it is passed: its session table, what it saved, what it
// shares with other controllers, what its keeper was told, what it spares,
// and the memories it could not write. The program has one (its keeper
// process one of its own); the tests' explorer runs several side by side.
// Nothing else in ducking/ keeps state between commands.
#pragma once

#include "audio/session_table.h"
#include "ducking/keeper/keeper.h"
#include "ducking/lowered_through_memory.h"
#include "ducking/saved_volumes.h"
#include "ducking/sharing/shared_turn.h"
#include "ducking/spare.h"

struct Controller {
    SessionTable sessions;
    SavedVolumes saved;
    Sharing sharing;
    KeeperLink keeper;
    Spared spared;
    RememberedMemories remembered;
};

// The controller as the program starts: nothing saved, shared, told or
// spared. (It is large: a program keeps its one in static storage.)
void start_controller(Controller& controller);
