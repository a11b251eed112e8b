// Two controllers of one sound server: this one, and another (B) whose
// holds are in the shared table. The deepest duck wins, each restore lifts
// only its own, the original is the one read first, and a controller that
// ended counts as its restore. No path takes a level B wrote for an
// original: not a turn B keeps, a table that cannot be written or has no
// room, nor a session that started from B's ducked memory.
#include "audio/volume_fader.h"
#include "ducking/keeper/keeper.h"
#include "ducking/keeper/keeper_pipe.h"
#include "ducking/sharing/shared_holds.h"
#include "ducking/sharing/shared_turn.h"
#include "support/loop_driver.h"
#include "support/player_world.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr uint32_t kOther = 77;  // B's process

HoldTable g_table;
char g_text[kHoldTableText];

class Sharing : public PlayerWorld {
protected:
    void SetUp() override
    {
        PlayerWorld::SetUp();
        sim_set_session_memory(player, "by-name:player");
        sim_add_process(kOther, "dictation.exe");
        clear_holds(g_table);
        other = holder_slot(g_table, holder_of(kOther));
    }

    static Holder holder_of(uint32_t pid)
    {
        uint64_t started = 0;
        process_start_time(pid, &started);
        return {pid, started};
    }

    // B holds the session, first at its own 0.8, at `share`, as a ramp of
    // B's from 1 left it.
    void other_holds(int session, float share)
    {
        SavedSession original{};
        original.pid = 10;
        original.instance = static_cast<uint64_t>(session) + 1;
        original.volume = 0.8f;
        original.own.level = sim_level(0.8f);
        std::snprintf(original.own.key, sizeof original.own.key, "by-name:player");
        original.ramps[0] = {1.0f, share};
        original.ramp_count = 1;
        hold_session(g_table, other, original, share);
        write_table();
        sim_set_session_volume(session, 0.8f * share);
    }

    void write_table()
    {
        ASSERT_TRUE(format_hold_table(g_table, g_text, kHoldTableText));
        sim_set_shared_table(g_text);
    }

    // Who holds the session in the shared table now, at what share.
    std::string holds_on(int session)
    {
        static HoldTable now;
        std::string holds;
        if (parse_hold_table(sim_shared_table(), now) != TableText::kOurs)
            return "unreadable";
        const HeldSession* held = find_held(now, 10, static_cast<uint64_t>(session) + 1);
        for (int slot = 0; held && slot < kMaxHolders; ++slot) {
            if (held->shares[slot] >= 0.0f)
                holds += std::to_string(now.holders[slot].pid) + "@" +
                         std::to_string(static_cast<int>(held->shares[slot] * 100 + 0.5f)) + " ";
        }
        return holds;
    }

    int other = 0;
};

const std::string kDucked = "{\"ok\":true,\"bajados\":1}\n";
const std::string kOk = "{\"ok\":true}\n";
const std::string kThisHolder = "holder " + std::to_string(kSimDefaultOwnPid) + " ";
const std::string kThisPid = std::to_string(kSimDefaultOwnPid);
std::string g_read_by_stopped;

// Who holds the first session in the shared table, at what share.
std::string holds_now()
{
    static HoldTable now;
    std::string holds;
    if (parse_hold_table(sim_shared_table(), now) != TableText::kOurs || now.session_count == 0)
        return "";
    for (int slot = 0; slot < kMaxHolders; ++slot) {
        if (now.sessions[0].shares[slot] >= 0.0f)
            holds += std::to_string(now.holders[slot].pid) + "@" +
                     std::to_string(static_cast<int>(now.sessions[0].shares[slot] * 100 + 0.5f)) + " ";
    }
    return holds;
}

std::string player_listed(int volume)
{
    return "[{\"exe\":\"player.exe\",\"name\":\"player\",\"vol\":" + std::to_string(volume) + "}]\n";
}

TEST_F(Sharing, TheDeepestDuckWinsAndARestoreLiftsOnlyItsOwn)
{
    // B at 20, this one at 50 and then at 10: the player follows the least.
    other_holds(player, 0.2f);
    EXPECT_EQ(run_loop("duck 50 player\nlist\nduck 10 player\nlist\nrestore\nlist\n").output,
              kDucked + player_listed(16) + kDucked + player_listed(8) + kOk + player_listed(16) +
                  kOk);
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.16f) << "B still holds it at 20";
    EXPECT_EQ(holds_on(player), std::to_string(kOther) + "@20 ");
    EXPECT_EQ(std::string(sim_shared_table()).find(kThisHolder), std::string::npos)
        << "a full restore leaves no place of its own:\n" << sim_shared_table();

    // B at 50, this one at 20: restored to B's 50, never to a ducked level
    // taken for an original; a restore of this one's part only.
    clear_holds(g_table);
    other = holder_slot(g_table, holder_of(kOther));
    other_holds(player, 0.5f);
    const int chat = add_app(endpoint, 20, "chat.exe", 0.5f);
    run_loop("duck 20 player;chat\n");
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.4f);
    EXPECT_FLOAT_EQ(sim_session_volume(chat), 0.5f);
    EXPECT_EQ(holds_on(player), std::to_string(kOther) + "@50 ");
}

