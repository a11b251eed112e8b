// What ducking must be able to undo: the volume each ducked process had
// before its first duck, and what the platform remembered of its streams
// then. Both outlive the session table's rebuilds, and both are dropped
// only by a restore that reached the platform and had every change
// confirmed, so a restore that could not reach it loses nothing.
#pragma once

#include "audio/audio_platform.h"

#include <cstdint>

constexpr int kMaxSaved = 256;
constexpr int kMaxRemembered = 256;

struct SavedVolume {
    uint32_t pid;
    float volume;  // the process's first matched session, before its first duck
};

const SavedVolume* find_saved(uint32_t pid);
// Appends a process; null when the table is full.
const SavedVolume* save_volume(uint32_t pid, float volume);
// Keeps a stream's memory as it is before its first duck, once per name; a
// full table or a name that cannot travel as one line keeps nothing.
void keep_volume_memory(const VolumeMemory& memory);
bool nothing_saved();
void forget_saved_volumes();

// Read access for the keeper's link: the tables in the order they grew, and
// a count of how often they were emptied.
int saved_count();
const SavedVolume& saved_at(int index);
int remembered_count();
const VolumeMemory& remembered_at(int index);
unsigned times_forgotten();

// Rebuilds the session table, ramps every session of a saved process back
// to its saved volume and puts back the memory of streams that are gone.
// True, with everything forgotten, when the platform was reached and
// confirmed every change; false, with everything kept, otherwise.
bool restore_saved_volumes();
