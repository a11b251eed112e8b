// `duck` and `restore` through the real command loop: what is lowered, to
// what, what comes back, and that nothing ever stays ducked at the end.
#include "audio/volume_fader.h"
#include "support/loop_driver.h"
#include "support/sim_world.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr const char* kOk = "{\"ok\":true}\n";
constexpr const char* kDucked = "{\"ok\":true,\"bajados\":1}\n";
constexpr const char* kNoneDucked = "{\"ok\":true,\"bajados\":0}\n";

std::string replies(std::initializer_list<const char*> lines)
{
    std::string text;
    for (const char* line : lines)
        text += line;
    return text;
}

class Ducking : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim_reset();
        endpoint = sim_add_endpoint();
        player = add_app(endpoint, 10, "player.exe", 0.8f);
        chat = add_app(endpoint, 20, "Chat.exe", 0.5f);
    }
    void TearDown() override { EXPECT_TRUE(all_references_released()); }

    int endpoint = 0;
    int player = 0;
    int chat = 0;
};

TEST_F(Ducking, DucksNamedApplicationsWithARampAndRestoresAtEndOfInput)
{
    const LoopRun run = run_loop("duck 20 player\n");
    EXPECT_EQ(run.output, replies({kDucked, kOk}));
    EXPECT_EQ(volume_sets_of(player),
              "0.74 0.67 0.61 0.54 0.48 0.42 0.35 0.29 0.22 0.16 "   // duck to 0.8 x 20 %
              "0.22 0.29 0.35 0.42 0.48 0.54 0.61 0.67 0.74 0.80");  // end of input
    EXPECT_EQ(volume_sets_of(chat), "");
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.8f);
    EXPECT_EQ(sim_clock_ms(), 2u * kFadeMs);
}

TEST_F(Ducking, ReplyComesAfterTheRampAndRestoreReturnsEverything)
{
    const LoopRun run = run_loop("duck 50 player;chat*\nlist\nrestore\nlist\n");
    EXPECT_EQ(run.output,
              replies({kDucked,
                       "[{\"exe\":\"player.exe\",\"name\":\"player\",\"vol\":40},"
                       "{\"exe\":\"Chat.exe\",\"name\":\"Chat\",\"vol\":25}]\n",
                       kOk,
                       "[{\"exe\":\"player.exe\",\"name\":\"player\",\"vol\":80},"
                       "{\"exe\":\"Chat.exe\",\"name\":\"Chat\",\"vol\":50}]\n",
                       kOk}));
    EXPECT_EQ(sim_clock_ms(), 2u * kFadeMs) << "nothing left to restore at the end";
}

TEST_F(Ducking, DucksDoNotCompound)
{
    run_loop("duck 20 player\nduck 50 player\nquit\n");
    const std::string sets = volume_sets_of(player);
    // 0.8 -> 0.16 -> 0.4 (half the pre-duck volume, not a tenth) -> 0.8
    EXPECT_EQ(sets.substr(0, 100),
              "0.74 0.67 0.61 0.54 0.48 0.42 0.35 0.29 0.22 0.16 "
              "0.18 0.21 0.23 0.26 0.28 0.30 0.33 0.35 0.38 0.40 ");
    EXPECT_EQ(sets.substr(100), "0.44 0.48 0.52 0.56 0.60 0.64 0.68 0.72 0.76 0.80");
}

TEST_F(Ducking, DuckToHundredRestoresTheSoundButNotTheState)
{
    const LoopRun run = run_loop("duck 20 player\nduck 100 player\n");
    EXPECT_EQ(run.output, replies({kDucked, kDucked, kOk}));
    EXPECT_EQ(sim_clock_ms(), 3u * kFadeMs) << "end of input still ramps: the volume stays saved";
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.8f);
}

