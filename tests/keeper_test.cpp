// The keeper: what the program tells it and when, what it does once its
// pipe ends, and that a kill at any moment leaves it able to restore.
#include "ducking/keeper/record_reader.h"
#include "audio/volume_fader.h"
#include "ducking/keeper/keeper.h"
#include "ducking/keeper/keeper_pipe.h"
#include "ducking/saved_volumes.h"
#include "support/loop_driver.h"
#include "support/player_world.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// The record of a simulated session (instance: its id + 1), with the ramps
// written to it, and a line feed.
std::string save_record(uint32_t pid, uint64_t instance, float volume, float share,
                        std::initializer_list<Ramp> ramps)
{
    SavedSession saved{};
    saved.pid = pid;
    saved.instance = instance;
    saved.volume = volume;
    saved.share = share;
    saved.own.level = sim_level(volume);
    for (const Ramp& ramp : ramps)
        saved.ramps[saved.ramp_count++] = ramp;
    char record[kMaxRecord];
    EXPECT_TRUE(format_saved_record(saved, record, kMaxRecord));
    return std::string(record) + "\n";
}

std::string player_at(float share, std::initializer_list<Ramp> ramps)
{
    return save_record(10, 1, 0.8f, share, ramps);
}
std::string chat_at(float share, std::initializer_list<Ramp> ramps)
{
    return save_record(20, 2, 0.5f, share, ramps);
}
// A keeper's start and the first thing it is told: whose holds it keeps.
const std::string kStarted = "start\nholder " + std::to_string(kSimDefaultOwnPid) + " 0\n";
// The share a session ducked to 20 is found at, as the platform gives it.
const float kFrom20 = 0.8f * 0.2f / 0.8f;
constexpr Ramp kTo20 = {1.0f, 0.2f};

class Keeper : public PlayerWorld {
protected:
    void SetUp() override
    {
        PlayerWorld::SetUp();
        chat = add_app(endpoint, 20, "chat.exe", 0.5f);
    }

    int chat = 0;
};

// -- what the program tells it ---------------------------------------------

TEST_F(Keeper, StartsWithTheFirstSavedVolumeAndHearsOfEveryChange)
{
    run_loop("list\nduck 20 nobody\nduck 20 player\nduck 50 player;chat\nrestore\nquit\n");
    // Nothing before the first save; a changed record is told again, with
    // every ramp before it begins; a record dropped clears them all.
    EXPECT_EQ(std::string(sim_keeper_transcript()),
              kStarted + player_at(0.2f, {kTo20}) + player_at(0.5f, {kTo20, {kFrom20, 0.5f}}) +
                  chat_at(0.5f, {{1.0f, 0.5f}}) +
                  player_at(0.5f, {kTo20, {kFrom20, 0.5f}, {0.5f, 1.0f}}) +
                  chat_at(0.5f, {{1.0f, 0.5f}, {0.5f, 1.0f}}) + "clear\nrelease\n");
}

TEST_F(Keeper, IsToldBeforeTheRampThatLowersAndClearedOnlyAfterTheRestoreRamp)
{
    run_loop("duck 20 player\nrestore\n");
    const std::string told = sim_keeper_transcript();
    const int saved = static_cast<int>(told.find("clear"));
    for (int i = 0; i < sim_volume_set_count(); ++i) {
        const SimVolumeSet& set = sim_volume_set(i);
        EXPECT_GT(set.keeper_told, 6) << "set " << i << " before the keeper knew";
        EXPECT_LE(set.keeper_told, saved) << "set " << i << " after the keeper was cleared";
    }
}

TEST_F(Keeper, EndOfInputWithNothingSavedLetsItGoHoldingNothing)
{
    const LoopRun run = run_loop("duck 20 player\n");
    EXPECT_EQ(run.output, "{\"ok\":true,\"bajados\":1}\n{\"ok\":true}\n");
    EXPECT_EQ(std::string(sim_keeper_transcript()),
              kStarted + player_at(0.2f, {kTo20}) + player_at(0.2f, {kTo20, {kFrom20, 1.0f}}) +
                  "clear\nrelease\n");
}

TEST_F(Keeper, ThatCannotBeStartedChangesNothingForTheController)
{
    sim_fail(SimOp::kStartKeeper);
    const LoopRun run = run_loop("duck 20 player\nrestore\nduck 30 chat\n");
    EXPECT_EQ(run.output, "{\"ok\":true,\"bajados\":1}\n{\"ok\":true}\n"
                          "{\"ok\":true,\"bajados\":1}\n{\"ok\":true}\n");
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.8f);
    EXPECT_FLOAT_EQ(sim_session_volume(chat), 0.5f);
    EXPECT_EQ(std::string(sim_keeper_transcript()), "");
}

