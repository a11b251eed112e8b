// The Windows backend's clock and its sleep, the console's stop keys, and
// the platform's start and end (COM's runtime).
#include "audio/audio_platform.h"
#include "audio/diagnostics.h"

#include <windows.h>

namespace {

// Ctrl+C or Ctrl+Break would end the process with applications still
// ducked. The handler runs on a thread of its own, so it touches nothing and
// only keeps the process alive; a console read cut short by Ctrl+C returns
// no bytes, which the command loop reads as the end of its input.
BOOL WINAPI keep_running(DWORD event)
{
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
}

// Sleep waits for the system's timer tick (15.6 ms by default), so a 30 ms
// step would last 31.2 ms: waits use a high-resolution waitable timer
// where the system has one (Windows 10 1803 and later), made on first use
// and closed as the program leaves the object runtime.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif
HANDLE g_timer = nullptr;
bool g_timer_tried = false;

HANDLE precise_timer()
{
    if (!g_timer_tried) {
        g_timer_tried = true;
        g_timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                         TIMER_ALL_ACCESS);
        if (!g_timer)
            diagnose("CreateWaitableTimerExW(high resolution) failed: error %lu", GetLastError());
    }
    return g_timer;
}

// QueryPerformanceCounter: GetTickCount64 moves in timer ticks too.
uint64_t now_us()
{
    static LARGE_INTEGER frequency = {};
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
    const uint64_t per_second = static_cast<uint64_t>(frequency.QuadPart);
    return ticks / per_second * 1000000 + ticks % per_second * 1000000 / per_second;
}

}  // namespace

void join_object_runtime()
{
    SetConsoleCtrlHandler(keep_running, TRUE);
    const HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(joined))
        diagnose("CoInitializeEx failed: 0x%08lx", static_cast<unsigned long>(joined));
}

void leave_object_runtime()
{
    if (g_timer)
        CloseHandle(g_timer);
    g_timer = nullptr;
    g_timer_tried = false;
    CoUninitialize();
}

uint64_t monotonic_ms()
{
    return now_us() / 1000;
}

void sleep_until(uint64_t deadline_ms)
{
    const uint64_t until = deadline_ms * 1000;
    for (uint64_t now = now_us(); now < until; now = now_us()) {
        const uint64_t left = until - now;
        HANDLE timer = precise_timer();
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(left * 10);  // relative, in 100 ns
        if (!timer || !SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) ||
            WaitForSingleObject(timer, INFINITE) != WAIT_OBJECT_0)
            Sleep(static_cast<DWORD>((left + 999) / 1000));
    }
}

bool input_interrupted()
{
    return false;
}
