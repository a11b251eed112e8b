// A stand-in for Windows' audio endpoint service, loaded into the real
// appduck.exe under Wine in place of MMDeviceEnumerator. It serves a world
// read from the file named by APPDUCK_STANDIN_WORLD:
//
//   endpoint                  a playback endpoint, in order
//   session PID VOLUME [ID]   a session of the last endpoint, with a session
//                             identifier (GetSessionIdentifier) or none
//   ended PID VOLUME [ID]     a session that ended: its place and
//                             identifier stay, it is listed no more
//   fail OPERATION [N]        the operation fails (only its Nth call if N)
//
// and appends to the file named by APPDUCK_STANDIN_LOG a line "process PID"
// when a process loads it, every volume set ("set SESSION VALUE MS
// [refused|failed]", MS being wall-clock milliseconds since 1970, so that
// processes and the test share one clock), every reference count change
// ("ref OBJECT +1|-1 COUNT") and, when the DLL is unloaded, every object
// still referenced ("leak OBJECT COUNT"). A release past zero is logged as
// "overrelease OBJECT"; objects are never freed, so it cannot crash us.
//
// Every rebuild reads the world afresh, so a test may end a session or
// start one while a program runs. Like Windows, which keeps each
// application's session volume across its restarts, a process finds every
// session at the last volume any process set before its enumerator was
// created, as the log tells; a session that none has set yet starts at the
// last volume set on a session with its identifier, as a program restarted
// comes back at the volume it had.
// Every interface pointer handed out is an object of its own (tear-offs),
// so a release on the wrong interface shows up too.
#include <windows.h>
#include <audiopolicy.h>
#include <mmdeviceapi.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "world.h"

namespace {

std::FILE* g_log = nullptr;

double now_ms()
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    const unsigned long long ticks =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    constexpr unsigned long long kTicksTo1970 = 116444736000000000ull;  // 100 ns ticks
    return static_cast<double>(ticks - kTicksTo1970) / 10000.0;
}

void log_line(const char* format, ...)
{
    if (!g_log)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(g_log, format, args);
    va_end(args);
    std::fflush(g_log);
}

// Bookkeeping shared by every object handed out.
struct Identity {
    const char* kind = "";
    int serial = 0;
    LONG refs = 0;
    bool live = false;
};

constexpr int kMaxObjects = 8192;
Identity* g_objects[kMaxObjects];
int g_object_count = 0;

void hand_out(Identity& identity, const char* kind)
{
    identity.kind = kind;
    identity.serial = ++g_object_count;
    identity.refs = 1;
    identity.live = true;
    g_objects[identity.serial - 1] = &identity;
    log_line("ref %s%d +1 1\n", kind, identity.serial);
}

ULONG change_refs(Identity& identity, LONG delta)
{
    if (delta < 0 && identity.refs == 0) {
        log_line("overrelease %s%d\n", identity.kind, identity.serial);
        return 0;
    }
    identity.refs += delta;
    log_line("ref %s%d %+ld %ld\n", identity.kind, identity.serial, delta, identity.refs);
    return static_cast<ULONG>(identity.refs);
}

// IUnknown for one interface; `more` answers the other interfaces an
// object offers (as new tear-offs).
template <typename Interface>
class Counted : public Interface {
public:
    Identity identity;

    ULONG STDMETHODCALLTYPE AddRef() override { return change_refs(identity, +1); }
    ULONG STDMETHODCALLTYPE Release() override { return change_refs(identity, -1); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(Interface))) {
            AddRef();
            *out = static_cast<Interface*>(this);
            return S_OK;
        }
        *out = nullptr;
        return more(iid, out);
    }

protected:
    virtual HRESULT more(REFIID, void**) { return E_NOINTERFACE; }
};

// A fixed pool per kind of object; an empty pool fails like low memory.
template <typename Object, int kSize>
struct Pool {
    Object objects[kSize];
    int used = 0;
    Object* take(const char* kind)
    {
        if (used == kSize || g_object_count == kMaxObjects)
            return nullptr;
        Object* object = &objects[used++];
        hand_out(object->identity, kind);
        return object;
    }
};

void apply_earlier_sets(const char* log_path);

// -- sessions ------------------------------------------------------------

class SimpleVolume : public Counted<ISimpleAudioVolume> {
public:
    int session = 0;