TEST_F(Sharing, TheFirstHoldReadsTheOriginalAndTheKeeperKeepsIt)
{
    // This one alone: its hold is in the table before its ramp begins, so a
    // kill during the ramp leaves the original to the next controller.
    run_loop("duck 20 player\nlist\n");
    EXPECT_EQ(sim_volume_set(0).tables_written, 1);
    EXPECT_TRUE(holds_on(player).empty()) << "ended and restored: nothing left held";
    other_holds(player, 0.5f);  // the player now at 0.4, B's duck
    sim_feed_keeper("");
    run_loop("duck 20 player\n");
    // The keeper was told B's original, 0.8, not the 0.4 this one read.
    SavedSession told{};
    const std::string transcript = sim_keeper_transcript();
    const size_t save = transcript.rfind("save ");
    ASSERT_NE(save, std::string::npos);
    ASSERT_TRUE(
        parse_saved_record(transcript.substr(save, transcript.find('\n', save) - save).c_str(), &told));
    EXPECT_FLOAT_EQ(told.volume, 0.8f);
}

TEST_F(Sharing, AControllerThatEndedCountsAsItsRestore)
{
    // B ended while holding 20: even a restore with nothing saved lifts the
    // player back, as B's restore would have.
    other_holds(player, 0.2f);
    sim_end_process(kOther);
    EXPECT_EQ(run_loop("restore\n").output, kOk + kOk);
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.8f);
    EXPECT_EQ(holds_on(player), "");

    // This one's keeper, after this one was killed holding 10 beside B's 50:
    // the player goes to B's 50.
    sim_add_process(kOther, "dictation.exe");  // B again, as a new process
    clear_holds(g_table);
    other = holder_slot(g_table, holder_of(kOther));
    const int self = holder_slot(g_table, {kSimDefaultOwnPid + 1, 5});
    other_holds(player, 0.5f);
    SavedSession original = g_table.sessions[0].original;
    hold_session(g_table, self, original, 0.1f);
    write_table();
    sim_set_session_volume(player, 0.08f);
    char record[kMaxRecord];
    original.share = 0.1f;
    ASSERT_TRUE(format_saved_record(original, record, kMaxRecord));
    const std::string records =
        "holder " + std::to_string(kSimDefaultOwnPid + 1) + " 5\n" + record + "\n";
    sim_feed_keeper(records.c_str());
    run_test_keeper();
    share_as(test_controller().sharing, kSimDefaultOwnPid, 0);  // this test process again
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.4f);
    EXPECT_EQ(holds_on(player), std::to_string(kOther) + "@50 ");
}

TEST_F(Sharing, ATurnKeptTooLongStillTakesTheOriginalFromTheTable)
{
    // B holds the player at 50 and keeps the turn (stopped, say): this one
    // waits, then ducks and restores without it, from B's original, and
    // writes its holds all the same, so that nobody takes its 0.16 for an
    // original meanwhile.
    other_holds(player, 0.5f);
    sim_keep_turn_elsewhere(kOther, UINT64_MAX);
    sim_after_volume_set(10, [] { g_read_by_stopped = holds_now(); });
    EXPECT_EQ(run_loop("duck 20 player\nlist\nrestore\nlist\n").output,
              kDucked + player_listed(16) + kOk + player_listed(40) + kOk);
    EXPECT_GE(sim_clock_ms(), 2 * kTurnPatienceMs) << "a duck and a restore each waited";
    EXPECT_EQ(g_read_by_stopped, std::to_string(kOther) + "@50 " + kThisPid + "@20 ");
    EXPECT_EQ(holds_on(player), std::to_string(kOther) + "@50 ");

    // B ends; the next restore prunes it, and the player is its own again.
    sim_keep_turn_elsewhere(0, 0);
    sim_end_process(kOther);
    run_loop("restore\n");
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.8f);
}

