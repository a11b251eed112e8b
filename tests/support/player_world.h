// A simulated world with one endpoint and a player at 0.8, for tests of
// what ducking saves: nothing saved before a test, nothing left after it,
// and every reference released.
#pragma once

#include "ducking/saved_volumes.h"
#include "ducking/spare.h"
#include "support/sim_world.h"

#include <gtest/gtest.h>

class PlayerWorld : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim_reset();
        forget_saved_volumes();
        forget_spared();
        endpoint = sim_add_endpoint();
        player = add_app(endpoint, 10, "player.exe", 0.8f);
    }
    void TearDown() override
    {
        // A test may end with volumes kept on purpose (a platform out of reach).
        forget_saved_volumes();
        EXPECT_TRUE(all_references_released());
    }

    int endpoint = 0;
    int player = 0;
};
