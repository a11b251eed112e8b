// The protocol's framing: which lines are commands, one reply per line, and
// how the program ends.
#include "support/loop_driver.h"
#include "support/sim_world.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class CommandLoop : public ::testing::Test {
protected:
    void SetUp() override { sim_reset(); }
};

TEST_F(CommandLoop, AnswersEachLineThatIsNoCommandWithOkFalse)
{
    const LoopRun run = run_loop("\n   \nLIST\n list\nlis\nduck\nhello\nquit\n");
    EXPECT_EQ(run.output, "{\"ok\":false}\n{\"ok\":false}\n{\"ok\":false}\n{\"ok\":false}\n"
                              "{\"ok\":false}\n{\"ok\":false}\n{\"ok\":false}\n{\"ok\":true}\n");
    EXPECT_EQ(run.status, 0);
}

TEST_F(CommandLoop, MatchesCommandsByPrefixOnly)
{
    const LoopRun run = run_loop("listing\nquit now\nlist\n");
    // "quit now" ends the program: the last list is never read.
    EXPECT_EQ(run.output, "[]\n{\"ok\":true}\n");
}

TEST_F(CommandLoop, StripsCarriageReturnsAndLineFeedsInAnyMix)
{
    const LoopRun run = run_loop("list\r\nlist\r\r\r\nlist\n\r\nquit\r\n");
    // "\n\r\n" is a list line and then a line holding only a carriage return.
    EXPECT_EQ(run.output, "[]\n[]\n[]\n{\"ok\":false}\n{\"ok\":true}\n");
}

TEST_F(CommandLoop, SkipsOneByteOrderMarkAtTheVeryStartOnly)
{
    // What Windows PowerShell 5.1 sends with $OutputEncoding set to UTF-8.
    EXPECT_EQ(run_loop("\xEF\xBB\xBFlist\nlist\n").output, "[]\n[]\n{\"ok\":true}\n");
    EXPECT_EQ(run_loop("list\n\xEF\xBB\xBFlist\n").output, "[]\n{\"ok\":false}\n{\"ok\":true}\n");
    EXPECT_EQ(run_loop("\xEF\xBB\xBF\xEF\xBB\xBFlist\n").output, "{\"ok\":false}\n{\"ok\":true}\n");
    EXPECT_EQ(run_loop("\xEF\xBB\xBF\n").output, "{\"ok\":false}\n{\"ok\":true}\n");
    EXPECT_EQ(run_loop("\xEF\xBBlist\n").output, "{\"ok\":false}\n{\"ok\":true}\n");
}

TEST_F(CommandLoop, EndOfInputWithoutQuitEndsCleanly)
{
    const LoopRun run = run_loop("list\n");
    EXPECT_EQ(run.output, "[]\n{\"ok\":true}\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run_loop("").output, "{\"ok\":true}\n");
}

TEST_F(CommandLoop, LastLineWithoutLineFeedIsStillACommand)
{
    EXPECT_EQ(run_loop("list").output, "[]\n{\"ok\":true}\n");
    EXPECT_EQ(run_loop("list\r").output, "[]\n{\"ok\":true}\n");
}

TEST_F(CommandLoop, NulByteEndsTheLine)
{
    const LoopRun run = run_loop(std::string("list\0junk\n", 10) + std::string("\0list\n", 6));
    EXPECT_EQ(run.output, "[]\n{\"ok\":false}\n{\"ok\":true}\n");
}

TEST_F(CommandLoop, OverlongLineGetsOneReplyAndDoesNothing)
{
    // "list" and then 10,000 bytes: without care every 4095-byte piece would
    // be answered as a line, and the first piece would even run `list`.
    const std::string overlong = "list" + std::string(10000, 'x') + "\n";
    const LoopRun run = run_loop(overlong + "list\n");
    EXPECT_EQ(run.output, "{\"ok\":false}\n[]\n{\"ok\":true}\n");
    EXPECT_EQ(sim_enumerators_created(), 1) << "only the second list rebuilds";
}

TEST_F(CommandLoop, LineOfExactlyBufferLengthIsOneCommand)
{
    const std::string longest = "list" + std::string(4091, ' ');  // 4095 bytes
    EXPECT_EQ(run_loop(longest + "\nlist\n").output, "[]\n[]\n{\"ok\":true}\n");
    EXPECT_EQ(run_loop(longest + "\r\r\nlist\n").output, "[]\n[]\n{\"ok\":true}\n");
    EXPECT_EQ(run_loop(longest).output, "[]\n{\"ok\":true}\n");
    EXPECT_EQ(run_loop(longest + "x\nlist\n").output, "{\"ok\":false}\n[]\n{\"ok\":true}\n");
}

TEST_F(CommandLoop, OverlongLastLineWithoutLineFeed)
{
    EXPECT_EQ(run_loop(std::string(9000, 'q')).output, "{\"ok\":false}\n{\"ok\":true}\n");
}

TEST_F(CommandLoop, JoinsTheRuntimeOnceAndLeavesItLast)
{
    const int endpoint = sim_add_endpoint();
    add_app(endpoint, 10, "player.exe", 0.5f);
    run_loop("list\nlist\n");
    EXPECT_EQ(sim_runtime_joins(), 1);
    EXPECT_EQ(sim_runtime_leaves(), 1);
    EXPECT_EQ(sim_calls_after_leave(), 0);
    EXPECT_TRUE(all_references_released());
}

TEST_F(CommandLoop, NothingIsEnumeratedBeforeTheFirstCommand)
{
    run_loop("quit\n");
    EXPECT_EQ(sim_enumerators_created(), 0);
}

}  // namespace
