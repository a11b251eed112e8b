// What the Linux backend's files share: platform.cpp calls these, and
// nothing in them calls back into it.
#pragma once

// The next process snapshot reads /proc afresh: called as a rebuild of the
// session table begins (processes.cpp).
void forget_process_ids();

// This process is the keeper, started with its pipe (keeper.cpp).
bool running_as_keeper();

// The address libpulse tries first: PULSE_SERVER, else the user's runtime
// socket (a client.conf is not read here), as text (platform.cpp).
const char* sound_server_address();
