// How often key_waiting asks the keyboard: at most every 10 ms between
// waits, at once after the keyboard stirred, always for key_waiting_now.
#include <gtest/gtest.h>

#include "clock.h"
#include "console.h"
#include "keyboard_memory.h"
#include "run_harness.h"

namespace {

class KeyPoll : public ::testing::Test {
protected:
    void SetUp() override {
        harness::manual_clock_install(5000);
        keyboard_memory_reset();
    }
    void TearDown() override { harness::manual_clock_remove(); }
};

TEST_F(KeyPoll, TheKeyboardIsAskedAtMostEveryTenMillisecondsBetweenWaits) {
    EXPECT_FALSE(key_waiting());
    EXPECT_EQ(keyboard_memory_polls(), 1u);
    for (int i = 0; i < 100; ++i) EXPECT_FALSE(key_waiting());
    EXPECT_EQ(keyboard_memory_polls(), 1u);
    clock_sleep_ms(9);
    EXPECT_FALSE(key_waiting());
    EXPECT_EQ(keyboard_memory_polls(), 1u);
    clock_sleep_ms(1);
    EXPECT_FALSE(key_waiting());
    EXPECT_EQ(keyboard_memory_polls(), 2u);
}

TEST_F(KeyPoll, AStirringKeyboardOrAFreshLookIsAskedAtOnce) {
    EXPECT_FALSE(key_waiting());
    key_input_noticed();  // as an idle wait that the keyboard woke
    EXPECT_FALSE(key_waiting());
    EXPECT_EQ(keyboard_memory_polls(), 2u);
    EXPECT_FALSE(key_waiting_now());
    EXPECT_EQ(keyboard_memory_polls(), 3u);
    keyboard_memory_press();
    EXPECT_TRUE(key_waiting());
    EXPECT_TRUE(key_waiting());  // pending stays pending
}

TEST_F(KeyPoll, AKeyArrivingUnannouncedIsSeenWithinTheInterval) {
    EXPECT_FALSE(key_waiting());
    keyboard_memory_press_at_poll(1);  // pending from the next question on
    EXPECT_FALSE(key_waiting());       // not asked yet
    clock_sleep_ms(10);
    EXPECT_TRUE(key_waiting());
    EXPECT_TRUE(key_waiting());
}

}  // namespace
