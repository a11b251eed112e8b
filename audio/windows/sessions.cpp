// The Windows backend's audio sessions: COM's Core Audio endpoints and
// sessions, and their volumes. Nothing more: handles are the interface
// pointers themselves.
#include "audio/audio_platform.h"
#include "audio/diagnostics.h"
#include "audio/handles.h"

#include <windows.h>
#include <audiopolicy.h>
#include <mmdeviceapi.h>

#include <cstdio>
#include <cstring>

namespace {

bool g_set_failed = false;  // since the last confirmation

// A failed call, for APPDUCK_DEBUG: true when it failed.
bool failed(HRESULT result, const char* call)
{
    if (FAILED(result)) {
        diagnose("%s failed: 0x%08lx", call, static_cast<unsigned long>(result));
        return true;
    }
    return false;
}

// A 64-bit FNV-1a digest of an identifier the caller frees.
uint64_t digest_of(const wchar_t* text)
{
    uint64_t digest = 14695981039346656037ull;
    for (const wchar_t* unit = text; *unit; ++unit) {
        digest ^= static_cast<uint16_t>(*unit);
        digest *= 1099511628211ull;
    }
    return digest;
}

}  // namespace

DeviceEnumerator* create_device_enumerator()
{
    IMMDeviceEnumerator* enumerator = nullptr;
    if (failed(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                __uuidof(IMMDeviceEnumerator),
                                reinterpret_cast<void**>(&enumerator)),
               "CoCreateInstance(MMDeviceEnumerator)"))
        return nullptr;
    return handle<DeviceEnumerator>(enumerator);
}

EndpointCollection* active_playback_endpoints(DeviceEnumerator* enumerator)
{
    IMMDeviceCollection* endpoints = nullptr;
    if (failed(record<IMMDeviceEnumerator>(enumerator)
                   ->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &endpoints),
               "IMMDeviceEnumerator::EnumAudioEndpoints"))
        return nullptr;
    return handle<EndpointCollection>(endpoints);
}

bool endpoint_count(EndpointCollection* endpoints, unsigned* count)
{
    UINT read = 0;
    if (failed(record<IMMDeviceCollection>(endpoints)->GetCount(&read), "IMMDeviceCollection::GetCount"))
        return false;
    *count = read;
    return true;
}

Endpoint* endpoint_at(EndpointCollection* endpoints, unsigned index)
{
    IMMDevice* device = nullptr;
    if (failed(record<IMMDeviceCollection>(endpoints)->Item(index, &device), "IMMDeviceCollection::Item"))
        return nullptr;
    return handle<Endpoint>(device);
}

SessionManager* activate_session_manager(Endpoint* endpoint)
{
    IAudioSessionManager2* manager = nullptr;
    if (failed(record<IMMDevice>(endpoint)->Activate(__uuidof(IAudioSessionManager2), CLSCTX_ALL,
                                                  nullptr, reinterpret_cast<void**>(&manager)),
               "IMMDevice::Activate(IAudioSessionManager2)"))
        return nullptr;
    return handle<SessionManager>(manager);
}

SessionEnumerator* session_enumerator(SessionManager* manager)
{
    IAudioSessionEnumerator* sessions = nullptr;
    // Wine's session manager answers E_NOTIMPL here, so Wine lists nothing.
    if (failed(record<IAudioSessionManager2>(manager)->GetSessionEnumerator(&sessions),
               "IAudioSessionManager2::GetSessionEnumerator"))
        return nullptr;
    return handle<SessionEnumerator>(sessions);
}

bool enumerator_session_count(SessionEnumerator* sessions, unsigned* count)
{
    int read = 0;
    if (failed(record<IAudioSessionEnumerator>(sessions)->GetCount(&read),
               "IAudioSessionEnumerator::GetCount"))
        return false;
    *count = read > 0 ? static_cast<unsigned>(read) : 0;
    return true;
}

SessionControl* session_control_at(SessionEnumerator* sessions, unsigned index)
{
    IAudioSessionControl* control = nullptr;
    if (failed(record<IAudioSessionEnumerator>(sessions)->GetSession(static_cast<int>(index), &control),
               "IAudioSessionEnumerator::GetSession"))
        return nullptr;
    return handle<SessionControl>(control);
}

SessionControl2* query_session_control2(SessionControl* control)
{
    IAudioSessionControl2* control2 = nullptr;
    if (failed(record<IAudioSessionControl>(control)->QueryInterface(
                   __uuidof(IAudioSessionControl2), reinterpret_cast<void**>(&control2)),
               "QueryInterface(IAudioSessionControl2)"))
        return nullptr;
    return handle<SessionControl2>(control2);
}

// The system sounds session succeeds with AUDCLNT_S_NO_SINGLE_PROCESS and 0.
bool session_process_id(SessionControl2* control, uint32_t* pid)
{
    DWORD read = 0;
    if (failed(record<IAudioSessionControl2>(control)->GetProcessId(&read),
               "IAudioSessionControl2::GetProcessId"))
        return false;
    *pid = read;
    return true;
}

