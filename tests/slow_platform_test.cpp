// A sound server that answers late: at most one volume set per stream is
// in the air, the last step always lands, and a reply comes only once the
// server has every level, while it keeps answering and after a stall.
#include "audio/volume_fader.h"
#include "audio/volume_flights.h"
#include "ducking/ducking.h"
#include "support/loop_driver.h"
#include "support/player_world.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kDucked = "{\"ok\":true,\"bajados\":1}\n";
const std::string kOk = "{\"ok\":true}\n";

std::string listed(int player, int chat)
{
    return "[{\"exe\":\"player.exe\",\"name\":\"player\",\"vol\":" + std::to_string(player) +
           "},{\"exe\":\"chat.exe\",\"name\":\"chat\",\"vol\":" + std::to_string(chat) + "}]\n";
}

class SlowPlatform : public PlayerWorld {
protected:
    void SetUp() override
    {
        PlayerWorld::SetUp();
        chat = add_app(endpoint, 20, "chat.exe", 0.5f);
    }

    // The levels sent to one session, in order.
    std::vector<float> sent_to(int session)
    {
        std::vector<float> levels;
        for (int i = 0; i < sim_volume_set_count(); ++i) {
            if (sim_volume_set(i).session == session)
                levels.push_back(sim_volume_set(i).level);
        }
        return levels;
    }

    int chat = 0;
};

TEST_F(SlowPlatform, GetsOneSetPerStreamAtATimeAndTheLastStepAlwaysLands)
{
    // Each answer takes 100 ms, over three ramp steps: steps 1, 5 and 9 go
    // out, each at the first step after the answer before it, and step 10
    // once step 9's answer is in.
    sim_set_answer_time(100);
    const LoopRun run = run_loop("duck 20 player;chat\nlist\nrestore\nlist\n");
    EXPECT_EQ(run.output, kDucked + listed(16, 10) + kOk + listed(80, 50) + kOk);
    const std::vector<float> player_sets = sent_to(player);
    ASSERT_EQ(player_sets.size(), 8u) << "four sets for the duck, four for the restore";
    EXPECT_FLOAT_EQ(player_sets[3], 0.16f);
    EXPECT_FLOAT_EQ(player_sets[7], 0.8f);
    EXPECT_EQ(sim_volume_set(1).at_ms, 0u) << "both streams' first steps go out together";
    EXPECT_EQ(sim_volume_set(2).at_ms, 4 * kFadeStepMs);
    EXPECT_EQ(sim_clock_ms(), 2 * (8 * kFadeStepMs + 200)) << "each reply when the last set lands";
}

TEST_F(SlowPlatform, ABusyServerIsWaitedForAsLongAsItKeepsAnswering)
{
    // 1.5 s an answer: the duck takes 3 s, but no silence is ever 2 s long.
    sim_set_answer_time(1500);
    const LoopRun run = run_loop("duck 20 player\nlist\n");
    EXPECT_EQ(run.output, kDucked + listed(16, 50) + kOk);
    EXPECT_EQ(sim_enumerators_created(), 3) << "the end of input's restore succeeded at once";

    // Silence past the limit is a server gone: the duck replies anyway.
    sim_reset();
    forget_saved_volumes(test_controller().saved);
    sim_add_endpoint();
    add_app(0, 10, "player.exe", 0.8f);
    sim_set_answer_time(kNoAnswerLimitMs + 1);
    sim_stall_answers(kFadeMs, 30 * 1000);
    EXPECT_EQ(run_loop("duck 20 player\n").output.substr(0, kDucked.size()), kDucked);
    EXPECT_GE(sim_clock_ms(), kNoAnswerLimitMs);
}

TEST_F(SlowPlatform, ADuckThatMeetsAStallRepliesWithTheStreamsDown)
{
    // A server stopped for 3 s from 100 ms into the duck's ramp: the sets in
    // the air are given up for lost, and the duck tries again as a restore
    // does, replying once the server has the last step.
    sim_set_answer_time(10);
    sim_before_enumeration(1, [] { sim_stall_answers(sim_clock_ms() + 100, sim_clock_ms() + 3100); });
    const LoopRun run = run_loop("duck 20 player;chat\nlist\n");
    EXPECT_EQ(run.output, kDucked + listed(16, 10) + kOk);
    EXPECT_GE(sim_clock_ms(), 3100u);
}

TEST_F(SlowPlatform, ARestoreThatMeetsAStallRepliesWithTheStreamsBack)
{
    // A server stopped for 3 s from 100 ms into the restore's ramp.
    sim_set_answer_time(10);
    sim_before_enumeration(2, [] { sim_stall_answers(sim_clock_ms() + 100, sim_clock_ms() + 3100); });
    // What the stall left: the fifth of the restore's steps (0.16 to 0.8).
    sim_before_enumeration(3, [] { sim_set_session_volume(0, 0.416f); });
    const LoopRun run = run_loop("duck 20 player;chat\nrestore\nlist\n");
    EXPECT_EQ(run.output, kDucked + kOk + listed(80, 50) + kOk);
    EXPECT_EQ(sim_enumerators_created(), 4) << "the duck, a try that met the stall, one after it, the list";
    EXPECT_GE(sim_clock_ms(), kFadeMs + 3100u);
}

}  // namespace