    HRESULT STDMETHODCALLTYPE SetMasterVolume(float level, LPCGUID) override
    {
        Session& target = g_world.sessions[session];
        const double at = now_ms();
        if (should_fail(Operation::kSetVolume)) {
            log_line("set %d %.9g %.3f failed\n", session + 1, level, at);
            return E_FAIL;
        }
        if (!(level >= 0.0f && level <= 1.0f)) {
            log_line("set %d %.9g %.3f refused\n", session + 1, level, at);
            return E_INVALIDARG;
        }
        target.volume = level;
        log_line("set %d %.9g %.3f\n", session + 1, level, at);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetMasterVolume(float* level) override
    {
        if (should_fail(Operation::kGetVolume))
            return E_FAIL;
        *level = g_world.sessions[session].volume;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetMute(BOOL, LPCGUID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMute(BOOL* muted) override
    {
        *muted = FALSE;
        return S_OK;
    }
};
Pool<SimpleVolume, 2048> g_volumes;

class SessionControl : public Counted<IAudioSessionControl2> {
public:
    int session = 0;

    // IAudioSessionControl
    HRESULT STDMETHODCALLTYPE GetState(AudioSessionState* state) override
    {
        *state = AudioSessionStateActive;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDisplayName(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetDisplayName(LPCWSTR, LPCGUID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIconPath(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetIconPath(LPCWSTR, LPCGUID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetGroupingParam(GUID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetGroupingParam(LPCGUID, LPCGUID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RegisterAudioSessionNotification(
        IAudioSessionEvents*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE UnregisterAudioSessionNotification(
        IAudioSessionEvents*) override
    {
        return E_NOTIMPL;
    }
    // IAudioSessionControl2
    // The same for every instance of a program, as Windows' is.
    HRESULT STDMETHODCALLTYPE GetSessionIdentifier(LPWSTR* identifier) override
    {
        const char* text = g_world.sessions[session].identifier;
        if (!text[0])
            return E_NOTIMPL;
        const int length = static_cast<int>(std::strlen(text));
        *identifier = static_cast<LPWSTR>(CoTaskMemAlloc((length + 1) * sizeof(wchar_t)));
        if (!*identifier)
            return E_OUTOFMEMORY;
        for (int i = 0; i <= length; ++i)
            (*identifier)[i] = static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
        return S_OK;
    }
    // Unique to the session, as Windows' is; the caller frees it.
    HRESULT STDMETHODCALLTYPE GetSessionInstanceIdentifier(LPWSTR* identifier) override
    {
        if (should_fail(Operation::kInstance))
            return E_FAIL;
        wchar_t text[64];
        const int length = std::swprintf(text, 64, L"standin|session %d|%u", session + 1,
                                         static_cast<unsigned>(g_world.sessions[session].pid));
        *identifier = static_cast<LPWSTR>(CoTaskMemAlloc((length + 1) * sizeof(wchar_t)));
        if (!*identifier)
            return E_OUTOFMEMORY;
        std::memcpy(*identifier, text, (length + 1) * sizeof(wchar_t));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetProcessId(DWORD* pid) override
    {
        if (should_fail(Operation::kProcessId))
            return E_FAIL;
        *pid = g_world.sessions[session].pid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsSystemSoundsSession() override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE SetDuckingPreference(BOOL) override { return E_NOTIMPL; }

protected:
    HRESULT more(REFIID iid, void** out) override;
};
Pool<SessionControl, 4096> g_controls;

HRESULT SessionControl::more(REFIID iid, void** out)
{
    if (IsEqualIID(iid, __uuidof(IAudioSessionControl))) {
        AddRef();
        *out = static_cast<IAudioSessionControl*>(this);
        return S_OK;
    }
    if (IsEqualIID(iid, __uuidof(ISimpleAudioVolume))) {
        if (should_fail(Operation::kVolumeControl))
            return E_NOINTERFACE;
        SimpleVolume* volume = g_volumes.take("volume");
        if (!volume)
            return E_OUTOFMEMORY;
        volume->session = session;
        *out = static_cast<ISimpleAudioVolume*>(volume);
        return S_OK;
    }
    return E_NOINTERFACE;
}

// The second interface of a session control, asked for by its own id.
HRESULT query_control2(SessionControl* control, REFIID iid, void** out, bool* handled)
{
    *handled = IsEqualIID(iid, __uuidof(IAudioSessionControl2));
    if (!*handled)
        return E_NOINTERFACE;
    if (should_fail(Operation::kControl2))
        return E_NOINTERFACE;
    SessionControl* control2 = g_controls.take("control2_");
    if (!control2)
        return E_OUTOFMEMORY;
    control2->session = control->session;
    *out = static_cast<IAudioSessionControl2*>(control2);
    return S_OK;
}

// What GetSession hands out: IAudioSessionControl, whose QueryInterface
// for IAudioSessionControl2 gives a tear-off of its own.
class FirstSessionControl : public SessionControl {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        bool handled = false;
        const HRESULT result = query_control2(this, iid, out, &handled);
        if (handled)
            return result;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(IAudioSessionControl))) {
            AddRef();
            *out = static_cast<IAudioSessionControl*>(this);
            return S_OK;
        }
        return more(iid, out);
    }
};
Pool<FirstSessionControl, 4096> g_first_controls;

class SessionEnumerator : public Counted<IAudioSessionEnumerator> {
public:
    int endpoint = 0;

    HRESULT STDMETHODCALLTYPE GetCount(int* count) override
    {
        if (should_fail(Operation::kSessionCount))
            return E_FAIL;
        *count = sessions_of_endpoint(endpoint);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSession(int index, IAudioSessionControl** out) override
    {
        *out = nullptr;
        const int session = nth_session_of_endpoint(endpoint, index);
        if (session < 0)
            return E_INVALIDARG;
        if (should_fail(Operation::kGetSession))
            return E_FAIL;
        FirstSessionControl* control = g_first_controls.take("control");
        if (!control)
            return E_OUTOFMEMORY;
        control->session = session;
        *out = static_cast<IAudioSessionControl*>(control);
        return S_OK;
    }
};
Pool<SessionEnumerator, 1024> g_session_enumerators;

class SessionManager : public Counted<IAudioSessionManager2> {
public:
    int endpoint = 0;

    HRESULT STDMETHODCALLTYPE GetAudioSessionControl(LPCGUID, DWORD,
                                                     IAudioSessionControl**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetSimpleAudioVolume(LPCGUID, DWORD,
                                                   ISimpleAudioVolume**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetSessionEnumerator(IAudioSessionEnumerator** out) override
    {
        *out = nullptr;
        if (should_fail(Operation::kSessionEnumerator))
            return E_FAIL;
        SessionEnumerator* sessions = g_session_enumerators.take("sessions");
        if (!sessions)
            return E_OUTOFMEMORY;
        sessions->endpoint = endpoint;
        *out = sessions;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RegisterSessionNotification(IAudioSessionNotification*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE UnregisterSessionNotification(
        IAudioSessionNotification*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE RegisterDuckNotification(LPCWSTR,
                                                       IAudioVolumeDuckNotification*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE UnregisterDuckNotification(
        IAudioVolumeDuckNotification*) override
    {
        return E_NOTIMPL;
    }
};
Pool<SessionManager, 1024> g_managers;

// -- endpoints -----------------------------------------------------------

class Device : public Counted<IMMDevice> {
public:
    int endpoint = 0;

    HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD, PROPVARIANT*, void** out) override
    {
        *out = nullptr;
        if (!IsEqualIID(iid, __uuidof(IAudioSessionManager2)))
            return E_NOINTERFACE;
        if (should_fail(Operation::kActivate))
            return E_FAIL;
        SessionManager* manager = g_managers.take("manager");
        if (!manager)
            return E_OUTOFMEMORY;
        manager->endpoint = endpoint;
        *out = static_cast<IAudioSessionManager2*>(manager);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetId(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetState(DWORD* state) override
    {
        *state = DEVICE_STATE_ACTIVE;
        return S_OK;
    }
};
Pool<Device, 1024> g_devices;

class DeviceCollection : public Counted<IMMDeviceCollection> {
public:
    HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override
    {
        if (should_fail(Operation::kEndpointCount))
            return E_FAIL;
        *count = static_cast<UINT>(g_world.endpoint_count);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** out) override
    {
        *out = nullptr;
        if (index >= static_cast<UINT>(g_world.endpoint_count))
            return E_INVALIDARG;
        if (should_fail(Operation::kItem))
            return E_FAIL;
        Device* device = g_devices.take("device");
        if (!device)
            return E_OUTOFMEMORY;
        device->endpoint = static_cast<int>(index);
        *out = device;
        return S_OK;
    }
};
Pool<DeviceCollection, 1024> g_collections;

class DeviceEnumerator : public Counted<IMMDeviceEnumerator> {
public:
    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD state,
                                                 IMMDeviceCollection** out) override
    {
        *out = nullptr;
        if (flow != eRender || state != DEVICE_STATE_ACTIVE)
            return E_INVALIDARG;  // the program asks for nothing else
        if (should_fail(Operation::kEnumEndpoints))
            return E_FAIL;
        DeviceCollection* collection = g_collections.take("collection");
        if (!collection)
            return E_OUTOFMEMORY;
        *out = collection;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow, ERole, IMMDevice**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR, IMMDevice**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(
        IMMNotificationClient*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE UnregisterEndpointNotificationCallback(
        IMMNotificationClient*) override
    {
        return E_NOTIMPL;
    }
};
Pool<DeviceEnumerator, 1024> g_enumerators;

// -- the class object COM asks for -----------------------------------------

class Factory : public IClassFactory {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override
    {
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        if (!IsEqualIID(iid, __uuidof(IMMDeviceEnumerator)))
            return E_NOINTERFACE;
        if (should_fail(Operation::kCreate))
            return E_FAIL;
        // Each rebuild sees the world as it is now, and the sets of every
        // process so far, as several controllers running at once do on
        // Windows.
        if (const char* world_path = std::getenv("APPDUCK_STANDIN_WORLD"))
            read_world(world_path);
        if (const char* log_path = std::getenv("APPDUCK_STANDIN_LOG"))
            apply_earlier_sets(log_path);
        DeviceEnumerator* enumerator = g_enumerators.take("enumerator");
        if (!enumerator)
            return E_OUTOFMEMORY;
        *out = static_cast<IMMDeviceEnumerator*>(enumerator);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};
Factory g_factory;

// Sessions start where the last accepted set of any earlier process left
// them; one never set, where the last set on its identifier left it.
void apply_earlier_sets(const char* log_path)
{
    std::FILE* log = std::fopen(log_path, "r");
    if (!log)
        return;
    static bool set_itself[kMaxWorldSessions];
    static float persisted[kMaxWorldSessions];  // by the session that was set
    static bool any_persisted[kMaxWorldSessions];
    for (int i = 0; i < kMaxWorldSessions; ++i)
        set_itself[i] = any_persisted[i] = false;
    char line[256];
    while (std::fgets(line, sizeof line, log)) {
        int session = 0;
        float level = 0.0f;
        double at = 0.0;
        char more[16] = "";
        if (std::sscanf(line, "set %d %f %lf %15s", &session, &level, &at, more) != 3 ||
            session < 1 || session > g_world.session_count)
            continue;
        Session& target = g_world.sessions[session - 1];
        target.volume = level;
        set_itself[session - 1] = true;
        // What Windows keeps for the program, under the session identifier.
        for (int i = 0; i < g_world.session_count && target.identifier[0]; ++i) {
            if (std::strcmp(g_world.sessions[i].identifier, target.identifier) == 0) {
                persisted[i] = level;
                any_persisted[i] = true;
            }
        }
    }
    std::fclose(log);
    for (int i = 0; i < g_world.session_count; ++i) {
        if (!set_itself[i] && any_persisted[i])
            g_world.sessions[i].volume = persisted[i];
    }
}

void start()
{
    const char* world_path = std::getenv("APPDUCK_STANDIN_WORLD");
    const bool world_read = !world_path || read_world(world_path);
    const char* log_path = std::getenv("APPDUCK_STANDIN_LOG");
    if (log_path) {
        apply_earlier_sets(log_path);
        g_log = std::fopen(log_path, "a");
    }
    log_line("process %lu\n", GetCurrentProcessId());
    if (!world_read)
        log_line("world unreadable: %s\n", world_path);
}

void finish()
{
    for (int i = 0; i < g_object_count; ++i) {
        const Identity& identity = *g_objects[i];
        if (identity.refs != 0)
            log_line("leak %s%d %ld\n", identity.kind, identity.serial, identity.refs);
    }
    log_line("unloaded %d objects\n", g_object_count);
    if (g_log)
        std::fclose(g_log);
    g_log = nullptr;
}

}  // namespace

extern "C" {

__declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid,
                                                                void** out)
{
    if (!IsEqualCLSID(clsid, __uuidof(MMDeviceEnumerator))) {
        *out = nullptr;
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return g_factory.QueryInterface(iid, out);
}

// Stays loaded until the program leaves COM, so the report at unloading
// sees the whole run.
__declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return S_FALSE;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        start();
    else if (reason == DLL_PROCESS_DETACH)
        finish();
    return TRUE;
}

}  // extern "C"
