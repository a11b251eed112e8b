// A simulated world with one endpoint and a player at 0.8, for tests of
// what ducking saves: nothing saved before a test, nothing left after it,
// and every reference released.
#pragma once

#include "ducking/controller.h"
#include "support/loop_driver.h"
#include "support/sim_world.h"

#include <gtest/gtest.h>

class PlayerWorld : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim_reset();
        start_controller(test_controller());
        endpoint = sim_add_endpoint();
        player = add_app(endpoint, 10, "player.exe", 0.8f);
    }
    void TearDown() override
    {
        // A test may end with volumes kept on purpose (a platform out of
        // reach); the table's volume controls go as a program's do at its end.
        release_sessions(test_controller().sessions);
        forget_saved_volumes(test_controller().saved);
        EXPECT_TRUE(all_references_released());
    }

    int endpoint = 0;
    int player = 0;
};