// The instance identifier is a string unique to the session while it
// lives; its digest is kept, cut to 62 bits, never 0.
bool session_instance(SessionControl2* control, uint64_t* instance)
{
    LPWSTR identifier = nullptr;
    if (failed(record<IAudioSessionControl2>(control)->GetSessionInstanceIdentifier(&identifier),
               "IAudioSessionControl2::GetSessionInstanceIdentifier"))
        return false;
    if (!identifier)
        return false;
    const uint64_t digest = digest_of(identifier) & ((uint64_t{1} << 62) - 1);
    CoTaskMemFree(identifier);
    *instance = digest ? digest : 1;
    return true;
}

// Windows keeps a session's volume across the program's restarts under its
// session identifier, the same for every instance of the program: that is
// the name of its memory, kept as a digest so that any path fits.
bool session_memory_key(SessionControl2* control, char* key)
{
    LPWSTR identifier = nullptr;
    const HRESULT result = record<IAudioSessionControl2>(control)->GetSessionIdentifier(&identifier);
    // Not implemented (Wine): no memory to speak of, and no failure.
    if (result == E_NOTIMPL || failed(result, "IAudioSessionControl2::GetSessionIdentifier"))
        return false;
    if (!identifier)
        return false;
    const uint64_t digest = digest_of(identifier);
    CoTaskMemFree(identifier);
    std::snprintf(key, kMaxMemoryKey, "session-identifier:%016llx",
                  static_cast<unsigned long long>(digest));
    return true;
}

VolumeControl* query_volume_control(SessionControl* control)
{
    ISimpleAudioVolume* volume = nullptr;
    if (failed(record<IAudioSessionControl>(control)->QueryInterface(
                   __uuidof(ISimpleAudioVolume), reinterpret_cast<void**>(&volume)),
               "QueryInterface(ISimpleAudioVolume)"))
        return nullptr;
    return handle<VolumeControl>(volume);
}

bool get_master_volume(VolumeControl* volume, float* level)
{
    return !failed(record<ISimpleAudioVolume>(volume)->GetMasterVolume(level),
                   "ISimpleAudioVolume::GetMasterVolume");
}

bool refresh_session_levels()
{
    return true;
}

// Every set goes out at once.
void drop_unsent_level(VolumeControl*) {}

// A session's whole level on Windows is its master volume, kept as the
// float's bits on one channel.
bool get_session_level(VolumeControl* volume, SessionLevel* level)
{
    float master = 0.0f;
    if (!get_master_volume(volume, &master))
        return false;
    *level = {};
    level->channels = 1;
    std::memcpy(&level->values[0], &master, sizeof master);
    return true;
}

// A session's level is its master volume alone.
float channel_loudness(const SessionLevel&, int)
{
    return 1.0f;
}

void set_session_level(VolumeControl* volume, const SessionLevel& own, float share)
{
    float master = 0.0f;
    std::memcpy(&master, &own.values[0], sizeof master);
    master *= share;  // exact at a share of 1
    if (failed(record<ISimpleAudioVolume>(volume)->SetMasterVolume(master, nullptr),
               "ISimpleAudioVolume::SetMasterVolume"))
        g_set_failed = true;
}

// Windows applies a session volume within SetMasterVolume: nothing is in
// flight afterwards, and only a refused set is unconfirmed.
bool confirm_volume_changes()
{
    const bool confirmed = !g_set_failed;
    g_set_failed = false;
    return confirmed;
}

bool get_session_mute(VolumeControl* volume, bool* muted)
{
    BOOL read = FALSE;
    if (failed(record<ISimpleAudioVolume>(volume)->GetMute(&read), "ISimpleAudioVolume::GetMute"))
        return false;
    *muted = read != FALSE;
    return true;
}

// Windows keeps a program's session volume by itself, from its sessions'
// own sets: there is no memory to write apart from a live session.
bool volume_memory_writable()
{
    return false;
}

void write_volume_memory(const VolumeMemory&) {}

void release(DeviceEnumerator* object) { record<IMMDeviceEnumerator>(object)->Release(); }
void release(EndpointCollection* object) { record<IMMDeviceCollection>(object)->Release(); }
void release(Endpoint* object) { record<IMMDevice>(object)->Release(); }
void release(SessionManager* object) { record<IAudioSessionManager2>(object)->Release(); }
void release(SessionEnumerator* object) { record<IAudioSessionEnumerator>(object)->Release(); }
void release(SessionControl* object) { record<IAudioSessionControl>(object)->Release(); }
void release(SessionControl2* object) { record<IAudioSessionControl2>(object)->Release(); }
void release(VolumeControl* object) { record<ISimpleAudioVolume>(object)->Release(); }
