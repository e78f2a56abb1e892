#include "clock.hpp"

#include <cstdint>

#include "pacing.hpp"

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

TEST(SlotPacer, TakesOneSampleAtARandomPointOfEverySlot) {
    constexpr std::uint64_t kIntervalNs = 1'000'000;
    SlotPacer pacer(0, kIntervalNs, 0);
    for (std::uint64_t slot = 1; slot <= 1000; ++slot) {
        // A capture that ends right after its sampling point stands for its own slot only.
        const std::uint64_t weight_ns = pacer.close_slot(pacer.wake_ns() == 0 ? 1 : pacer.wake_ns() + 1);
        EXPECT_EQ(weight_ns, kIntervalNs);
        EXPECT_GE(pacer.wake_ns(), slot * kIntervalNs);
        EXPECT_LT(pacer.wake_ns(), (slot + 1) * kIntervalNs);
    }
}

TEST(SlotPacer, ACaptureThatRanThroughLaterSlotsStandsForThemAndSkipsThem) {
    constexpr std::uint64_t kIntervalNs = 1'000'000;
    SlotPacer pacer(0, kIntervalNs, 0);
    // The first capture waited 5.5 intervals for the interpreter lock: every slot whose
    // sampling point passed meanwhile is its own, and the next sample lies ahead.
    const std::uint64_t now_ns = 5'500'000;
    const std::uint64_t weight_ns = pacer.close_slot(now_ns);
    EXPECT_GT(pacer.wake_ns(), now_ns);
    EXPECT_EQ(weight_ns % kIntervalNs, 0U);
    EXPECT_GE(weight_ns, 5 * kIntervalNs);
    EXPECT_LE(weight_ns, 6 * kIntervalNs);
    // The weights add up to the slots covered, whatever the captures took.
    std::uint64_t covered_ns = weight_ns;
    for (int i = 0; i < 50; ++i) {
        covered_ns += pacer.close_slot(pacer.wake_ns() + static_cast<std::uint64_t>(i) * 300'000);
    }
    EXPECT_EQ(covered_ns, pacer.wake_ns() / kIntervalNs * kIntervalNs);
}

TEST(SlotPacer, AResumedRunStaysOnItsGrid) {
    constexpr std::uint64_t kIntervalNs = 1'000'000;
    SlotPacer pacer(0, kIntervalNs, 7'300'000);  // resumed 7.3 intervals into the run
    EXPECT_EQ(pacer.wake_ns(), 7'300'000U);
    EXPECT_EQ(pacer.close_slot(7'310'000), kIntervalNs);  // its first sample: one slot
    EXPECT_GE(pacer.wake_ns(), 8'000'000U);
    EXPECT_LT(pacer.wake_ns(), 9'000'000U);
}

TEST(NextSlot, SkipsTheSlotsThatStartedBeforeNow) {
    EXPECT_EQ(next_slot_ns(0, 500, 1000), 1000U);
    EXPECT_EQ(next_slot_ns(0, 1000, 1000), 2000U);
    EXPECT_EQ(next_slot_ns(3000, 7500, 1000), 8000U);
}

}  // namespace
}  // namespace kulvo
