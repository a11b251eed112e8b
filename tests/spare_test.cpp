// "Everyone but me": what a controller spares stays up through a wildcard,
// its own process tree included (children started later too, but not a
// process that took the controller's id after it ended, nor one whose
// parent's id was taken by the controller's child), while a name
// written out in full still reaches it.
#include "support/loop_driver.h"
#include "support/player_world.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr uint32_t kController = 100;  // started this appduck

class Spare : public PlayerWorld {
protected:
    void SetUp() override
    {
        PlayerWorld::SetUp();  // the player, pid 10, at 0.8: no kin of the controller
        sim_add_process(kController, "python3");
        sim_set_parent(kSimDefaultOwnPid, kController);
        voice = add_child(101, kController, "espeak-ng.exe");
        music = add_child(102, kController, "mpv.exe");
        chat = add_app(endpoint, 20, "chat.exe", 1.0f);
    }

    int add_child(uint32_t pid, uint32_t parent, const char* exe)
    {
        const int session = add_app(endpoint, pid, exe, 1.0f);
        sim_set_parent(pid, parent);
        return session;
    }

    int voice = 0;
    int music = 0;
    int chat = 0;
};

int g_late = -1;
int g_voice = -1;

TEST_F(Spare, AWildcardPassesOverTheControllersTreeAndANameWrittenOutDoesNot)
{
    // A grandchild started after the spare is spared too.
    sim_before_enumeration(1, [] {
        sim_add_process(103, "aplay.exe");
        sim_set_parent(103, 101);
        g_late = sim_add_session(0, 103, 1.0f);
    });
    const LoopRun run = run_loop("spare\nduck 20 *\nduck 20 *;mpv\n");
    EXPECT_EQ(run.output,
              "{\"ok\":true}\n{\"ok\":true,\"bajados\":1}\n{\"ok\":true,\"bajados\":1}\n{\"ok\":true}\n");
    EXPECT_EQ(volume_sets_of(voice), "");
    EXPECT_EQ(volume_sets_of(g_late), "") << "the grandchild";
    EXPECT_EQ(volume_sets_of(music).substr(0, 4), "0.92") << "named in full, its own music is";
    EXPECT_EQ(volume_sets_of(player).substr(0, 4), "0.74");
}

TEST_F(Spare, AProcessThatTookTheControllersIdIsNoKin)
{
    sim_before_enumeration(1, [] {
        sim_end_process(kController);
        sim_add_process(kController, "someone-else");  // the id again, started later
        sim_add_process(104, "stranger.exe");
        sim_set_parent(104, kController);
        g_late = sim_add_session(0, 104, 1.0f);
    });
    run_loop("spare\nduck 50 *\n");
    EXPECT_NE(volume_sets_of(g_late), "");
}

int g_orphan = -1;

TEST_F(Spare, AProcessOlderThanTheIdItNamesAsParentIsNoKin)
{
    // 105's parent ended; the controller's new child took its id later.
    sim_before_enumeration(1, [] {
        sim_end_process(101);
        sim_add_process(105, "orphan.exe");
        sim_set_parent(105, 101);
        g_orphan = sim_add_session(0, 105, 1.0f);
        sim_add_process(101, "espeak-ng.exe");
        sim_set_parent(101, kController);
    });
    run_loop("spare\nduck 50 *\n");
    EXPECT_NE(volume_sets_of(g_orphan), "");
}

TEST_F(Spare, NamesAreSparedFromWildcardsOnly)
{
    const LoopRun run = run_loop("spare chat;player\nduck 20 *\nduck 30 chat\n");
    EXPECT_EQ(run.output,
              "{\"ok\":true}\n{\"ok\":true,\"bajados\":1}\n{\"ok\":true,\"bajados\":1}\n{\"ok\":true}\n");
    EXPECT_EQ(volume_sets_of(player), "");
    EXPECT_NE(volume_sets_of(chat), "") << "written out in full";
    EXPECT_NE(volume_sets_of(voice), "") << "names only: the tree is not spared";
}

TEST_F(Spare, AKinsIdTakenByAStrangerIsNoLongerSpared)
{
    // The voice ends between two ducks, and a stranger takes its id.
    g_voice = voice;
    sim_before_enumeration(2, [] {
        sim_end_session(g_voice);
        sim_end_process(101);
        sim_add_process(101, "radio.exe");
        sim_set_parent(101, 1);
        g_late = sim_add_session(0, 101, 1.0f);
    });
    run_loop("spare\nduck 20 *\nduck 20 *\n");
    EXPECT_EQ(volume_sets_of(voice), "");
    EXPECT_EQ(volume_sets_of(g_late).substr(0, 4), "0.92");
}

}  // namespace
