#include "audio/linux/pulse_library.h"

#include "audio/diagnostics.h"

#include <dlfcn.h>

PulseLibrary pulse;

namespace {

void* g_library = nullptr;
bool g_tried = false;

}  // namespace

bool load_pulse_library()
{
    if (g_tried)
        return g_library != nullptr;
    g_tried = true;
    g_library = dlopen("libpulse.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!g_library) {
        diagnose("loading libpulse failed: %s", dlerror());
        return false;
    }
    bool complete = true;
#define APPDUCK_PULSE_LOAD(name)                                                        \
    pulse.name = reinterpret_cast<decltype(&::name)>(dlsym(g_library, #name));  \
    complete = complete && pulse.name != nullptr;
    APPDUCK_PULSE_FUNCTIONS(APPDUCK_PULSE_LOAD)
#undef APPDUCK_PULSE_LOAD
    if (!complete) {
        diagnose("libpulse lacks a function appduck needs: %s", dlerror());
        dlclose(g_library);
        g_library = nullptr;
    }
    return complete;
}

void unload_pulse_library()
{
    if (g_library)
        dlclose(g_library);
    g_library = nullptr;
    g_tried = false;
}
