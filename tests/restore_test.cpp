// A restore is only as good as what reached the platform: saved volumes
// survive a restore that could not reach it, and what the platform
// remembered of a stream that ended while ducked is put back.
#include "audio/volume_fader.h"
#include "ducking/ducking.h"
#include "ducking/restore.h"
#include "ducking/saved_volumes.h"
#include "support/loop_driver.h"
#include "support/player_world.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr const char* kOk = "{\"ok\":true}\n";
constexpr const char* kDucked = "{\"ok\":true,\"bajados\":1}\n";
constexpr uint64_t kRamp = kFadeMs;

using Restore = PlayerWorld;

TEST_F(Restore, ThatCannotReachThePlatformTriesAgainBeforeItReplies)
{
    // The duck's rebuild is the first; the restore's rebuild finds no
    // server; the one after finds it back.
    sim_before_enumeration(2, [] { sim_fail(SimOp::kCreateEnumerator); });
    sim_before_enumeration(3, [] { sim_heal(SimOp::kCreateEnumerator); });
    const LoopRun run = run_loop("duck 20 player\nrestore\nlist\nrestore\n");
    EXPECT_EQ(run.output, std::string(kDucked) + kOk +
                              "[{\"exe\":\"player.exe\",\"name\":\"player\",\"vol\":80}]\n" + kOk + kOk);
    EXPECT_EQ(sim_clock_ms(), kRamp + kRamp + 500 + kRamp)
        << "a failed try waits its ramp's time, then half a second";
}

TEST_F(Restore, WhoseChangesTheServerDidNotConfirmIsTriedAgain)
{
    sim_before_enumeration(2, [] { sim_fail(SimOp::kConfirmChanges); });
    sim_before_enumeration(3, [] { sim_heal(SimOp::kConfirmChanges); });
    sim_before_enumeration(3, [] { sim_set_session_volume(0, 0.16f); });  // the sets were lost
    const LoopRun run = run_loop("duck 20 player\nrestore\nrestore\n");
    EXPECT_EQ(run.output, std::string(kDucked) + kOk + kOk + kOk);
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.8f);
    EXPECT_EQ(sim_enumerators_created(), 3) << "the second restore had nothing left to do";
}

TEST_F(Restore, EndOfInputKeepsTryingForTenSecondsThenLeavesItToTheKeeper)
{
    sim_before_enumeration(2, [] { sim_fail(SimOp::kActiveEndpoints); });
    const LoopRun run = run_loop("duck 20 player\n");
    EXPECT_EQ(run.output, std::string(kDucked) + kOk);
    // Ten seconds of tries, each a ramp's time and half a second apart.
    const uint64_t trying = sim_clock_ms() - kRamp;
    EXPECT_GE(trying, 10000u);
    EXPECT_LT(trying, 10000u + 300 + 500);
    const std::string told = sim_keeper_transcript();
    EXPECT_EQ(told.find("clear"), std::string::npos) << "the keeper still holds the player";
    EXPECT_EQ(told.substr(told.size() - 8), "release\n");
    EXPECT_FALSE(nothing_saved(test_controller().saved));
}

TEST_F(Restore, EndOfInputRestoresOnceTheServerIsBack)
{
    sim_before_enumeration(2, [] { sim_fail(SimOp::kCreateEnumerator); });
    sim_before_enumeration(5, [] { sim_heal(SimOp::kCreateEnumerator); });
    const LoopRun run = run_loop("duck 20 player\n");
    EXPECT_EQ(run.output, std::string(kDucked) + kOk);
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.8f);
    EXPECT_EQ(sim_clock_ms(), kRamp + 3 * (kRamp + kRestoreRetryMs) + kRamp);
    EXPECT_NE(std::string(sim_keeper_transcript()).find("clear"), std::string::npos);
}

// Any one call failing during the restore's rebuild: the sessions it hid
// keep their records, and the next try brings both sessions back.
class RestoreWithAFailingCall : public PlayerWorld, public ::testing::WithParamInterface<SimOp> {};

SimOp g_failing;

