// The hook forms' arguments: what a hook writes becomes the protocol's
// duck line and the hold's bounds, and what it gets wrong is a mistake
// before anything runs.
#include "app/hook_arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

HookRequest read(const std::vector<const char*>& arguments)
{
    static std::vector<std::string> kept;
    static std::vector<char*> argv;
    kept.assign(arguments.begin(), arguments.end());
    kept.insert(kept.begin(), "appduck");
    argv.clear();
    for (std::string& argument : kept)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    EXPECT_TRUE(is_hook_form(static_cast<int>(kept.size()), argv.data()));
    return read_hook_arguments(static_cast<int>(kept.size()), argv.data());
}

TEST(HookArguments, ADuckBecomesTheProtocolsLineWithItsBounds)
{
    HookRequest duck = read({"duck", "20", "mpv", "firefox"});
    EXPECT_EQ(duck.form, HookForm::kDuck);
    EXPECT_STREQ(duck.duck_line, "duck 20 mpv;firefox");
    EXPECT_STREQ(duck.name, "default");
    EXPECT_EQ(duck.for_ms, kDefaultHoldMs) << "a lost stop event is bounded";

    duck = read({"duck", "--as", "tts", "--for", "2.5", "--no-wait", "-5", "chat*"});
    EXPECT_STREQ(duck.duck_line, "duck -5 chat*") << "the protocol clamps, as always";
    EXPECT_STREQ(duck.name, "tts");
    EXPECT_EQ(duck.for_ms, 2500u);
    EXPECT_TRUE(duck.no_wait);

    duck = read({"duck", "--while", "4242", "20", "mpv"});
    EXPECT_EQ(duck.while_pid, 4242u);
    EXPECT_EQ(duck.for_ms, 0u) << "as long as the process, no other bound";
    EXPECT_EQ(read({"duck", "--for", "0", "20", "mpv"}).for_ms, 0u);
}

TEST(HookArguments, RunFindsItsCommandAfterTheDashes)
{
    const HookRequest run = read({"run", "20", "*", "--", "espeak-ng", "--", "hi"});
    ASSERT_EQ(run.form, HookForm::kRun);
    EXPECT_STREQ(run.duck_line, "duck 20 *");
    EXPECT_STREQ(run.command[0], "espeak-ng");
    EXPECT_STREQ(run.command[1], "--") << "only the first -- is ours";
    EXPECT_EQ(run.command[3], nullptr);
}

TEST(HookArguments, MistakesAreToldApart)
{
    for (const auto& wrong : std::vector<std::vector<const char*>>{
             {"duck", "20"},
             {"duck", "2o", "mpv"},
             {"duck", "--for", "1.2345", "20", "mpv"},
             {"duck", "--for", "1", "--while", "7", "20", "mpv"},
             {"duck", "--as", "-x/..", "20", "mpv"},
             {"duck", "--as", ".hidden", "20", "mpv"},
             {"duck", "--as", "x123456789012345678901234567890123", "20", "mpv"},
             {"restore", "--as", "a", "--all"},
             {"restore", "--for", "2"},
             {"run", "20", "mpv"},
             {"run", "20", "mpv", "--"},
             {"run", "--no-wait", "20", "mpv", "--", "true"},
             {"status", "now"}}) {
        const HookRequest request = read(wrong);
        EXPECT_EQ(request.form, HookForm::kMistake) << wrong[0] << " " << wrong[1];
        EXPECT_NE(std::string(request.mistake), "");
    }
    EXPECT_EQ(read({"restore", "--all"}).form, HookForm::kRestore);
}

}  // namespace