TEST_F(Sharing, HoldsThatCouldNotBeWrittenAreWrittenAtTheNextTurn)
{
    // This one's duck cannot write the table; its hold is written by its
    // next change, so B, reading then, never takes 0.16 for the original.
    sim_fail(SimOp::kWriteShared);
    run_loop("duck 20 player\n");
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.8f) << "ended, restored";
    sim_heal(SimOp::kWriteShared);

    sim_before_enumeration(1, [] { sim_fail(SimOp::kWriteShared); });
    sim_before_enumeration(2, [] { sim_heal(SimOp::kWriteShared); });
    const LoopRun run = run_loop("duck 20 player\nduck 20 player\n");
    EXPECT_EQ(run.output, kDucked + kDucked + kOk);
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.8f);
    EXPECT_EQ(std::string(sim_shared_table()), "appduck-holds 3\n")
        << "nothing held, nobody's place, no session left in the table";

    // A table with no whole copy is replaced, and says so.
    sim_damage_shared_table();
    run_loop("duck 20 player\n");
    EXPECT_EQ(std::string(sim_shared_table()).rfind("appduck-holds 3\n", 0), 0u);
}

TEST_F(Sharing, ATableWithNoRoomForThisControllerStillGivesItTheOriginal)
{
    // Every place taken by a running controller holding the player at 50.
    for (int i = 1; i < kMaxHolders; ++i)
        sim_add_process(kOther + static_cast<uint32_t>(i), "another.exe");
    other_holds(player, 0.5f);
    for (int i = 1; i < kMaxHolders; ++i)
        hold_at(*find_held(g_table, 10, static_cast<uint64_t>(player) + 1),
                holder_slot(g_table, holder_of(kOther + static_cast<uint32_t>(i))), 0.5f);
    write_table();
    EXPECT_EQ(run_loop("duck 20 player\nlist\nrestore\nlist\n").output,
              kDucked + player_listed(16) + kOk + player_listed(40) + kOk);
    EXPECT_EQ(std::string(sim_shared_table()).find(kThisHolder), std::string::npos);
}

TEST_F(Sharing, ASessionStartedFromAnotherControllersDuckedMemoryIsHeldAsItsSource)
{
    // B ducked the player to 20; the player's next track starts at B's 0.16
    // from the memory. This one's duck to 50 must not take it for an
    // original: it is held as the track before it, by B too.
    other_holds(player, 0.2f);
    sim_end_session(player);
    const int track = sim_add_session_from_memory(endpoint, 10, "by-name:player", 0.8f);
    ASSERT_FLOAT_EQ(sim_session_volume(track), 0.16f);
    EXPECT_EQ(run_loop("duck 50 player\nlist\nrestore\n").output,
              kDucked + player_listed(16) + kOk + kOk);
    EXPECT_FLOAT_EQ(sim_session_volume(track), 0.16f) << "B still holds it";
    EXPECT_EQ(holds_on(track), std::to_string(kOther) + "@20 ");

    // B ends: the next restore anyone makes brings the track to its own.
    sim_end_process(kOther);
    run_loop("restore\n");
    EXPECT_FLOAT_EQ(sim_session_volume(track), 0.8f);
}

TEST_F(Sharing, EachHolderOfTheTurnIsWaitedForTenSecondsAndNoLonger)
{
    constexpr uint32_t kThird = 78;
    sim_add_process(kThird, "assistant.exe");
    // Kept for 9.9 s: the duck waits for it.
    sim_keep_turn_elsewhere(kOther, 9900);
    run_loop("duck 20 player\n");
    EXPECT_GE(sim_volume_set(0).at_ms, 9900u);
    // Kept for 10.1 s: after 10 s the duck goes on without the turn.
    uint64_t start = sim_clock_ms();
    sim_clear_volume_log();
    sim_keep_turn_elsewhere(kOther, start + 10100);
    run_loop("duck 20 player\n");
    EXPECT_GE(sim_volume_set(0).at_ms, start + 10000);
    EXPECT_LT(sim_volume_set(0).at_ms, start + 10100);
    // B for 6 s, then another for 9 s: each is given its own 10 s.
    start = sim_clock_ms();
    sim_clear_volume_log();
    sim_keep_turn_elsewhere(kOther, start + 6000);
    sim_pass_turn_to(kThird, start + 15000);
    run_loop("duck 20 player\n");
    EXPECT_GE(sim_volume_set(0).at_ms, start + 15000);
}

TEST_F(Sharing, AnEndedProcessThatHadThisOnesIdHoldsNothing)
{
    // An earlier process with this one's id (it started at 5, this one at
    // 0) ended holding the player at 50: no holder of this one's, and its
    // hold goes with it.
    other = holder_slot(g_table, {kSimDefaultOwnPid, 5});
    other_holds(player, 0.5f);
    run_loop("duck 20 player\nrestore\n");
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.8f);
    EXPECT_EQ(holds_on(player), "");
}

