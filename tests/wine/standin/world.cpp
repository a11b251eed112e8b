#include "world.h"

#include <cstdio>
#include <cstring>

World g_world;

namespace {

const char* const kOperationNames[] = {
    "create",      "enum_endpoints", "endpoint_count", "item",        "activate",
    "session_enumerator", "session_count", "get_session", "control2", "process_id", "instance",
    "volume_control", "get_volume", "set_volume"};
static_assert(sizeof kOperationNames / sizeof *kOperationNames ==
              static_cast<int>(Operation::kCount));

struct Failure {
    bool set;
    long nth;  // 0: every call
};
Failure g_failures[static_cast<int>(Operation::kCount)];
long g_calls[static_cast<int>(Operation::kCount)];

bool add_failure(const char* name, long nth)
{
    for (int i = 0; i < static_cast<int>(Operation::kCount); ++i) {
        if (std::strcmp(name, kOperationNames[i]) == 0) {
            g_failures[i] = {true, nth};
            return true;
        }
    }
    return false;
}

}  // namespace

bool read_world(const char* path)
{
    std::FILE* file = std::fopen(path, "r");
    if (!file)
        return false;
    g_world.endpoint_count = 0;
    g_world.session_count = 0;
    bool good = true;
    char line[256];
    while (std::fgets(line, sizeof line, file)) {
        char word[64] = "";
        unsigned pid = 0;
        float volume = 0.0f;
        long nth = 0;
        Session session{};
        if (std::sscanf(line, "%63s", word) != 1)
            continue;
        const bool ended = std::strcmp(word, "ended") == 0;
        if (std::strcmp(word, "endpoint") == 0) {
            ++g_world.endpoint_count;
        } else if ((ended || std::strcmp(word, "session") == 0) && g_world.endpoint_count > 0 &&
                   g_world.session_count < kMaxWorldSessions &&
                   std::sscanf(line, "%*s %u %f %63s", &pid, &volume, session.identifier) >= 2) {
            session.endpoint = g_world.endpoint_count - 1;
            session.pid = pid;
            session.volume = volume;
            session.ended = ended;
            g_world.sessions[g_world.session_count++] = session;
        } else if (std::strcmp(word, "fail") == 0 &&
                   std::sscanf(line, "%*s %63s %ld", word, &nth) >= 1) {
            good = add_failure(word, nth) && good;
        } else {
            good = false;
        }
    }
    std::fclose(file);
    return good;
}

int sessions_of_endpoint(int endpoint)
{
    int count = 0;
    for (int i = 0; i < g_world.session_count; ++i)
        count += g_world.sessions[i].endpoint == endpoint && !g_world.sessions[i].ended;
    return count;
}

int nth_session_of_endpoint(int endpoint, int n)
{
    for (int i = 0; i < g_world.session_count; ++i) {
        if (g_world.sessions[i].endpoint == endpoint && !g_world.sessions[i].ended && n-- == 0)
            return i;
    }
    return -1;
}

bool should_fail(Operation operation)
{
    const int i = static_cast<int>(operation);
    const long call = ++g_calls[i];
    return g_failures[i].set && (g_failures[i].nth == 0 || g_failures[i].nth == call);
}
