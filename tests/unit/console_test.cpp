// Console operations: progress line, waits on a test clock, text routines.
#include <algorithm>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "clock.h"
#include "console.h"
#include "handshake.h"
#include "settings.h"

namespace {

// A clock that only moves when the code under test sleeps.
struct TestClock {
    static inline uint32_t tick = 0;
    static inline int32_t calendar = 0;
    static inline int sleeps = 0;
    static uint32_t read_tick() { return tick; }
    static int32_t read_calendar() { return calendar; }
    // The calendar turns each time the tick passes a whole second.
    static void sleep_ms(uint32_t ms) {
        ++sleeps;
        calendar += static_cast<int32_t>((tick % 1000u + ms) / 1000u);
        tick += ms;
    }
    static uint32_t to_next_second() { return 1000u - tick % 1000u; }
};

const ClockSource test_clock = {TestClock::read_tick, TestClock::read_calendar, TestClock::sleep_ms,
                                TestClock::to_next_second};

class ClockTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestClock::sleeps = 0;
        clock_install(&test_clock);
    }
    void TearDown() override { clock_install(nullptr); }
};

TEST_F(ClockTest, WaitSpansTheCounterWrapAtFullLength) {
    TestClock::tick = 0xFFFFFFFFu - 9;  // wraps 10 ms into the wait
    wait_ms(50);
    EXPECT_EQ(TestClock::tick, 40u);
    EXPECT_GE(TestClock::sleeps, 1);
}

TEST_F(ClockTest, ZeroWaitDoesNotSleep) {
    TestClock::tick = 123;
    wait_ms(0);
    EXPECT_EQ(TestClock::sleeps, 0);
    EXPECT_EQ(TestClock::tick, 123u);
}

