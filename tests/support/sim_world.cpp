#include "sim_world.h"

#include <cstdio>

int add_app(int endpoint, uint32_t pid, const char* exe, float volume)
{
    sim_add_process(pid, exe);
    return sim_add_session(endpoint, pid, volume);
}

bool all_references_released()
{
    return sim_live_references() == 0 && sim_extra_releases() == 0 && sim_open_snapshots() == 0 &&
           sim_keepers_running() == 0;
}

std::string volume_sets_of(int session)
{
    std::string text;
    for (int i = 0; i < sim_volume_set_count(); ++i) {
        const SimVolumeSet& set = sim_volume_set(i);
        if (set.session != session)
            continue;
        char value[32];
        std::snprintf(value, sizeof value, "%s%.2f", text.empty() ? "" : " ",
                      static_cast<double>(set.level));
        text += value;
    }
    return text;
}
