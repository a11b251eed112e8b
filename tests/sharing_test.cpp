// Two controllers of one sound server: this one, and another (B) whose
// holds are in the shared table. The deepest duck wins, each restore lifts
// only its own, the original is the one read first, and a controller that
// ended counts as its restore.
#include "audio/volume_fader.h"
#include "ducking/keeper.h"
#include "ducking/keeper_records.h"
#include "ducking/shared_holds.h"
#include "ducking/sharing.h"
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
        sim_add_process(kOther, "dictation.exe");
        uint64_t started = 0;
        process_start_time(kOther, &started);
        clear_holds(g_table);
        other = holder_slot(g_table, {kOther, started});
    }

    // B holds the player, first at its own 0.8, at `share`.
    void other_holds_player(float share)
    {
        SavedSession original{};
        original.pid = 10;
        original.instance = static_cast<uint64_t>(player) + 1;
        original.volume = 0.8f;
        original.own.level = sim_level(0.8f);
        hold_session(g_table, other, original, share);
        ASSERT_TRUE(format_hold_table(g_table, g_text, kHoldTableText));
        sim_set_shared_table(g_text);
        sim_set_session_volume(player, 0.8f * share);
    }

    // Who holds the player in the shared table now, at what share.
    std::string player_holds()
    {
        static HoldTable now;
        std::string holds;
        if (!parse_hold_table(sim_shared_table(), now))
            return "unreadable";
        const HeldSession* held = find_held(now, 10, static_cast<uint64_t>(player) + 1);
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

std::string player_listed(int volume)
{
    return "[{\"exe\":\"player.exe\",\"name\":\"player\",\"vol\":" + std::to_string(volume) + "}]\n";
}

TEST_F(Sharing, TheDeepestDuckWinsAndARestoreLiftsOnlyItsOwn)
{
    // B at 20, this one at 50 and then at 10: the player follows the least.
    other_holds_player(0.2f);
    EXPECT_EQ(run_loop("duck 50 player\nlist\nduck 10 player\nlist\nrestore\nlist\n").output,
              kDucked + player_listed(16) + kDucked + player_listed(8) + kOk + player_listed(16) +
                  kOk);
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.16f) << "B still holds it at 20";
    EXPECT_EQ(player_holds(), std::to_string(kOther) + "@20 ");

    // B at 50, this one at 20: restored to B's 50, never to a ducked level
    // taken for an original.
    other_holds_player(0.5f);
    run_loop("duck 20 player\n");
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.4f);
    EXPECT_EQ(player_holds(), std::to_string(kOther) + "@50 ");
}

TEST_F(Sharing, TheFirstHoldReadsTheOriginalAndTheKeeperKeepsIt)
{
    // This one alone: its hold is in the table before its ramp begins, so a
    // kill during the ramp leaves the original to the next controller.
    run_loop("duck 20 player\nlist\n");
    EXPECT_EQ(sim_volume_set(0).tables_written, 1);
    EXPECT_TRUE(player_holds().empty()) << "ended and restored: nothing left held";
    other_holds_player(0.5f);  // the player now at 0.4, B's duck
    sim_feed_keeper("");
    run_loop("duck 20 player\n");
    // The keeper was told B's original, 0.8, not the 0.4 this one read.
    SavedSession told{};
    const std::string transcript = sim_keeper_transcript();
    const size_t save = transcript.rfind("save ");
    ASSERT_NE(save, std::string::npos);
    ASSERT_EQ(parse_keeper_record(transcript.substr(save, transcript.find('\n', save) - save).c_str(),
                                  &told),
              KeeperRecord::kSave);
    EXPECT_FLOAT_EQ(told.volume, 0.8f);
}

TEST_F(Sharing, AControllerThatEndedCountsAsItsRestore)
{
    // B ended while holding 20: this one's duck of another name lifts the
    // player back, as B's restore would have.
    other_holds_player(0.2f);
    sim_end_process(kOther);
    EXPECT_EQ(run_loop("duck 50 nobody\n").output, "{\"ok\":true,\"bajados\":0}\n" + kOk);
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.8f);
    EXPECT_EQ(player_holds(), "");

    // This one's keeper, after this one was killed holding 10 beside B's 50:
    // the player goes to B's 50.
    sim_add_process(kOther, "dictation.exe");  // B again, as a new process
    uint64_t started = 0;
    process_start_time(kOther, &started);
    clear_holds(g_table);
    other = holder_slot(g_table, {kOther, started});
    const int self = holder_slot(g_table, {kSimDefaultOwnPid + 1, 5});
    other_holds_player(0.5f);
    SavedSession original = g_table.sessions[0].original;
    hold_session(g_table, self, original, 0.1f);
    ASSERT_TRUE(format_hold_table(g_table, g_text, kHoldTableText));
    sim_set_shared_table(g_text);
    sim_set_session_volume(player, 0.08f);
    char record[kMaxKeeperRecord];
    original.share = 0.1f;
    ASSERT_TRUE(format_saved_record(original, record, kMaxKeeperRecord));
    const std::string records =
        "holder " + std::to_string(kSimDefaultOwnPid + 1) + " 5\n" + record + "\n";
    sim_feed_keeper(records.c_str());
    run_keeper();
    share_as(kSimDefaultOwnPid, 0);  // this test process again
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.4f);
    EXPECT_EQ(player_holds(), std::to_string(kOther) + "@50 ");
}

TEST_F(Sharing, WithoutATurnOrWithATableOfAnotherFormatItDucksAlone)
{
    sim_keep_turn_elsewhere(true);
    EXPECT_EQ(run_loop("duck 20 player\n").output, kDucked + kOk);
    EXPECT_EQ(sim_clock_ms(), 2 * (kSharedTurnWaitMs + kFadeMs)) << "a second's wait each";
    sim_keep_turn_elsewhere(false);

    sim_set_shared_table("appduck-holds 2\nsomething newer\n");
    EXPECT_EQ(run_loop("duck 20 player\nrestore\n").output, kDucked + kOk + kOk);
    EXPECT_STREQ(sim_shared_table(), "appduck-holds 2\nsomething newer\n");
    EXPECT_FLOAT_EQ(sim_session_volume(player), 0.8f);
}

}  // namespace
