// Several controllers' holds on the same sessions: the deepest wins, each
// release lifts only its own, and the original is the one read first.
#include "ducking/sharing/shared_holds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

HoldTable g_table;
char g_text[kHoldTableText];

SavedSession session_at_volume(float volume)
{
    SavedSession session{};
    session.pid = 42;
    session.instance = 7;
    session.volume = volume;
    session.own.level.channels = 2;
    session.own.level.positions[0] = 1;
    session.own.level.positions[1] = 2;
    session.own.level.values[0] = static_cast<uint32_t>(65536 * volume);
    session.own.level.values[1] = static_cast<uint32_t>(32768 * volume);
    return session;
}

Holder controller(uint32_t pid)
{
    return {pid, 1000 + pid};
}

TEST(SharedHolds, TheDeepestHoldWinsAndEachReleaseLiftsOnlyItsOwn)
{
    const float shares[3] = {0.5f, 0.2f, 0.8f};
    int holds[3] = {0, 1, 2};
    do {
        int releases[3] = {0, 1, 2};
        do {
            clear_holds(g_table);
            int slots[3];
            bool live[3] = {};
            float level = 1.0f;  // where the session sits, as a later controller reads it
            for (const int who : holds) {
                slots[who] = holder_slot(g_table, controller(100 + who));
                const HeldSession* held =
                    hold_session(g_table, slots[who], session_at_volume(level), shares[who]);
                ASSERT_NE(held, nullptr);
                live[who] = true;
                level = held->original.volume * least_share(*held);
                EXPECT_FLOAT_EQ(held->original.volume, 1.0f) << "a ducked level is no original";
            }
            for (const int who : releases) {
                release_holder(g_table, slots[who]);
                live[who] = false;
                float expected = 1.0f;
                for (int other = 0; other < 3; ++other) {
                    if (live[other])
                        expected = std::min(expected, shares[other]);
                }
                drop_unheld(g_table);
                const HeldSession* held = find_held(g_table, 42, 7);
                if (expected < 1.0f) {
                    ASSERT_NE(held, nullptr);
                    EXPECT_FLOAT_EQ(least_share(*held), expected);
                } else {
                    EXPECT_EQ(held, nullptr) << "released by all, it is dropped";
                }
            }
        } while (std::next_permutation(releases, releases + 3));
    } while (std::next_permutation(holds, holds + 3));
}

TEST(SharedHolds, AHoldIsReplacedNotCompoundedAndAHoldAt100StillHolds)
{
    clear_holds(g_table);
    const int a = holder_slot(g_table, controller(1));
    EXPECT_EQ(holder_slot(g_table, controller(1)), a);
    hold_session(g_table, a, session_at_volume(0.9f), 0.2f);
    const HeldSession* held = hold_session(g_table, a, session_at_volume(0.18f), 0.5f);
    EXPECT_FLOAT_EQ(least_share(*held), 0.5f);
    EXPECT_FLOAT_EQ(held->original.volume, 0.9f);
    hold_session(g_table, a, session_at_volume(0.45f), 1.0f);
    drop_unheld(g_table);
    EXPECT_NE(find_held(g_table, 42, 7), nullptr);

    for (uint32_t pid = 2; pid <= kMaxHolders; ++pid)
        EXPECT_GE(holder_slot(g_table, controller(pid)), 0);
    EXPECT_EQ(holder_slot(g_table, controller(99)), -1) << "every slot taken";
    release_holder(g_table, a);
    EXPECT_EQ(holder_slot(g_table, controller(99)), a) << "a released slot is free again";
}

TEST(SharedHolds, TheTableTravelsAsTextExactlyAndABadTextIsNoTable)
{
    clear_holds(g_table);
    const int a = holder_slot(g_table, controller(1));
    const int b = holder_slot(g_table, controller(2));
    SavedSession keyed = session_at_volume(0.7f);
    keyed.pid = 43;
    std::strcpy(keyed.own.key, "sink-input-by-media-role:music player");
    hold_session(g_table, a, session_at_volume(0.3f), 0.5f);
    hold_session(g_table, b, session_at_volume(0.15f), 0.2f);
    hold_session(g_table, b, keyed, 0.25f);
    ASSERT_TRUE(format_hold_table(g_table, g_text, sizeof g_text));

    static HoldTable read;
    ASSERT_EQ(parse_hold_table(g_text, read), TableText::kOurs) << g_text;
    ASSERT_EQ(read.session_count, 2);
    for (int slot = 0; slot < kMaxHolders; ++slot) {
        EXPECT_EQ(read.holders[slot].pid, g_table.holders[slot].pid);
        EXPECT_EQ(read.holders[slot].started, g_table.holders[slot].started);
    }
    for (int i = 0; i < 2; ++i) {
        const HeldSession& want = g_table.sessions[i];
        const HeldSession& got = read.sessions[i];
        EXPECT_EQ(got.original.volume, want.original.volume);
        EXPECT_EQ(std::memcmp(&got.original.own.level, &want.original.own.level,
                              sizeof got.original.own.level), 0);
        EXPECT_STREQ(got.original.own.key, want.original.own.key);
        EXPECT_EQ(std::memcmp(got.shares, want.shares, sizeof got.shares), 0);
    }

    // Holders are numbered by their order in the text: a freed slot leaves
    // no gap, and the holds follow their holders.
    release_holder(g_table, a);
    drop_unheld(g_table);
    ASSERT_TRUE(format_hold_table(g_table, g_text, sizeof g_text));
    ASSERT_EQ(parse_hold_table(g_text, read), TableText::kOurs) << g_text;
    const int b_read = find_holder(read, controller(2));
    ASSERT_GE(b_read, 0);
    EXPECT_EQ(find_holder(read, controller(1)), -1);
    EXPECT_FLOAT_EQ(find_held(read, 42, 7)->shares[b_read], 0.2f);

    const char* damaged[] = {
        "appduck-holds 1\n",                                    // an older format
        "appduck-holds 2\nhold 0 1056964608\n",                 // a hold before any session
        "appduck-holds 2\nsave 42 7 1065353216 1065353216 0 1 0 65536 0\nhold 3 1056964608\n",
        "appduck-holds 2\nholder 5 1\nsave 42 7 1065353216 1065353216 0 1 0 65536 0",
        "garbage",
    };
    for (const char* text : damaged) {
        EXPECT_EQ(parse_hold_table(text, read), TableText::kDamaged) << text;
        EXPECT_EQ(read.session_count, 0);
    }
    // A newer program's table: what reads is used, the rest passed over.
    EXPECT_EQ(parse_hold_table("appduck-holds 4\nholder 5 1\nsomething new\n"
                               "save 42 7 1065353216 1065353216 0 1 0 65536 0\nhold 0 1056964608\n",
                               read),
              TableText::kNewer);
    ASSERT_EQ(read.session_count, 1);
    EXPECT_FLOAT_EQ(least_share(read.sessions[0]), 0.5f);
}

}  // namespace
