#include "clock.hpp"

#include <gtest/gtest.h>

namespace kulvo {
namespace {

TEST(DurationBetween, IsZeroWhenTheLaterReadingIsEarlier) {
    EXPECT_EQ(duration_between(Instant{10, 5}, Instant{10, 4}), Duration{});
    EXPECT_EQ(duration_between(Instant{10, 5}, Instant{9, 999'999'999}), Duration{});
}

TEST(DurationBetween, BorrowsASecondWhenNanosecondsWrap) {
    EXPECT_EQ(duration_between(Instant{1, 900'000'000}, Instant{3, 100'000'000}), (Duration{1, 200'000'000}));
    EXPECT_EQ(duration_between(Instant{-2, 0}, Instant{1, 1}), (Duration{3, 1}));
}

TEST(WholeMs, TruncatesToWholeMilliseconds) {
    EXPECT_EQ(whole_ms(Duration{0, 999'999}), 0U);
    EXPECT_EQ(whole_ms(Duration{2, 5'999'999}), 2005U);
}

TEST(DurationFromMs, SplitsSecondsAndNanoseconds) {
    EXPECT_EQ(duration_from_ms(1), (Duration{0, 1'000'000}));
    EXPECT_EQ(duration_from_ms(1500), (Duration{1, 500'000'000}));
    EXPECT_EQ(duration_from_ms(10000), (Duration{10, 0}));
}

TEST(RemainingSleep, IsTheIntervalLessTheCyclesWork) {
    // interval 1000 ms, a cycle of 30 ms: sleep 970 ms
    EXPECT_EQ(saturating_sub(duration_from_ms(1000), duration_from_ms(30)), duration_from_ms(970));
    EXPECT_EQ(saturating_sub(Duration{2, 100}, Duration{0, 200}), (Duration{1, 999'999'900}));
}

TEST(RemainingSleep, IsZeroWhenTheCycleOverran) {
    EXPECT_TRUE(is_shorter(Duration{0, 5}, Duration{1, 0}));
    EXPECT_FALSE(is_shorter(Duration{1, 0}, Duration{1, 0}));
    EXPECT_FALSE(is_shorter(Duration{1, 1}, Duration{0, 999'999'999}));
    EXPECT_EQ(saturating_sub(duration_from_ms(10), duration_from_ms(12)), Duration{});
    EXPECT_EQ(saturating_sub(duration_from_ms(10), duration_from_ms(10)), Duration{});
}

TEST(MonotonicClock, NeverGoesBackwards) {
    Instant previous = monotonic_now();
    for (int i = 0; i < 1000; ++i) {
        const Instant now = monotonic_now();
        EXPECT_TRUE(now.seconds > previous.seconds ||
                    (now.seconds == previous.seconds && now.nanoseconds >= previous.nanoseconds));
        EXPECT_LT(now.nanoseconds, kNanosPerSecond);
        previous = now;
    }
}

TEST(SleepFor, SleepsAtLeastTheWholeDuration) {
    const Instant before = monotonic_now();
    sleep_for(duration_from_ms(20));
    EXPECT_GE(whole_ms(duration_between(before, monotonic_now())), 20U);
}

}  // namespace
}  // namespace kulvo
