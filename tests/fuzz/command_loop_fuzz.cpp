// Arbitrary bytes as the standard input of the real command loop over the
// simulated platform. After every run: one reply per line (the loop's own
// rules for `quit` and over-long lines), every reply of a protocol shape,
// every volume set accepted, every object released exactly once, and every
// session back at the volume it had before.
#include "reply_shapes.h"
#include "support/loop_driver.h"
#include "support/sim_world.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct App {
    uint32_t pid;
    const char* exe;
    float volume;
    int endpoint;
};

// Names that matching and listing find tricky. Sessions of one process
// share a volume: a restore puts every session of a process back at the
// volume its first session had.
const App kApps[] = {
    {100, "player.exe", 0.5f, 0},   {100, "player.exe", 0.5f, 1}, {101, "Chat.exe", 0.81f, 0},
    {102, "chat voice.exe", 1.0f, 0}, {103, "M\xc3\xbcsik.EXE", 0.3f, 1},
    {104, "no-dot", 0.0f, 1},       {105, ".exe", 0.7f, 0},       {106, "a.b.c", 0.126f, 1},
    {107, "", 0.9f, 0},             {108, "\xf0\x9f\x8e\xb5 tune.exe", 0.2f, 1},
    {0, "System Idle", 1.0f, 0},     {kSimDefaultOwnPid, "appduck.exe", 1.0f, 1},
};
constexpr int kAppCount = sizeof kApps / sizeof *kApps;
int g_sessions[kAppCount];

void build_world()
{
    sim_reset();
    sim_add_endpoint();
    sim_add_endpoint();
    for (int i = 0; i < kAppCount; ++i)
        g_sessions[i] = add_app(kApps[i].endpoint, kApps[i].pid, kApps[i].exe, kApps[i].volume);
}

[[noreturn]] void fail(const char* what, const std::string& detail)
{
    std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
    std::abort();
}

void check_replies(const std::string& input, const std::string& output)
{
    int replies = 0;
    size_t start = 0;
    while (start < output.size()) {
        const size_t end = output.find('\n', start);
        if (end == std::string::npos)
            fail("reply without a line feed", output.substr(start));
        const std::string reply = output.substr(start, end - start);
        if (!is_valid_reply(reply))
            fail("reply of no protocol shape", reply);
        ++replies;
        start = end + 1;
    }
    const int expected = expected_reply_count(input);
    if (replies != expected)
        fail("wrong number of replies", std::to_string(replies) + " for " +
                                            std::to_string(expected) + " expected");
    if (output.size() < 12 || output.compare(output.size() - 12, 12, "{\"ok\":true}\n") != 0)
        fail("the last reply is not {\"ok\":true}", output);
}

void check_volumes()
{
    for (int i = 0; i < sim_volume_set_count(); ++i) {
        const SimVolumeSet& set = sim_volume_set(i);
        if (!set.accepted)
            fail("volume set outside 0..1", std::to_string(set.level));
    }
    for (int i = 0; i < kAppCount; ++i) {
        const float now = sim_session_volume(g_sessions[i]);
        if (std::fabs(now - kApps[i].volume) > 1e-6f)
            fail("not restored", std::string(kApps[i].exe) + " at " + std::to_string(now));
    }
    if (!all_references_released())
        fail("references", "an object was leaked or released twice");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    build_world();
    const std::string input(reinterpret_cast<const char*>(data), size);
    const LoopRun run = run_loop(input);
    if (run.status != 0)
        fail("exit status", std::to_string(run.status));
    check_replies(input, run.output);
    check_volumes();
    return 0;
}
