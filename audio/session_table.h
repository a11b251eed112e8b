// The table of other applications' audio sessions, rebuilt by every command
// that works on sessions. An index is valid only until the next rebuild.
#pragma once

#include "audio/audio_platform.h"

constexpr int kMaxSessions = 256;

struct SessionEntry {
    VolumeControl* volume_control;  // owned until the next rebuild
    uint32_t pid;                   // never 0, never our own process
    Utf16Char exe_name[kMaxExeName];  // empty when the process was not found
    float volume;                   // master volume read during the rebuild
};

// False when the platform could not be asked (no enumerator or endpoint
// collection): the table is then empty, but nothing is known to have ended.
bool enumerate_sessions();
void release_sessions();

int session_count();
const SessionEntry& session_at(int index);
