// Which executables a duck's list of names names.
#include "ducking/name_match.h"
#include "audio/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<Utf16Char> utf16(const std::string& text)
{
    std::vector<Utf16Char> out(text.size() + 1);
    utf8_to_utf16(text.c_str(), out.data(), static_cast<int>(out.size()));
    return out;
}

bool matches(const std::string& exe, const std::string& names)
{
    return name_list_matches(utf16(exe).data(), utf16(names).data());
}

TEST(NameMatch, TokenNamesTheExecutableWithOrWithoutExe)
{
    EXPECT_TRUE(matches("player.exe", "player"));
    EXPECT_TRUE(matches("PLAYER.EXE", "player"));
    EXPECT_TRUE(matches("Player.exe", "player.exe"));
    EXPECT_TRUE(matches("player", "player"));  // a name without a dot
    EXPECT_FALSE(matches("player.exe", "play"));
    EXPECT_FALSE(matches("player.com", "player"));
    EXPECT_FALSE(matches("player.exe.exe", "player"));
    EXPECT_FALSE(matches("my player.exe", "player"));  // never a part of a name
}

TEST(NameMatch, SplitsOnSemicolonsBarsAndCommasAndTrimsSpaces)
{
    const std::string names = "  player  ;chat";
    EXPECT_TRUE(matches("player.exe", names));
    EXPECT_TRUE(matches("chat.exe", names));
    EXPECT_TRUE(matches("c.exe", "a|b,c"));
    EXPECT_TRUE(matches("b.exe", ";;|,b,,"));
    EXPECT_FALSE(matches("a b.exe", "a;b"));
    EXPECT_TRUE(matches("my player.exe", " my player "));  // inner spaces stay
}

TEST(NameMatch, TabIsPartOfTheName)
{
    EXPECT_FALSE(matches("player.exe", "\tplayer"));
    EXPECT_FALSE(matches("player.exe", "player\t;x"));
}

TEST(NameMatch, TrailingStarMatchesEveryNameItBegins)
{
    EXPECT_TRUE(matches("player.exe", "pla*"));
    EXPECT_TRUE(matches("PLAnet.exe", "pla*"));
    EXPECT_FALSE(matches("display.exe", "pla*"));
    EXPECT_FALSE(matches("pl", "pla*"));
    EXPECT_TRUE(matches("chat.exe", "x; chat* "));
}

TEST(NameMatch, LoneStarMatchesEveryNameEvenTheEmptyOne)
{
    EXPECT_TRUE(matches("anything.exe", "*"));
    EXPECT_TRUE(matches("", "*"));
    EXPECT_TRUE(matches("", " * "));
}

TEST(NameMatch, StarInsideATokenIsAnOrdinaryCharacter)
{
    EXPECT_TRUE(matches("pl*yer", "pl*yer"));
    EXPECT_TRUE(matches("PL*YER.EXE", "pl*yer"));
    EXPECT_FALSE(matches("player.exe", "pl*yer"));
}

TEST(NameMatch, NothingToMatchMatchesNothing)
{
    EXPECT_FALSE(matches("player.exe", ""));
    EXPECT_FALSE(matches("player.exe", "    "));
    EXPECT_FALSE(matches("player.exe", ";|,;"));
    EXPECT_FALSE(matches("", ""));
    EXPECT_FALSE(matches("", " ; "));
}

TEST(NameMatch, OnlyAsciiLettersIgnoreCase)
{
    EXPECT_TRUE(matches("\xC3\x89" "cho.exe", "\xC3\x89" "CHO"));   // Écho, ÉCHO
    EXPECT_FALSE(matches("\xC3\x89" "cho.exe", "\xC3\xA9" "cho"));  // Écho, écho
}

TEST(NameMatch, LooksAtTheFirst2047UnitsOnly)
{
    const std::string fits = std::string(2041, ',') + "player";  // 2047 units
    EXPECT_TRUE(matches("player.exe", fits));
    EXPECT_FALSE(matches("player.exe", "," + fits));  // leaves "playe"
    EXPECT_TRUE(matches("playe", "," + fits));
}

TEST(NameMatch, TokenTooLongForTheSuffixNamesOnlyItself)
{
    // The longest executable name is 259 units; a token of 256 plus ".exe"
    // would be cut to 259 and wrongly name "<token>.ex".
    const std::string token(256, 'a');
    EXPECT_FALSE(matches(token + ".ex", token));
    EXPECT_TRUE(matches(token, token));
    const std::string shorter(255, 'a');
    EXPECT_TRUE(matches(shorter + ".exe", shorter));
}

}  // namespace
