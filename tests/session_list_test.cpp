// What `list` shows: one entry per executable, its name and its volume.
#include "support/loop_driver.h"
#include "support/sim_world.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class List : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim_reset();
        endpoint = sim_add_endpoint();
    }

    std::string list() { return run_loop("list\n").output; }

    int endpoint = 0;
};

constexpr const char* kDone = "{\"ok\":true}\n";

TEST_F(List, ShowsEachExecutableOnceWithItsFirstSessionsVolume)
{
    add_app(endpoint, 10, "player.exe", 0.5f);
    sim_add_session(endpoint, 10, 0.9f);
    add_app(endpoint, 20, "Chat.exe", 1.0f);
    EXPECT_EQ(list(), std::string("[{\"exe\":\"player.exe\",\"name\":\"player\",\"vol\":50},"
                                  "{\"exe\":\"Chat.exe\",\"name\":\"Chat\",\"vol\":100}]\n") +
                          kDone);
}

TEST_F(List, EmptyWorldIsAnEmptyArray)
{
    EXPECT_EQ(list(), std::string("[]\n") + kDone);
}

TEST_F(List, NamesDifferingOnlyInCaseAreOneExecutable)
{
    add_app(endpoint, 10, "PLAYER.EXE", 0.3f);
    add_app(endpoint, 11, "player.exe", 0.7f);
    add_app(endpoint, 12, "\xC3\x89" "cho.exe", 0.1f);  // Écho
    add_app(endpoint, 13, "\xC3\xA9" "cho.exe", 0.2f);  // écho
    EXPECT_EQ(list(), std::string("[{\"exe\":\"PLAYER.EXE\",\"name\":\"PLAYER\",\"vol\":30},"
                                  "{\"exe\":\"\xC3\x89" "cho.exe\",\"name\":\"\xC3\x89" "cho\","
                                  "\"vol\":10}]\n") +
                          kDone);
}

TEST_F(List, VolumeIsRoundedToTheNearestPercent)
{
    add_app(endpoint, 10, "a.exe", 0.124f);
    add_app(endpoint, 11, "b.exe", 0.126f);
    add_app(endpoint, 12, "c.exe", 1.0f);
    add_app(endpoint, 13, "d.exe", 0.0f);
    EXPECT_EQ(list(), std::string("[{\"exe\":\"a.exe\",\"name\":\"a\",\"vol\":12},"
                                  "{\"exe\":\"b.exe\",\"name\":\"b\",\"vol\":13},"
                                  "{\"exe\":\"c.exe\",\"name\":\"c\",\"vol\":100},"
                                  "{\"exe\":\"d.exe\",\"name\":\"d\",\"vol\":0}]\n") +
                          kDone);
}

TEST_F(List, NameIsCutAtTheLastDot)
{
    add_app(endpoint, 10, "noext", 0.5f);
    add_app(endpoint, 11, ".exe", 0.5f);
    add_app(endpoint, 12, "my.game.v2.exe", 0.5f);
    EXPECT_EQ(list(), std::string("[{\"exe\":\"noext\",\"name\":\"noext\",\"vol\":50},"
                                  "{\"exe\":\".exe\",\"name\":\"\",\"vol\":50},"
                                  "{\"exe\":\"my.game.v2.exe\",\"name\":\"my.game.v2\",\"vol\":50}]\n") +
                          kDone);
}

TEST_F(List, NameIsTheWholeFileNameWhereExecutablesHaveNoExtension)
{
    sim_set_names_without_extensions();
    add_app(endpoint, 10, "radio.fm", 0.5f);
    add_app(endpoint, 11, "python3.11", 0.5f);
    EXPECT_EQ(list(), std::string("[{\"exe\":\"radio.fm\",\"name\":\"radio.fm\",\"vol\":50},"
                                  "{\"exe\":\"python3.11\",\"name\":\"python3.11\",\"vol\":50}]\n") +
                          kDone);
}

// For every entry of `list`, `duck 100 <name>` names it, on either kind of
// platform: a controller can duck whatever it was shown.
TEST_F(List, EveryListedNameIsOneThatDuckAccepts)
{
    for (const bool extensions : {true, false}) {
        sim_reset();
        endpoint = sim_add_endpoint();
        if (!extensions)
            sim_set_names_without_extensions();
        // What each platform's executables are called: Windows appends
        // ".exe" to a program started without an extension.
        const char* const windows[] = {"player.exe", "my.game.v2.exe", "M\xC3\xBCsik.exe", "noext"};
        const char* const linux[] = {"radio.fm", "python3.11", "player", "my.game.v2.exe"};
        for (uint32_t i = 0; i < 4; ++i)
            add_app(endpoint, 10 + i, extensions ? windows[i] : linux[i], 0.5f);
        const std::string listed = list();
        for (size_t at = listed.find("\"name\":\""); at != std::string::npos;
             at = listed.find("\"name\":\"", at + 1)) {
            const size_t start = at + 8;
            const std::string name = listed.substr(start, listed.find('"', start) - start);
            EXPECT_EQ(run_loop("duck 100 " + name + "\n").output,
                      std::string("{\"ok\":true,\"bajados\":1}\n") + kDone)
                << name << (extensions ? " (extensions)" : " (whole names)");
        }
    }
}

TEST_F(List, EscapesQuotesBackslashesAndControlBytesAndKeepsUtf8)
{
    add_app(endpoint, 10, "a\"b\\c\td\ne\x1f.exe", 0.5f);
    add_app(endpoint, 11, "M\xC3\xBCsik \xE2\x99\xAB \xF0\x9F\x8E\xB5.exe", 0.5f);  // Müsik ♫ 🎵
    EXPECT_EQ(list(),
              std::string("[{\"exe\":\"a\\\"b\\\\c\\u0009d\\u000ae\\u001f.exe\","
                          "\"name\":\"a\\\"b\\\\c\\u0009d\\u000ae\\u001f\",\"vol\":50},"
                          "{\"exe\":\"M\xC3\xBCsik \xE2\x99\xAB \xF0\x9F\x8E\xB5.exe\","
                          "\"name\":\"M\xC3\xBCsik \xE2\x99\xAB \xF0\x9F\x8E\xB5\",\"vol\":50}]\n") +
                  kDone);
}

TEST_F(List, SessionsOfVanishedProcessesAreNotListed)
{
    sim_add_session(endpoint, 77, 0.5f);  // no process 77 in the snapshot
    add_app(endpoint, 10, "player.exe", 0.5f);
    EXPECT_EQ(list(), std::string("[{\"exe\":\"player.exe\",\"name\":\"player\",\"vol\":50}]\n") +
                          kDone);
}

TEST_F(List, LongestNameIsListedWhole)
{
    const std::string name = std::string(255, 'n') + ".exe";  // 259 characters
    add_app(endpoint, 10, name.c_str(), 0.5f);
    EXPECT_EQ(list(), "[{\"exe\":\"" + name + "\",\"name\":\"" + std::string(255, 'n') +
                          "\",\"vol\":50}]\n" + kDone);
}

TEST_F(List, ShowsTheVolumeOfTheMomentOfTheCommand)
{
    const int session = add_app(endpoint, 10, "player.exe", 0.5f);
    const LoopRun first = run_loop("list\n");
    sim_set_session_volume(session, 0.25f);
    const LoopRun second = run_loop("list\n");
    EXPECT_NE(first.output.find("\"vol\":50"), std::string::npos);
    EXPECT_NE(second.output.find("\"vol\":25"), std::string::npos);
}

}  // namespace
