// The keeper: a second process of this program that outlives it, so that
// no application stays ducked when this one is killed (SIGKILL, Windows'
// TerminateProcess) or ends without reaching the platform.
//
// This process tells it every change of the saved volumes before the ramp
// that depends on it, and every release it could not write into the shared
// table; the keeper holds them and, once its pipe ends with something
// still owed, restores it as a restore command would, trying again for a
// while when the platform cannot be reached. It writes nothing.
#pragma once

#include "ducking/keeper/record_reader.h"

#include <cstdint>

// How long the keeper keeps trying, and how often.
constexpr uint64_t kKeeperPatienceMs = 10 * 60 * 1000;
constexpr unsigned kKeeperRetryMs = 1000;
// How soon a keeper waiting to try again notices that it is asked to stop.
constexpr unsigned kKeeperStopCheckMs = 100;

// What a controller's keeper has been told; in the keeper, its pipe.
struct KeeperLink {
    bool running = false;
    unsigned times_rewritten = 0;  // since then, no record moved
    unsigned releases = 0;         // the unwritten releases as they were told
    bool holder = false;   // whose holds they are
    bool all_due = false;  // a new keeper: every record is to be told
    bool in_keeper = false;  // this process is the keeper: it starts none
    RecordReader incoming;
};

struct Controller;

// Brings the keeper up to date with the saved volumes and the unwritten
// releases, starting one if something is owed and none runs. Never waits
// on the keeper; a keeper that cannot be started or told anything changes
// nothing for the controller, and one that missed a record is replaced
// before it can act.
void update_keeper(Controller& controller);
// As the program ends: a keeper holding nothing exits, one still holding
// something owed restores it.
void let_keeper_go(Controller& controller);

// True when this process was started as the keeper, with its pipe (the
// marker alone on a command line runs the normal program).
bool started_as_keeper(int argc, char** argv);
// The keeper process's whole life, on a controller of its own; returns its
// exit status.
int run_keeper(Controller& keeper);
