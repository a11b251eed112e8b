// The ten-step ramp: its values, its virtual time and who it leaves alone.
#include "audio/session_table.h"
#include "audio/volume_fader.h"
#include "support/sim_world.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

// The ramp's documented figures, written out: ten steps 30 ms apart, 300 ms.
constexpr uint64_t kStepMs = 30;
constexpr uint64_t kRampMs = 300;

class Fader : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim_reset();
        const int endpoint = sim_add_endpoint();
        first = add_app(endpoint, 10, "a.exe", 0.8f);
        second = add_app(endpoint, 11, "b.exe", 0.5f);
        enumerate_sessions(table);
        sim_clear_volume_log();
    }
    void TearDown() override
    {
        release_sessions(table);
        EXPECT_TRUE(all_references_released());
    }
    // Shares of a full level are the levels themselves.
    bool fade(const float* from, const float* to, int count)
    {
        RampPlan plan = plan_nothing(table);
        plan.count = count;
        for (int k = 0; k < count; ++k) {
            plan.from[k] = from[k];
            plan.to[k] = to[k];
            plan.own[k] = &full;
        }
        return fade_volumes(table, plan);
    }
    static inline SessionTable table;
    int first = 0;
    int second = 0;
    SessionLevel full = sim_level(1.0f);
};

TEST_F(Fader, RampsInTenEqualStepsThirtyMillisecondsApart)
{
    const float from[] = {0.8f, -1.0f};
    const float to[] = {0.2f, 0.0f};
    fade(from, to, 2);
    ASSERT_EQ(sim_volume_set_count(), 10);
    for (int i = 0; i < 10; ++i) {
        const SimVolumeSet& set = sim_volume_set(i);
        EXPECT_EQ(set.session, first);
        EXPECT_EQ(set.at_ms, kStepMs * static_cast<unsigned>(i)) << "set before step " << i << "'s sleep";
        EXPECT_NEAR(set.level, 0.8f - 0.06f * static_cast<float>(i + 1), 1e-6f);
    }
    // The last step is the target itself, not the formula's value one unit
    // in the last place below it.
    EXPECT_EQ(sim_volume_set(9).level, 0.2f);
    EXPECT_EQ(sim_clock_ms(), kRampMs);
    EXPECT_EQ(sim_sleep_count(), 10);
}

TEST_F(Fader, LeavesNegativeAndNaNStartsAloneButRampsFromZero)
{
    const float from[] = {std::nanf(""), 0.0f};
    const float to[] = {0.3f, 0.5f};
    fade(from, to, 2);
    EXPECT_EQ(volume_sets_of(first), "");
    EXPECT_EQ(volume_sets_of(second), "0.05 0.10 0.15 0.20 0.25 0.30 0.35 0.40 0.45 0.50");
}

TEST_F(Fader, TakesItsTimeEvenWithNothingToRamp)
{
    fade(nullptr, nullptr, 0);
    EXPECT_EQ(sim_volume_set_count(), 0);
    EXPECT_EQ(sim_sleep_count(), 10);
    EXPECT_EQ(sim_clock_ms(), kRampMs);
}

TEST_F(Fader, StepsArePacedToTheClockNotBySummedSleeps)
{
    // Each set takes 4 ms: the steps still start 30 ms apart and the ramp
    // ends 300 ms after it began, not 380.
    sim_set_volume_set_cost(4);
    const float from[] = {0.8f, 0.5f};
    const float to[] = {0.2f, 0.1f};
    fade(from, to, 2);
    ASSERT_EQ(sim_volume_set_count(), 20);
    for (int i = 0; i < 20; i += 2)
        EXPECT_EQ(sim_volume_set(i).at_ms, kStepMs * static_cast<unsigned>(i / 2)) << i;
    EXPECT_EQ(sim_clock_ms(), kRampMs);
}

TEST_F(Fader, LastStepLandsInsideTheRangeTheWindowsVolumeAccepts)
{
    // By the formula, the last steps would be -6e-8 and 1.0000001: refused,
    // so the sessions would stay at 0.081 and 0.903.
    const float from[] = {0.81f, 0.03f};
    const float to[] = {0.0f, 1.0f};
    fade(from, to, 2);
    for (int i = 0; i < sim_volume_set_count(); ++i)
        EXPECT_TRUE(sim_volume_set(i).accepted) << "set " << i;
    EXPECT_EQ(sim_session_volume(first), 0.0f);
    EXPECT_EQ(sim_session_volume(second), 1.0f);
}

}  // namespace