TEST_F(Ducking, PercentagesAreClampedAndSaturated)
{
    struct Case {
        const char* line;
        float volume;
    };
    const Case cases[] = {
        {"duck -5 player\n", 0.0f},
        {"duck 250 player\n", 0.8f},
        {"duck 0 player\n", 0.0f},
        {"duck 99999999999999999999 player\n", 0.8f},
        {"duck -99999999999999999999 player\n", 0.0f},
        {"duck x player\n", 0.0f},       // no digits read as 0
        {"duck  \t+30x player\n", 0.8f},  // two spaces: the names are "\t+30x player"
        {"duck +30 player\n", 0.24f},
    };
    for (const Case& c : cases) {
        sim_reset();
        endpoint = sim_add_endpoint();
        player = add_app(endpoint, 10, "player.exe", 0.8f);
        const std::string input = std::string(c.line) + "list\n";
        const LoopRun run = run_loop(input);
        char vol[32];
        std::snprintf(vol, sizeof vol, "\"vol\":%d}", static_cast<int>(c.volume * 100.0f + 0.5f));
        EXPECT_NE(run.output.find(vol), std::string::npos) << c.line << run.output;
    }
}

TEST_F(Ducking, DuckWithoutNamesAnswersAtOnce)
{
    const LoopRun run = run_loop("duck 20\nduck 20 \nduck\n");
    EXPECT_EQ(run.output, replies({kNoneDucked, kNoneDucked, "{\"ok\":false}\n", kOk}));
    EXPECT_EQ(sim_clock_ms(), 0u);
    EXPECT_EQ(sim_enumerators_created(), 2) << "the table is still rebuilt";
}

TEST_F(Ducking, TwoSpacesAfterDuckPutThePercentageIntoTheNames)
{
    add_app(endpoint, 30, "20 player.exe", 1.0f);
    const LoopRun run = run_loop("duck  20 player\n");
    EXPECT_EQ(run.output, replies({kDucked, kOk}));
    EXPECT_EQ(volume_sets_of(player), "");
    EXPECT_NEAR(sim_volume_set(9).level, 0.2f, 1e-6f) << "the percentage still read as 20";
}

TEST_F(Ducking, EverySessionGoesToAShareOfItsOwnLevelAndBackToIt)
{
    const int second_session = sim_add_session(endpoint, 10, 0.4f);
    const int other_endpoint = sim_add_endpoint();
    const int third_session = sim_add_session(other_endpoint, 10, 1.0f);
    static int born;
    sim_before_enumeration(3, [] { born = sim_add_session(0, 10, 0.3f); });
    run_loop("duck 50 player\nduck 20 player\nrestore\n");
    // Where each ramp ends: the tenth, twentieth and thirtieth set.
    const auto ends = [](int session) {
        const std::string sets = volume_sets_of(session);
        return sets.substr(45, 4) + " " + sets.substr(95, 4) + " " + sets.substr(145, 4);
    };
    EXPECT_EQ(ends(player), "0.40 0.16 0.80");
    EXPECT_EQ(ends(second_session), "0.20 0.08 0.40");
    EXPECT_EQ(ends(third_session), "0.50 0.20 1.00");
    EXPECT_EQ(sim_session_volume(second_session), 0.4f) << "exactly its own";
    EXPECT_EQ(volume_sets_of(born), "") << "appeared after the ducks, never lowered";
}

TEST_F(Ducking, RestoreWithNothingSavedTouchesNothing)
{
    const LoopRun run = run_loop("restore\nduck 20 nobody\nrestore\nrestore now\n");
    EXPECT_EQ(run.output, replies({kOk, kNoneDucked, kOk, kOk, kOk}));
    EXPECT_EQ(sim_enumerators_created(), 1) << "only the duck rebuilt the table";
    EXPECT_EQ(sim_clock_ms(), 0u);
}

TEST_F(Ducking, RestoreAfterTheDuckedProcessEndedStillRampsAndForgetsIt)
{
    sim_before_enumeration(2, [] { sim_end_process(10); });
    const LoopRun run = run_loop("duck 20 player\nrestore\nrestore\n");
    EXPECT_EQ(run.output, replies({kDucked, kOk, kOk, kOk}));
    EXPECT_EQ(sim_clock_ms(), 2u * kFadeMs) << "the first restore waits for its ramp, the rest answer at once";
}

