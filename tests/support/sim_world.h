// Shorthands for setting up the simulated audio world in tests.
#pragma once

#include "support/simulated/platform.h"

#include <cstdint>
#include <string>

// A running process with one session on the endpoint; returns the session id.
int add_app(int endpoint, uint32_t pid, const char* exe, float volume);

// Every reference obtained has been released, none twice, and no keeper
// is left running.
bool all_references_released();

// The levels set on one session, in order.
std::string volume_sets_of(int session);