TEST_F(Keeper, ThatMissedARecordIsReplacedAndToldEverythingOnce)
{
    sim_fail(SimOp::kTellKeeper, 2);  // the second record is not delivered
    run_loop("duck 20 player;chat\n");
    EXPECT_EQ(std::string(sim_keeper_transcript()),
              kStarted + player_at(0.2f, {kTo20}) + "stop\n" + kStarted + player_at(0.2f, {kTo20}) +
                  chat_at(0.2f, {kTo20}) + player_at(0.2f, {kTo20, {kFrom20, 1.0f}}) +
                  chat_at(0.2f, {kTo20, {0.2f, 1.0f}}) + "clear\nrelease\n");
}

TEST_F(Keeper, ThatCannotBeToldAnythingIsStoppedAndTheDuckStillWorks)
{
    sim_fail(SimOp::kTellKeeper);
    const LoopRun run = run_loop("duck 20 player\n");
    EXPECT_EQ(run.output, "{\"ok\":true,\"bajados\":1}\n{\"ok\":true}\n");
    // Tried again before the end of input's restore, which has something saved.
    EXPECT_EQ(std::string(sim_keeper_transcript()), "start\nstop\nstart\nstop\nstart\nstop\nstart\nstop\n");
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.8f);
}

TEST_F(Keeper, ThatDiedOrCouldNotStartIsReplacedBeforeTheNextChange)
{
    // A duck of a process already saved tells no new record: only a check
    // of the keeper's life finds that it is gone.
    sim_before_enumeration(2, [] { sim_kill_keeper(); });
    run_loop("duck 20 player\nduck 50 player\n");
    const std::string at50 = player_at(0.5f, {kTo20, {kFrom20, 0.5f}});
    const std::string restored = player_at(0.5f, {kTo20, {kFrom20, 0.5f}, {0.5f, 1.0f}});
    EXPECT_EQ(std::string(sim_keeper_transcript()),
              kStarted + player_at(0.2f, {kTo20}) + "killed\nstop\n" + kStarted + at50 + restored +
                  "clear\nrelease\n");

    sim_reset();
    forget_saved_volumes(test_controller().saved);
    sim_add_endpoint();
    add_app(0, 10, "player.exe", 0.8f);
    sim_fail(SimOp::kStartKeeper);
    sim_before_enumeration(2, [] { sim_heal(SimOp::kStartKeeper); });
    run_loop("duck 20 player\nduck 50 player\n");
    EXPECT_EQ(std::string(sim_keeper_transcript()), kStarted + at50 + restored + "clear\nrelease\n");
}

// -- the keeper itself -----------------------------------------------------

TEST_F(Keeper, HoldingNothingWhenItsPipeEndsTouchesNothing)
{
    const std::string records = player_at(0.2f, {kTo20}) + "clear\n";
    sim_feed_keeper(records.c_str());
    EXPECT_EQ(run_test_keeper(), 0);
    EXPECT_EQ(sim_runtime_joins(), 0) << "no audio connection at all";
    EXPECT_EQ(sim_enumerators_created(), 0);
    EXPECT_EQ(sim_volume_set_count(), 0);
}

TEST_F(Keeper, RestoresWhatItHoldsAsARestoreWould)
{
    sim_set_session_volume(player, 0.16f);
    sim_set_session_volume(chat, 0.1f);
    // A later save of the same session replaces the first.
    const std::string records = save_record(10, 1, 0.3f, 0.2f, {}) + "not a record\nsave 20\n" +
                                player_at(0.5f, {});
    sim_feed_keeper(records.c_str());
    EXPECT_EQ(run_test_keeper(), 0);
    EXPECT_EQ(volume_sets_of(player), "0.22 0.29 0.35 0.42 0.48 0.54 0.61 0.67 0.74 0.80");
    EXPECT_EQ(volume_sets_of(chat), "") << "never saved: left where it is";
    EXPECT_EQ(sim_runtime_joins(), 1);
    EXPECT_EQ(sim_runtime_leaves(), 1);
    EXPECT_TRUE(nothing_saved(test_controller().saved));
}

TEST_F(Keeper, KeepsTryingWhileThePlatformCannotBeReached)
{
    sim_set_session_volume(player, 0.16f);
    sim_fail(SimOp::kCreateEnumerator);
    sim_before_enumeration(4, [] { sim_heal(SimOp::kCreateEnumerator); });
    const std::string records = player_at(0.2f, {kTo20});
    sim_feed_keeper(records.c_str());
    run_test_keeper();
    EXPECT_EQ(sim_enumerators_created(), 4);
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.8f);
    // Each failed try still waits out a ramp's time, then a second.
    EXPECT_EQ(sim_clock_ms(), 3 * (300 + 1000) + 300);
}

