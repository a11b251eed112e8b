// Rebuilding the session table: what is recorded, what each platform
// failure skips, and that every reference is released exactly once.
#include "audio/session_table.h"
#include "support/sim_world.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

SessionTable g_table;

std::vector<uint32_t> table_pids()
{
    std::vector<uint32_t> pids;
    for (int i = 0; i < session_count(g_table); ++i)
        pids.push_back(session_at(g_table, i).pid);
    return pids;
}

class Sessions : public ::testing::Test {
protected:
    void SetUp() override { sim_reset(); }
    void TearDown() override
    {
        release_sessions(g_table);
        EXPECT_TRUE(all_references_released());
    }
};

TEST_F(Sessions, KeepsPlatformOrderAndReadsNameAndVolume)
{
    const int first = sim_add_endpoint();
    const int second = sim_add_endpoint();
    add_app(second, 30, "late.exe", 0.3f);
    add_app(first, 10, "player.exe", 0.1f);
    sim_add_session(second, 10, 0.2f);  // the same player on the other endpoint
    enumerate_sessions(g_table);
    ASSERT_EQ(table_pids(), (std::vector<uint32_t>{10, 30, 10}));
    EXPECT_FLOAT_EQ(session_at(g_table, 0).volume, 0.1f);
    EXPECT_FLOAT_EQ(session_at(g_table, 1).volume, 0.3f);
    EXPECT_FLOAT_EQ(session_at(g_table, 2).volume, 0.2f);
    EXPECT_EQ(compare_ascii_nocase(session_at(g_table, 0).exe_name, session_at(g_table, 2).exe_name), 0);
    EXPECT_EQ(compare_ascii_nocase(session_at(g_table, 1).exe_name, UTF16_LITERAL("late.exe")), 0);
}

TEST_F(Sessions, NeverHoldsProcessZeroOrOurOwnProcess)
{
    const int endpoint = sim_add_endpoint();
    sim_add_session(endpoint, 0, 0.5f);  // the system sounds session
    add_app(endpoint, kSimDefaultOwnPid, "appduck.exe", 0.5f);
    add_app(endpoint, 10, "player.exe", 0.5f);
    enumerate_sessions(g_table);
    EXPECT_EQ(table_pids(), (std::vector<uint32_t>{10}));
}

TEST_F(Sessions, HoldsAtMost256SessionsAcrossEndpoints)
{
    const int first = sim_add_endpoint();
    const int second = sim_add_endpoint();
    const int third = sim_add_endpoint();
    for (uint32_t i = 0; i < 200; ++i)
        sim_add_session(first, 1000 + i, 0.5f);
    for (uint32_t i = 0; i < 100; ++i)
        sim_add_session(second, 2000 + i, 0.5f);
    sim_add_session(third, 3000, 0.5f);
    enumerate_sessions(g_table);
    ASSERT_EQ(session_count(g_table), kMaxSessions);
    EXPECT_EQ(session_at(g_table, 255).pid, 2055u);
}

TEST_F(Sessions, UnknownProcessIsRecordedWithAnEmptyName)
{
    const int endpoint = sim_add_endpoint();
    sim_add_session(endpoint, 10, 0.5f);
    enumerate_sessions(g_table);
    ASSERT_EQ(session_count(g_table), 1);
    EXPECT_EQ(session_at(g_table, 0).exe_name[0], 0);
}

TEST_F(Sessions, TakesOneProcessSnapshotPerRecordedSession)
{
    const int endpoint = sim_add_endpoint();
    for (uint32_t pid = 10; pid < 15; ++pid)
        add_app(endpoint, pid, "x.exe", 0.5f);
    sim_add_session(endpoint, 0, 0.5f);
    enumerate_sessions(g_table);
    EXPECT_EQ(sim_snapshots_taken(), 5);
}

TEST_F(Sessions, RebuildReleasesEveryHeldVolumeControlOnce)
{
    const int endpoint = sim_add_endpoint();
    add_app(endpoint, 10, "a.exe", 0.5f);
    add_app(endpoint, 11, "b.exe", 0.5f);
    enumerate_sessions(g_table);
    EXPECT_EQ(sim_live_references(), 2) << "only the volume controls outlive a rebuild";
    const int ended = add_app(endpoint, 12, "c.exe", 0.5f);
    enumerate_sessions(g_table);
    EXPECT_EQ(sim_live_references(), 3);
    sim_end_session(ended);
    enumerate_sessions(g_table);
    EXPECT_EQ(sim_live_references(), 2);
    EXPECT_EQ(sim_extra_releases(), 0);
}

// One failing platform operation, and the sessions that survive it, out of
// a world of a.exe (pid 10, session 0) and b.exe (pid 11, session 1) on the
// first endpoint and c.exe (pid 12, session 2) on the second.
struct FailureCase {
    const char* what;
    SimOp op;
    int target;
    std::vector<uint32_t> survivors;
};

class SessionTableFailure : public Sessions,
                            public ::testing::WithParamInterface<FailureCase> {};

TEST_P(SessionTableFailure, SkipsWhatFailedAndReleasesEverything)
{
    const int first = sim_add_endpoint();
    const int second = sim_add_endpoint();
    add_app(first, 10, "a.exe", 0.5f);
    add_app(first, 11, "b.exe", 0.5f);
    add_app(second, 12, "c.exe", 0.5f);
    sim_fail(GetParam().op, GetParam().target);
    enumerate_sessions(g_table);
    EXPECT_EQ(table_pids(), GetParam().survivors);
    enumerate_sessions(g_table);  // and again, over a table that holds references
    EXPECT_EQ(table_pids(), GetParam().survivors);
}

const std::vector<uint32_t> kNone;
const std::vector<uint32_t> kSecondEndpoint{12};
const std::vector<uint32_t> kAllButA{11, 12};

INSTANTIATE_TEST_SUITE_P(
    EachOperation, SessionTableFailure,
    ::testing::Values(
        FailureCase{"DeviceEnumerator", SimOp::kCreateEnumerator, kSimAnyTarget, kNone},
        FailureCase{"ActiveEndpoints", SimOp::kActiveEndpoints, kSimAnyTarget, kNone},
        FailureCase{"EndpointCount", SimOp::kEndpointCount, kSimAnyTarget, kNone},
        FailureCase{"OneEndpoint", SimOp::kEndpointAt, 0, kSecondEndpoint},
        FailureCase{"SessionManager", SimOp::kActivateManager, 0, kSecondEndpoint},
        FailureCase{"SessionEnumerator", SimOp::kSessionEnumerator, 0, kSecondEndpoint},
        FailureCase{"SessionCount", SimOp::kSessionCount, 0, kSecondEndpoint},
        FailureCase{"SessionControl", SimOp::kSessionControlAt, 0, kAllButA},
        FailureCase{"SessionControl2", SimOp::kQueryControl2, 0, kAllButA},
        FailureCase{"ProcessId", SimOp::kProcessId, 0, kAllButA},
        FailureCase{"VolumeControl", SimOp::kQueryVolume, 0, kAllButA},
        // An unreadable volume would be saved by a duck and written back
        // later as if it were the application's own.
        FailureCase{"ReadVolume", SimOp::kGetVolume, 0, kAllButA},
        FailureCase{"ProcessSnapshot", SimOp::kProcessSnapshot, kSimAnyTarget,
                    std::vector<uint32_t>{10, 11, 12}}),
    [](const ::testing::TestParamInfo<FailureCase>& param) { return param.param.what; });

}  // namespace