TEST_F(ClockTest, CountdownWritesOneLinePerSecondAndEndsOnTheTarget) {
    TestClock::calendar = 1000;
    testing::internal::CaptureStderr();
    erase_countdown(3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Erase time 0sec\rErase time 1sec\rErase time 2sec\rErase time 3sec\r\n");
    EXPECT_EQ(TestClock::calendar, 1003);
}

TEST_F(ClockTest, CountdownOfZeroIsSilentAndNegativeShowsZeroOnce) {
    testing::internal::CaptureStderr();
    erase_countdown(0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    testing::internal::CaptureStderr();
    erase_countdown(-5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Erase time 0sec\r\n");
    EXPECT_EQ(TestClock::sleeps, 0);
}

TEST(SystemClock, CountdownOfTwoSecondsTakesBetweenOneAndTwoSeconds) {
    const uint32_t start = clock_tick_ms();
    testing::internal::CaptureStderr();
    erase_countdown(2);
    const std::string out = testing::internal::GetCapturedStderr();
    const uint32_t took = clock_tick_ms() - start;
    EXPECT_GT(took, 900u);
    EXPECT_LT(took, 2600u);
    EXPECT_NE(out.find("Erase time 2sec\r\n"), std::string::npos) << out;
}

TEST(Progress, PercentFollowsTheTruncatedHundredthRule) {
    EXPECT_EQ(progress_percent(1000, 500), 50);
    EXPECT_EQ(progress_percent(150, 150), 150);
    EXPECT_EQ(progress_percent(1099, 1099), 109);
    EXPECT_EQ(progress_percent(10099, 10099), 100);
    EXPECT_EQ(progress_percent(1000, 5), 0);
}

TEST(Progress, SmallTotalsNeverDivideByZero) {
    EXPECT_EQ(progress_percent(0, 0), 0);
    EXPECT_EQ(progress_percent(0, 7), 0);
    EXPECT_EQ(progress_percent(40, 20), 50);
    EXPECT_EQ(progress_percent(99, 99), 100);
    EXPECT_EQ(progress_percent(1, 1), 100);
}

TEST(Progress, LineFormatAndMarkerTurnsEverySixteenCalls) {
    std::vector<char> markers;
    for (int i = 0; i < 96; ++i) {
        testing::internal::CaptureStderr();
        progress_line_broken();  // written every time, to see each marker
        show_progress(1000, 500);
        const std::string line = testing::internal::GetCapturedStderr();
        ASSERT_EQ(line.substr(1), "050 % completed.\r");
        markers.push_back(line[0]);
    }
    // Wherever the process count stands, the marker holds for 16 calls and
    // then moves on through - | + * in turn.
    const std::string order = "-|+*";
    std::vector<size_t> changes;
    for (size_t i = 1; i < markers.size(); ++i) {
        if (markers[i] != markers[i - 1]) {
            changes.push_back(i);
            EXPECT_EQ(order[(order.find(markers[i - 1]) + 1) % 4], markers[i]);
        }
    }
    ASSERT_GE(changes.size(), 5u);
    for (size_t i = 1; i < changes.size(); ++i) EXPECT_EQ(changes[i] - changes[i - 1], 16u);
}

TEST(Progress, TheSameLineIsNotWrittenOverItselfUnlessSomethingCameBetween) {
    testing::internal::CaptureStderr();
    progress_line_broken();
    for (int i = 0; i < 40; ++i) show_progress(100000, 50000);  // 050 all along
    const std::string repeated = testing::internal::GetCapturedStderr();
    // One line per marker the 40 calls went through: two or three.
    const size_t lines = std::count(repeated.begin(), repeated.end(), '\r');
    EXPECT_GE(lines, 2u);
    EXPECT_LE(lines, 3u);
    for (size_t at = 0; at < repeated.size(); at += 18) EXPECT_EQ(repeated.substr(at + 1, 17), "050 % completed.\r");

    testing::internal::CaptureStderr();
    show_progress(100000, 50000);
    show_progress(100000, 51000);  // a new number is written at once
    progress_line_broken();        // so is the same line after other text
    show_progress(100000, 51000);
    const std::string after = testing::internal::GetCapturedStderr();
    ASSERT_EQ(after.size(), 2u * 18u) << after;
    EXPECT_EQ(after.substr(1, 17), "051 % completed.\r");
    EXPECT_EQ(after.substr(19, 17), "051 % completed.\r");
}

TEST(Text, FindInWindowTakesTheFirstExactMatch) {
    char window[32] = {};
    std::memcpy(window + 5, "ok", 3);
    std::memcpy(window + 9, "ok", 3);
    EXPECT_EQ(find_in_window(window, "ok", 16), 5);
    EXPECT_EQ(find_in_window(window, "ok", 0), -1);
    EXPECT_EQ(find_in_window(window, "ok", 5), -1);
    char longer[16] = "xokay";
    EXPECT_EQ(find_in_window(longer, "ok", 4), -1);  // followed by more text
    EXPECT_EQ(find_in_window(longer, "", 8), 5);      // empty needle: first NUL
}

TEST(Text, CutAtNewline) {
    char with_cr[] = "115200,8,N,1,x\r\nrest";
    cut_at_newline(with_cr);
    EXPECT_STREQ(with_cr, "115200,8,N,1,x\r");
    char plain[] = "no line feed";
    cut_at_newline(plain);
    EXPECT_STREQ(plain, "no line feed");
    char leading[] = "\nafter";
    cut_at_newline(leading);
    EXPECT_STREQ(leading, "");
}

TEST(Text, EscapingKeepsTabAndPrintableAndShowsControlBytes) {
    char out[64];
    escape_for_console("A\tB\x1b[2J\x7f\x9b\xc8", out, sizeof out);
    EXPECT_STREQ(out, "A\tB\\x1b[2J\\x7f\\x9b\xc8");
    escape_for_console("\x01\x02\x03", out, 9);  // room for two escapes only
    EXPECT_STREQ(out, "\\x01\\x02");
}

TEST(Text, ScanDecimalLikeLongConversion) {
    int32_t value = 77;
    EXPECT_STREQ(scan_decimal("  -12abc", &value), "abc");
    EXPECT_EQ(value, -12);
    EXPECT_STREQ(scan_decimal("+5", &value), "");
    EXPECT_EQ(value, 5);
    value = 77;
    EXPECT_EQ(scan_decimal("x5", &value), nullptr);
    EXPECT_EQ(scan_decimal("-", &value), nullptr);
    EXPECT_EQ(scan_decimal("99999999999", &value), nullptr);
    EXPECT_EQ(value, 77);
    EXPECT_NE(scan_decimal("-2147483648", &value), nullptr);
    EXPECT_EQ(value, INT32_MIN);
}

}  // namespace
