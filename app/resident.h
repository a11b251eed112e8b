// The resident appduck that keeps one named hold for hooks that run one
// command per event: started by the first `appduck duck --as NAME`, it
// answers that hold's ducks, restores and status over the hold's channel,
// and ends, everything brought back, when the hold is restored, its time
// is up, its watched process ends or it is asked to stop.
#pragma once

#include "audio/hold_platform.h"
#include "ducking/controller.h"

// A resident's command line: the program, this marker, the hold's name.
constexpr char kResidentMarker[] = "--resident";

// What a client writes first, one line: "hold FOR_MS PID STARTED" before
// the duck's protocol line, or "restore", or "status". The resident
// answers "taken" once it has the whole request, then the reply.
constexpr char kTakenLine[] = "taken";

bool started_as_resident(int argc, char** argv);
int run_resident(Controller& controller, const char* name);
// A named run keeps its hold's channel while its command runs, answered as
// a resident's: status names it, a duck under its name is its next duck,
// and a restore lifts the duck early (the command goes on). Returns when
// the command ends, a restore came or we are asked to stop; the channel
// is closed by then.
void keep_hold_for_command(Controller& controller, const char* name, HoldListener* listener,
                           uint32_t command);
