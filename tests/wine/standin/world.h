// The world the stand-in audio service serves, read from a text file, and
// the calls it is told to fail.
#pragma once

#include <cstdint>

constexpr int kMaxIdentifier = 64;

struct Session {
    int endpoint;
    uint32_t pid;
    float volume;
    char identifier[kMaxIdentifier];  // GetSessionIdentifier's; empty: E_NOTIMPL
    bool ended;                       // listed no more; its identifier stays known
};

constexpr int kMaxWorldSessions = 512;

struct World {
    int endpoint_count;
    Session sessions[kMaxWorldSessions];
    int session_count;
};
extern World g_world;

// The calls a world file can make fail, by their names there.
enum class Operation {
    kCreate,             // create: the enumerator itself
    kEnumEndpoints,      // enum_endpoints
    kEndpointCount,      // endpoint_count
    kItem,               // item
    kActivate,           // activate
    kSessionEnumerator,  // session_enumerator
    kSessionCount,       // session_count
    kGetSession,         // get_session
    kControl2,           // control2
    kProcessId,          // process_id
    kInstance,           // instance
    kVolumeControl,      // volume_control
    kGetVolume,          // get_volume
    kSetVolume,          // set_volume
    kCount
};

// Reads the world afresh (every rebuild does, so a test may change it while
// a program runs); false when a line does not parse.
bool read_world(const char* path);
int sessions_of_endpoint(int endpoint);
// The world's index of the endpoint's nth session, or -1.
int nth_session_of_endpoint(int endpoint, int n);
// Counts a call of the operation and says whether it is to fail.
bool should_fail(Operation operation);
