// The text services behave alike on every platform: natively these are our
// portable ones, under Wine the Windows kernel's and C runtime's own, and the
// same expectations hold for both.
#include "audio/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<unsigned> to_utf16(const char* text, int capacity = 64)
{
    std::vector<Utf16Char> out(static_cast<size_t>(capacity), 0);
    const int units = utf8_to_utf16(text, out.data(), capacity);
    if (units <= 0)
        return {};
    return std::vector<unsigned>(out.begin(), out.begin() + units - 1);
}

std::string to_utf8(std::vector<Utf16Char> text, int capacity = 64)
{
    text.push_back(0);
    std::string out(static_cast<size_t>(capacity), '\0');
    const int bytes = utf16_to_utf8(text.data(), out.data(), capacity);
    if (bytes <= 0)
        return "<failed>";
    out.resize(static_cast<size_t>(bytes - 1));
    return out;
}

TEST(Utf8ToUtf16, ConvertsEveryPlane)
{
    EXPECT_EQ(to_utf16("a\xC3\xBC\xE2\x99\xAB\xF0\x9F\x8E\xB5"),
              (std::vector<unsigned>{'a', 0xFC, 0x266B, 0xD83C, 0xDFB5}));
}

TEST(Utf8ToUtf16, ReplacesIllFormedInputWithReplacementCharacters)
{
    EXPECT_EQ(to_utf16("a\xFF" "b"), (std::vector<unsigned>{'a', 0xFFFD, 'b'}));
    EXPECT_EQ(to_utf16("\xE2\x82" "A"), (std::vector<unsigned>{0xFFFD, 'A'}));  // cut short
    EXPECT_EQ(to_utf16("x\xC3"), (std::vector<unsigned>{'x', 0xFFFD}));        // cut by the end
    EXPECT_EQ(to_utf16("\x80"), (std::vector<unsigned>{0xFFFD}));              // stray trail byte
}

TEST(Utf8ToUtf16, FailsWhenTheResultDoesNotFit)
{
    EXPECT_EQ(to_utf16("abc", 4).size(), 3u);
    EXPECT_TRUE(to_utf16("abc", 3).empty());
    EXPECT_TRUE(to_utf16("\xF0\x9F\x8E\xB5", 2).empty()) << "a pair needs two units";
}

TEST(Utf16ToUtf8, ConvertsPairsAndReplacesLoneSurrogates)
{
    EXPECT_EQ(to_utf8({'a', 0xFC, 0xD83C, 0xDFB5}), "a\xC3\xBC\xF0\x9F\x8E\xB5");
    EXPECT_EQ(to_utf8({0xD800, 'a'}), "\xEF\xBF\xBD" "a");
    EXPECT_EQ(to_utf8({'a', 0xDC00}), "a\xEF\xBF\xBD");
}

TEST(Utf16ToUtf8, FailsWhenTheResultDoesNotFit)
{
    EXPECT_EQ(to_utf8({'a', 0xFC}, 4), "a\xC3\xBC");
    EXPECT_EQ(to_utf8({'a', 0xFC}, 3), "<failed>");
}

TEST(TextComparison, LocaleAwareComparisonFoldsEveryLetter)
{
    EXPECT_EQ(compare_text_nocase(UTF16_LITERAL("PLAYER.EXE"), UTF16_LITERAL("player.exe")), 0);
    EXPECT_EQ(compare_text_nocase(UTF16_LITERAL("\u00C9CHO"), UTF16_LITERAL("\u00E9cho")), 0);
    EXPECT_EQ(compare_text_nocase(UTF16_LITERAL("\u0416"), UTF16_LITERAL("\u0436")), 0);  // Ж ж
    EXPECT_NE(compare_text_nocase(UTF16_LITERAL("player"), UTF16_LITERAL("players")), 0);
    EXPECT_NE(compare_text_nocase(UTF16_LITERAL("a"), UTF16_LITERAL("b")), 0);
    EXPECT_NE(compare_text_nocase(UTF16_LITERAL(""), UTF16_LITERAL("a")), 0);
}

TEST(TextComparison, RuntimeComparisonsFoldOnlyAsciiLetters)
{
    EXPECT_EQ(compare_ascii_nocase(UTF16_LITERAL("Player.EXE"), UTF16_LITERAL("pLAYER.exe")), 0);
    EXPECT_NE(compare_ascii_nocase(UTF16_LITERAL("\u00C9cho"), UTF16_LITERAL("\u00E9cho")), 0);
    EXPECT_NE(compare_ascii_nocase(UTF16_LITERAL("player"), UTF16_LITERAL("player.exe")), 0);
    // '[' sits between 'Z' and 'a': folding must not touch it.
    EXPECT_NE(compare_ascii_nocase(UTF16_LITERAL("["), UTF16_LITERAL("{")), 0);
    EXPECT_EQ(compare_ascii_nocase_n(UTF16_LITERAL("PLAnet.exe"), UTF16_LITERAL("pla"), 3), 0);
    EXPECT_NE(compare_ascii_nocase_n(UTF16_LITERAL("pl"), UTF16_LITERAL("pla"), 3), 0);
    EXPECT_EQ(compare_ascii_nocase_n(UTF16_LITERAL("x"), UTF16_LITERAL("y"), 0), 0);
}

TEST(TextCopy, BoundedCopyIsAlwaysTerminated)
{
    Utf16Char out[4] = {'#', '#', '#', '#'};
    copy_text_bounded(out, UTF16_LITERAL("abcdef"), 4);
    EXPECT_EQ(compare_ascii_nocase(out, UTF16_LITERAL("abc")), 0);
    copy_text_bounded(out, UTF16_LITERAL("x"), 4);
    EXPECT_EQ(compare_ascii_nocase(out, UTF16_LITERAL("x")), 0);
}

}  // namespace
