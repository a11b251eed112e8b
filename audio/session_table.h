// The table of other applications' audio sessions, rebuilt by every command
// that works on sessions. An index is valid only until the next rebuild.
#pragma once

#include "audio/audio_platform.h"

constexpr int kMaxSessions = 256;

struct SessionEntry {
    VolumeControl* volume_control;  // owned until the next rebuild
    uint32_t pid;                   // never 0, never our own process
    uint64_t instance;              // 0: known only by its process
    char memory_key[kMaxMemoryKey];  // empty: the platform remembers nothing for it
    Utf16Char exe_name[kMaxExeName];  // empty when the process was not found
    float volume;                   // master volume read during the rebuild
};

// One controller's table: its entries and what its last rebuild may have
// missed. It holds the entries' volume controls until the next rebuild.
struct SessionTable {
    SessionEntry entries[kMaxSessions];
    int count = 0;
    unsigned rebuilds = 0;  // what is known of its processes holds until this moves
    // What the last rebuild may have missed: everything, or the sessions
    // of these processes.
    bool blind = true;
    uint32_t unsure[kMaxSessions];
    int unsure_count = 0;
};

// False when the platform could not be asked (no enumerator or endpoint
// collection): the table is then empty, but nothing is known to have ended.
bool enumerate_sessions(SessionTable& table);
void release_sessions(SessionTable& table);
unsigned rebuild_number(const SessionTable& table);

int session_count(const SessionTable& table);
const SessionEntry& session_at(const SessionTable& table, int index);

// Whether the last rebuild may lack a session of this process that is
// still there: the platform was not reached, a call failed before the
// session's process was known, the table was full, or one of the process's
// sessions could not be read whole. (One known by its process alone is in
// the table with instance 0.) Only a session not in a rebuild that could
// have missed nothing of its process has really ended.
bool session_may_be_missing(const SessionTable& table, uint32_t pid);