TEST_P(RestoreWithAFailingCall, LosesNothing)
{
    const int second = sim_add_session(endpoint, 10, 0.4f);
    g_failing = GetParam();
    sim_before_enumeration(2, [] { sim_fail(g_failing); });
    sim_before_enumeration(3, [] { sim_heal(g_failing); });
    const LoopRun run = run_loop("duck 20 player\nrestore\n");
    EXPECT_EQ(run.output, std::string(kDucked) + kOk + kOk);
    EXPECT_EQ(sim_session_volume(player), 0.8f);
    EXPECT_EQ(sim_session_volume(second), 0.4f);
    EXPECT_EQ(sim_enumerators_created(), 3) << "tried once more, then nothing was left";
}

INSTANTIATE_TEST_SUITE_P(EachCall, RestoreWithAFailingCall,
                         ::testing::Values(SimOp::kEndpointCount, SimOp::kEndpointAt,
                                           SimOp::kActivateManager, SimOp::kSessionEnumerator,
                                           SimOp::kSessionCount, SimOp::kSessionControlAt,
                                           SimOp::kQueryControl2, SimOp::kProcessId,
                                           SimOp::kSessionInstance, SimOp::kQueryVolume,
                                           SimOp::kGetVolume, SimOp::kSetVolume));

// -- what the platform remembers ------------------------------------------------

TEST_F(Restore, PutsBackTheMemoryOfAStreamThatEndedWhileDucked)
{
    sim_set_session_memory(player, "by-name:player");
    const int chat = add_app(endpoint, 20, "chat.exe", 0.5f);
    sim_set_session_memory(chat, "by-name:chat");
    sim_before_enumeration(2, [] { sim_end_session(0); });  // the player's track ended
    run_loop("duck 20 player;chat\nrestore\n");
    // The chat's own restore set puts its memory back; the player's stream
    // is gone, so its memory is written as it was before the duck.
    EXPECT_EQ(std::string(sim_memory_writes()), "by-name:player=0.80 ");
    EXPECT_FLOAT_EQ(sim_session_volume(chat), 0.5f);
}

TEST_F(Restore, RemembersTheFirstDucksMemoryNotALaterStreamsDuckedOne)
{
    sim_set_session_memory(player, "by-name:player");
    // A new stream of the player starts at the ducked volume the server
    // remembered; the next duck must not take that as the player's own.
    sim_before_enumeration(2, [] {
        sim_end_session(0);
        sim_set_session_memory(sim_add_session(0, 10, 0.16f), "by-name:player");
    });
    sim_before_enumeration(3, [] { sim_end_process(10); });
    run_loop("duck 20 player\nduck 20 player\nrestore\n");
    EXPECT_EQ(std::string(sim_memory_writes()), "by-name:player=0.80 ");
}

std::string g_memory_before_all_seen = "(no rebuild after the crowd)";

TEST_F(Restore, KeepsWhatAFullTableMayHaveMissedUntilItIsSeenGone)
{
    // The player's stream ends while 257 others overflow the table: it may be
    // beyond it, so nothing is written or dropped until a rebuild sees all.
    // The restore's try (its rebuild and the one after its ramp) meets the
    // crowd; its next try, half a second later, sees everything.
    sim_set_session_memory(player, "by-name:player");
    static int crowd[kMaxSessions + 1];
    sim_before_enumeration(3, [] {
        sim_end_session(0);
        for (int& session : crowd)
            session = sim_add_session(0, 30, 0.5f);
    });
    sim_before_enumeration(5, [] {
        g_memory_before_all_seen = sim_memory_writes();
        for (int session : crowd)
            sim_end_session(session);
    });
    run_loop("duck 20 player\nrestore\n");
    EXPECT_EQ(g_memory_before_all_seen, "") << "written while the table was full";
    EXPECT_EQ(std::string(sim_memory_writes()), "by-name:player=0.80 ");
}

TEST_F(Restore, ThatCannotReachThePlatformWritesNoMemory)
{
    sim_set_session_memory(player, "by-name:player");
    sim_before_enumeration(2, [] {
        sim_end_session(0);
        sim_fail(SimOp::kCreateEnumerator);
    });
    run_loop("duck 20 player\nrestore\n");
    EXPECT_EQ(std::string(sim_memory_writes()), "");
    EXPECT_FALSE(nothing_saved(test_controller().saved));
}

