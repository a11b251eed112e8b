// The keeper: a second process of this program that outlives it, so that
// no application stays ducked when this one is killed (SIGKILL, Windows'
// TerminateProcess) or ends without reaching the platform.
//
// This process tells it every change of the saved volumes before the ramp
// that depends on it; the keeper holds them and, once its pipe ends with
// something still saved, restores it as a restore command would, trying
// again for a while when the platform cannot be reached. It writes nothing.
#pragma once

#include <cstdint>

// How long the keeper keeps trying, and how often.
constexpr uint64_t kKeeperPatienceMs = 10 * 60 * 1000;
constexpr unsigned kKeeperRetryMs = 1000;
// How soon a keeper waiting to try again notices that it is asked to stop.
constexpr unsigned kKeeperStopCheckMs = 100;

// Brings the keeper up to date with the saved volumes, starting one if
// something is saved and none runs. Never waits on the keeper; a keeper
// that cannot be started or told anything changes nothing for the
// controller, and one that missed a record is replaced before it can act.
void update_keeper();
// As the program ends: a keeper holding nothing exits, one still holding
// saved volumes restores them.
void let_keeper_go();

// True when this process was started as the keeper, with its pipe (the
// marker alone on a command line runs the normal program).
bool started_as_keeper(int argc, char** argv);
// The keeper process's whole life; returns its exit status.
int run_keeper();