void b_took_this_ones_level_for_the_original()
{
    HoldTable& table = g_table;
    clear_holds(table);
    uint64_t started = 0;
    process_start_time(kOther, &started);
    const int slot = holder_slot(table, {kOther, started});
    SavedSession original{};
    original.pid = 10;
    original.instance = 1;  // the player's session, the first
    original.volume = 0.16f;
    original.own.level = sim_level(0.16f);
    std::snprintf(original.own.key, sizeof original.own.key, "by-name:player");
    original.ramps[0] = {1.0f, 0.5f};
    original.ramp_count = 1;
    hold_session(table, slot, original, 0.5f);
    ASSERT_TRUE(format_hold_table(table, g_text, kHoldTableText));
    sim_set_shared_table(g_text);
}

TEST_F(Sharing, ATableThatLostThisOnesHoldGetsTheOriginalBackWithEveryRamp)
{
    // After this one's duck to 20 the table was damaged, and B wrote it
    // anew with this one's 0.16 for the player's original, ramped from 1 to
    // 0.5. This one's record is the original, and the table keeps both
    // ramps, this one's and B's (0.16 to 0.08: 0.2 to 0.1 of the original),
    // so that either's levels are known.
    sim_after_volume_set(10, b_took_this_ones_level_for_the_original);
    run_loop("duck 20 player\nduck 20 player\n");
    static HoldTable now;
    ASSERT_EQ(parse_hold_table(sim_shared_table(), now), TableText::kOurs);
    const HeldSession* held = find_held(now, 10, 1);
    ASSERT_NE(held, nullptr);
    EXPECT_FLOAT_EQ(held->original.volume, 0.8f);
    ASSERT_GE(held->original.ramp_count, 2);
    EXPECT_FLOAT_EQ(held->original.ramps[0].to, 0.2f);
    EXPECT_FLOAT_EQ(held->original.ramps[1].from, 0.2f) << "B's ramp";
    EXPECT_FLOAT_EQ(held->original.ramps[1].to, 0.1f) << "B's ramp";
}

constexpr uint32_t kStopped = 79;  // C

TEST_F(Sharing, ARestoreMadeWhileAHolderKeepsTheTurnIsWrittenWithoutIt)
{
    // B holds 50; this one ducks to 20; then C, whose hold at 80 is in the
    // table, takes the turn and is stopped holding it for 15 s. This one's
    // restore goes on without the turn after 10 s, the player to B's 50, and
    // writes its release all the same.
    sim_add_process(kStopped, "assistant.exe");
    other_holds(player, 0.5f);
    sim_after_volume_set(10, [] {
        static HoldTable table;
        ASSERT_EQ(parse_hold_table(sim_shared_table(), table), TableText::kOurs);
        uint64_t started = 0;
        process_start_time(kStopped, &started);
        table.sessions[0].shares[holder_slot(table, {kStopped, started})] = 0.8f;
        ASSERT_TRUE(format_hold_table(table, g_text, kHoldTableText));
        sim_set_shared_table(g_text);
        sim_keep_turn_elsewhere(kStopped, sim_clock_ms() + 15000);
    });
    EXPECT_EQ(run_loop("duck 20 player\nrestore\nlist\n").output,
              kDucked + kOk + player_listed(40) + kOk);
    EXPECT_LT(sim_clock_ms(), 15000u) << "nothing waited for C's end";
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.4f) << "at B's 50, the deepest hold left";
    EXPECT_EQ(holds_on(player), std::to_string(kOther) + "@50 " + std::to_string(kStopped) + "@80 ");

    // Killed after such a restore, a controller leaves the release to its
    // keeper, which writes it and brings the player to B's 50.
    clear_holds(g_table);
    other = holder_slot(g_table, holder_of(kOther));
    const int self = holder_slot(g_table, {kSimDefaultOwnPid + 1, 5});
    other_holds(player, 0.5f);
    hold_session(g_table, self, g_table.sessions[0].original, 0.2f);
    write_table();
    sim_set_session_volume(player, 0.16f);
    const std::string records = "holder " + std::to_string(kSimDefaultOwnPid + 1) + " 5\nrelease 10 1\n";
    sim_feed_keeper(records.c_str());
    run_test_keeper();
    share_as(test_controller().sharing, kSimDefaultOwnPid, 0);  // this test process again
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.4f);
    EXPECT_EQ(holds_on(player), std::to_string(kOther) + "@50 ");
}

}  // namespace
