// The holds' channels on Windows are not built yet: duck, restore and
// status say so and change nothing (run and list do not need them).
#include "audio/hold_platform.h"

const char* hook_forms_missing()
{
    return "duck, restore and status do not run on Windows yet";
}

HoldOpen open_hold_listener(const char*, HoldListener**)
{
    return HoldOpen::kFailed;
}

void close_hold_listener(HoldListener*) {}

HoldEvent wait_for_hold_event(HoldListener*, uint64_t, uint32_t, uint64_t, HoldLink**)
{
    return HoldEvent::kStopped;
}

const char* hold_place_missing(const char*)
{
    return hook_forms_missing();
}

HoldReach connect_to_hold(const char*, HoldLink**)
{
    return HoldReach::kNone;
}

bool start_resident(const char*, const char*)
{
    return false;
}

int hold_names(char (*)[kMaxHoldName + 1], int)
{
    return 0;
}

bool read_hold_line(HoldLink*, char*, int, uint64_t)
{
    return false;
}

bool write_hold_line(HoldLink*, const char*)
{
    return false;
}

void answer_on(HoldLink*) {}
void close_hold_link(HoldLink*) {}