TEST_F(Ducking, ProcessBeyondTheSavedTableIsLeftAlone)
{
    // 256 processes ducked fill the saved table; ten of them end, which
    // frees room in the session table but not in the saved one.
    sim_end_process(10);
    sim_end_process(20);
    for (uint32_t pid = 1000; pid < 1000 + 256; ++pid)
        add_app(endpoint, pid, "many.exe", 0.6f);
    static int extra;
    sim_before_enumeration(2, [] {
        for (uint32_t pid = 1000; pid < 1010; ++pid)
            sim_end_process(pid);
        extra = add_app(0, 5000, "extra.exe", 0.6f);
    });
    const LoopRun run = run_loop("duck 50 many\nduck 50 extra\nduck 50 extra;many\n");
    // Without a place to save its volume a process could never be restored,
    // so it is not lowered at all, and a duck of it alone lowers nothing.
    EXPECT_EQ(run.output, replies({kDucked, kNoneDucked, kDucked, kOk}));
    EXPECT_EQ(volume_sets_of(2 + 255).substr(0, 49), "0.57 0.54 0.51 0.48 0.45 0.42 0.39 0.36 0.33 0.30")
        << "the 256th process, the last saved, is lowered";
    EXPECT_EQ(volume_sets_of(extra), "");
    EXPECT_FLOAT_EQ(sim_session_volume(2 + 255), 0.6f) << "the others are restored at the end";
}

TEST_F(Ducking, OverlongNamesAreCutAtTheSameUnitOnEveryPlatform)
{
    // 2041 commas and "player" are 2047 units; one more comma cuts the name.
    const std::string fits = "duck 20 " + std::string(2041, ',') + "player\n";
    const std::string cut = "duck 20 ," + std::string(2041, ',') + "player\n";
    EXPECT_EQ(run_loop(fits).output, replies({kDucked, kOk}));
    EXPECT_EQ(run_loop(cut).output, replies({kNoneDucked, kOk}));
    // Units are counted, not bytes: each e-acute is two bytes but one unit.
    std::string accents;
    for (int i = 0; i < 10; ++i)
        accents += "\xC3\xA9";
    EXPECT_EQ(run_loop("duck 20 " + std::string(2031, ',') + accents + ",player\n").output,
              replies({kNoneDucked, kOk}));
    EXPECT_EQ(run_loop("duck 20 " + std::string(2030, ',') + accents + ",player\n").output,
              replies({kDucked, kOk}));
}

TEST_F(Ducking, QuitRestoresBeforeTheFinalReply)
{
    const LoopRun run = run_loop("duck 10 chat\nquit\nduck 10 player\n");
    EXPECT_EQ(run.output, replies({kDucked, kOk}));
    EXPECT_FLOAT_EQ(sim_session_volume(chat), 0.5f);
    EXPECT_EQ(volume_sets_of(player), "");
    EXPECT_EQ(sim_clock_ms(), 2u * kFadeMs);
}

TEST_F(Ducking, StopRequestEndsTheInputAndRestores)
{
    // The stop arrives while the duck works; the lines already sent after it
    // are not run, and the ducked player comes back before the last reply.
    sim_before_enumeration(1, [] { sim_interrupt(); });
    const LoopRun run = run_loop("duck 20 player\nduck 20 chat\nlist\n");
    EXPECT_EQ(run.output, replies({kDucked, kOk}));
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.8f);
    EXPECT_EQ(volume_sets_of(chat), "");
    EXPECT_EQ(run.status, 0);
}

TEST_F(Ducking, EmptyExecutableNameIsMatchedOnlyByALoneStar)
{
    const int nameless = sim_add_session(endpoint, 99, 0.6f);  // process gone
    run_loop("duck 50 ;*;\n");
    EXPECT_EQ(volume_sets_of(nameless).substr(45, 4), "0.30");
    sim_clear_volume_log();
    run_loop("duck 50 .exe;\n");
    EXPECT_EQ(volume_sets_of(nameless), "");
}

}  // namespace