// A player's next track starts from the memory in the middle of a ramp,
// the old track then ends: at whichever step, the track comes back to the
// player's own level, and so does the memory its next track starts from.
class TrackChange : public PlayerWorld, public ::testing::WithParamInterface<int> {};

int g_track = -1;

TEST_P(TrackChange, DuringTheDuckOrTheRestoreComesBackToItsOwnLevel)
{
    sim_set_session_memory(player, "by-name:player");
    sim_after_volume_set(GetParam(), [] {
        g_track = sim_add_session_from_memory(0, 10, "by-name:player", 0.0f);
        sim_end_session(0);
    });
    // A track that started during the duck is ducked with the rest.
    const LoopRun run = run_loop("duck 20 player\nlist\nrestore\n");
    EXPECT_EQ(run.output, std::string(kDucked) +
                              "[{\"exe\":\"player.exe\",\"name\":\"player\",\"vol\":16}]\n" + kOk + kOk);
    EXPECT_FLOAT_EQ(sim_session_volume(g_track), 0.8f);
    EXPECT_FLOAT_EQ(sim_session_volume(sim_add_session_from_memory(0, 10, "by-name:player", 0.0f)),
                    0.8f);
}

// Early, mid and late in the duck's ramp, and in the restore's.
INSTANTIATE_TEST_SUITE_P(AtASet, TrackChange, ::testing::Values(1, 5, 9, 11, 15, 19));

TEST_F(Restore, AProgramRestartedWhileDuckedOnWindowsComesBackToItsOwnLevel)
{
    // Windows keeps a program's session volume across its restarts, and no
    // memory can be written apart from a session.
    sim_set_memory_unwritable();
    sim_set_session_memory(player, "session-identifier:player");
    sim_before_enumeration(2, [] {
        sim_end_process(10);
        sim_add_process(11, "player.exe");
        g_track = sim_add_session_from_memory(0, 11, "session-identifier:player", 0.0f);
    });
    run_loop("duck 20 player\nrestore\n");
    EXPECT_FLOAT_EQ(sim_session_volume(g_track), 0.8f) << "restarted while ducked";

    // Restarted once the restore had found it gone: the next rebuild, even a
    // list's, sets it back.
    sim_before_enumeration(5, [] {
        sim_end_process(11);
        sim_add_process(12, "player.exe");
        g_track = sim_add_session_from_memory(0, 12, "session-identifier:player", 0.0f);
    });
    const LoopRun run = run_loop("duck 20 player\nrestore\nlist\n");
    EXPECT_EQ(run.output, std::string(kDucked) + kOk +
                              "[{\"exe\":\"player.exe\",\"name\":\"player\",\"vol\":80}]\n" + kOk);
    EXPECT_FLOAT_EQ(sim_session_volume(g_track), 0.8f);
}

int g_near = -1;
int g_beyond = -1;
int g_own = -1;

TEST_F(Restore, AStreamIsKnownAsLoweredOnlyAtALevelAppduckWrote)
{
    // Three new streams under the player's memory while it is ducked to 20
    // (0.16): at 54 %, where a player's slider of whole percents on the
    // mixers' cubic scale shows 0.16; 0.008 off, which no ramp wrote; and the
    // player's own level, which is never a lowered one. The duck after them
    // lowers only the first again.
    sim_set_session_memory(player, "by-name:player");
    sim_before_enumeration(3, [] {
        g_near = sim_add_session(0, 11, 0.54f * 0.54f * 0.54f);
        g_beyond = sim_add_session(0, 12, 0.168f);
        g_own = sim_add_session(0, 13, 0.8f);
        for (const int session : {g_near, g_beyond, g_own})
            sim_set_session_memory(session, "by-name:player");
    });
    run_loop("duck 20 player\nduck 20 player\nrestore\n");
    EXPECT_FLOAT_EQ(sim_session_volume(g_near), 0.8f) << "adopted and restored";
    EXPECT_FLOAT_EQ(sim_session_volume(g_beyond), 0.168f) << "not appduck's level";
    EXPECT_EQ(volume_sets_of(g_own), "") << "at its own level: never lowered";
}

}  // namespace
