// A level someone else sets on a ducked session is its level from then
// on: not overwritten by the ramp under way, the restore or a later duck's
// original; the same application's other sessions come back as usual; and
// a player that echoes what appduck wrote, rounded to its slider's whole
// percents, is no user.
#include "audio/volume_fader.h"
#include "support/loop_driver.h"
#include "support/sim_world.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

constexpr const char* kOk = "{\"ok\":true}\n";
constexpr const char* kDucked = "{\"ok\":true,\"bajados\":1}\n";

int g_player = -1;
int g_second = -1;  // the player's second stream
int g_chat = -1;

class UsersHand : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim_reset();
        start_controller(test_controller());
        const int endpoint = sim_add_endpoint();
        g_player = add_app(endpoint, 10, "player.exe", 0.8f);
        g_second = sim_add_session(endpoint, 10, 0.6f);
        g_chat = add_app(endpoint, 20, "Chat.exe", 0.5f);
    }
    void TearDown() override { EXPECT_TRUE(all_references_released()); }
};

int set_count(int session)
{
    const std::string sets = volume_sets_of(session);
    return sets.empty() ? 0 : static_cast<int>((sets.size() + 1) / 5);
}

TEST_F(UsersHand, ALevelSetDuringTheHoldStandsAndTheNextDuckStartsFromIt)
{
    // While ducked to 20: the user drags one of the player's streams to
    // 0.9, and the chat from 0.1 to 0.12, a change too large for an echo
    // and between two of the ramp's steps (0.14 and 0.1).
    sim_before_enumeration(2, [] {
        sim_set_session_volume(g_player, 0.9f);
        sim_set_session_volume(g_chat, 0.12f);
    });
    const LoopRun run = run_loop("duck 20 player;chat\nrestore\nduck 20 player\nrestore\n");
    EXPECT_EQ(run.output, std::string(kDucked) + kOk + kDucked + kOk + kOk);
    EXPECT_EQ(set_count(g_chat), 10) << "the duck's ramp only: " << volume_sets_of(g_chat);
    EXPECT_FLOAT_EQ(sim_session_volume(g_chat), 0.12f);
    EXPECT_EQ(volume_sets_of(g_player).substr(50, 99),
              "0.83 0.76 0.68 0.61 0.54 0.47 0.40 0.32 0.25 0.18 "
              "0.25 0.32 0.40 0.47 0.54 0.61 0.68 0.76 0.83 0.90")
        << "the second duck lowers 20 % of the user's 0.9 and brings back 0.9";
    EXPECT_FLOAT_EQ(sim_session_volume(g_player), 0.9f);
    EXPECT_FLOAT_EQ(sim_session_volume(g_second), 0.6f) << "the other stream, back as usual";
}

struct RampMoment {
    const char* name;
    int after_set;  // the user's change follows the player's nth set
};

class DuringARamp : public UsersHand, public ::testing::WithParamInterface<RampMoment> {};

int g_after = 0;

TEST_P(DuringARamp, StopsItForThatSessionAndTheRestoreLeavesIt)
{
    g_after = GetParam().after_set;
    sim_after_volume_set(g_after, [] { sim_set_session_volume(g_player, 0.9f); });
    const LoopRun run = run_loop("duck 20 player\nrestore\n");
    EXPECT_EQ(run.output, std::string(kDucked) + kOk + kOk);
    EXPECT_EQ(set_count(g_player), g_after / 2) << volume_sets_of(g_player);
    EXPECT_FLOAT_EQ(sim_session_volume(g_player), 0.9f);
    EXPECT_FLOAT_EQ(sim_session_volume(g_second), 0.6f);
}

// The sets are the player's two streams' in turn: the 8th is the fourth step.
INSTANTIATE_TEST_SUITE_P(AtTheFourthStep, DuringARamp,
                         ::testing::Values(RampMoment{"OfTheDuck", 8}, RampMoment{"OfTheRestore", 28}),
                         [](const auto& moment) { return std::string(moment.param.name); });

// A slow server answers each set 45 ms after it went out, so a step often
// waits for the one before. The user's level comes 50 ms into the ramp,
// while no set is in the air: one that waited must not follow it out
// unread, before the next step has looked.
TEST_F(UsersHand, ALevelSetWhileAStepWaitsForTheServerIsNotWrittenOver)
{
    sim_set_answer_time(45);
    sim_after_volume_set(1, [] { sim_set_session_volume_at(g_player, 0.9f, sim_clock_ms() + 50); });
    const LoopRun run = run_loop("duck 20 player\nrestore\n");
    EXPECT_EQ(run.output, std::string(kDucked) + kOk + kOk);
    EXPECT_FLOAT_EQ(sim_session_volume(g_player), 0.9f) << volume_sets_of(g_player);
    EXPECT_FLOAT_EQ(sim_session_volume(g_second), 0.6f) << volume_sets_of(g_second);
}

bool g_cubic = false;

// What the player's slider shows and writes back: whole percents of a
// linear scale, or of the mixers' cubic one.
void echo_rounded(uint64_t)
{
    const float level = sim_session_volume(g_player);
    const float shown = g_cubic ? std::round(std::cbrt(level) * 100.0f) / 100.0f
                                : std::round(level * 100.0f) / 100.0f;
    sim_set_session_volume(g_player, g_cubic ? shown * shown * shown : shown);
}

TEST_F(UsersHand, APlayerThatEchoesEveryLevelRoundedIsDuckedAndComesBackExactly)
{
    for (const bool cubic : {false, true}) {
        g_cubic = cubic;
        sim_set_session_volume(g_player, 0.77f);
        sim_on_sleep(echo_rounded);
        sim_clear_volume_log();
        run_loop("duck 30 player\nlist\nrestore\n");
        sim_on_sleep(nullptr);
        const std::string sets = volume_sets_of(g_player);
        ASSERT_EQ(set_count(g_player), 20) << (cubic ? "cubic: " : "linear: ") << sets;
        EXPECT_EQ(sets.substr(45, 4), "0.23") << "ducked";
        // The restore's last set is the own level itself (what the player
        // then shows of it is its own business).
        float last = 0.0f;
        for (int i = 0; i < sim_volume_set_count(); ++i)
            last = sim_volume_set(i).session == g_player ? sim_volume_set(i).level : last;
        EXPECT_EQ(last, 0.77f) << (cubic ? "cubic" : "linear");
    }
}

}  // namespace