TEST_F(Keeper, GivesUpAfterTenMinutes)
{
    sim_fail(SimOp::kActiveEndpoints);
    const std::string records = player_at(0.2f, {kTo20});
    sim_feed_keeper(records.c_str());
    run_test_keeper();
    EXPECT_GE(sim_clock_ms(), 600000u);
    EXPECT_LT(sim_clock_ms(), 600000u + 300 + 1000);
    EXPECT_EQ(sim_volume_set_count(), 0);
}

// A kill after any volume set: the records told by then, read by a keeper
// in a world where that set was the last, bring everything back.
TEST_F(Keeper, AKillAtAnyMomentLeavesItAbleToRestore)
{
    run_loop("duck 20 player\nduck 50 player;chat\nrestore\n");
    const std::string told = sim_keeper_transcript();
    const int sets = sim_volume_set_count();
    ASSERT_EQ(sets, 50);
    struct Moment {
        int told;
        int session;
        float level;
    };
    Moment moments[50];
    for (int i = 0; i < sets; ++i)
        moments[i] = {sim_volume_set(i).keeper_told, sim_volume_set(i).session,
                      sim_volume_set(i).level};
    float player_at = 0.8f;
    float chat_at = 0.5f;
    for (const Moment& moment : moments) {
        (moment.session == player ? player_at : chat_at) = moment.level;
        forget_saved_volumes(test_controller().saved);
        sim_reset();
        sim_add_endpoint();
        const int player_now = add_app(0, 10, "player.exe", player_at);
        const int chat_now = add_app(0, 20, "chat.exe", chat_at);
        const std::string records = told.substr(0, static_cast<size_t>(moment.told));
        sim_feed_keeper(records.c_str());
        run_test_keeper();
        EXPECT_FLOAT_EQ(sim_session_volume(player_now), 0.8f) << records;
        EXPECT_FLOAT_EQ(sim_session_volume(chat_now), 0.5f) << records;
    }
}

// -- the records -------------------------------------------------------------

TEST(KeeperRecords, CarrySessionsExactly)
{
    SavedSession sent{};
    sent.pid = 4294967295u;
    sent.instance = (uint64_t{1} << 62) - 1;
    sent.volume = 0.1f;
    sent.share = 0.3f;
    std::strcpy(sent.own.key, "sink-input-by-application-name:My Player 2");
    sent.own.muted = true;
    sent.own.level.channels = kMaxChannels;
    for (int i = 0; i < kMaxChannels; ++i) {
        sent.own.level.positions[i] = static_cast<uint8_t>(i + 1);
        sent.own.level.values[i] = 4294967295u - static_cast<uint32_t>(i);
    }
    SavedSession got{};
    char record[kMaxRecord];
    for (const char* key : {"sink-input-by-application-name:My Player 2", ""}) {
        std::strcpy(sent.own.key, key);
        ASSERT_TRUE(format_saved_record(sent, record, kMaxRecord));
        ASSERT_TRUE(parse_saved_record(record, &got)) << record;
        EXPECT_EQ(got.pid, sent.pid);
        EXPECT_EQ(got.instance, sent.instance);
        EXPECT_EQ(got.volume, sent.volume) << "bit for bit";
        EXPECT_EQ(got.share, sent.share);
        EXPECT_STREQ(got.own.key, key) << "spaces in a key travel";
        EXPECT_TRUE(got.own.muted);
        EXPECT_EQ(std::memcmp(&got.own.level, &sent.own.level, sizeof sent.own.level), 0) << record;
    }
}

TEST(KeeperRecords, AnythingMalformedIsUnknown)
{
    SavedSession saved{};
    for (const char* record : {"", "save", "save 1", "save 1 2 3 4 0", "save -1 2 3 4 0 1 0 5",
                               "save 99999999999 2 3 4 0 1 0 5", "clear now",
                               "save 1 2 3 4 2 1 0 5", "save 1 2 3 4 0 33 0 5",
                               "save 1 2 3 4 0 1 256 5", "save 1 2 3 4 0 0 k",
                               "save 1 2 3 4 0 2 0 1 5"})
        EXPECT_FALSE(parse_saved_record(record, &saved)) << record;
}

// What a pipe delivers, a few bytes at a time.
const char* g_pipe = "";
int read_a_little(char* into, int room)
{
    int got = 0;
    while (got < room && got < 3 && *g_pipe)
        into[got++] = *g_pipe++;
    return got;
}

TEST(KeeperRecords, ArriveWholeHoweverThePipeCutsThem)
{
    const std::string overlong(9000, 'x');
    const std::string piped = "save 1 2\n" + overlong + "\nclear\n\nlast without a line feed";
    g_pipe = piped.c_str();
    RecordReader reader{};
    char record[kMaxRecord];
    std::string seen;
    while (next_record(reader, record, kMaxRecord, read_a_little))
        seen += std::string(record) + "|";
    EXPECT_EQ(seen, "save 1 2|clear||");
}

}  // namespace
