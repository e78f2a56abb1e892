#include "metering.hpp"

#include "thread_run_state.hpp"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <cmath>
#include <limits>
#include <optional>

namespace kulvo {
namespace {

constexpr std::uint64_t kStep = 10485760;

TEST(SaturatingU64, TruncatesTowardZeroAndSaturates) {
    EXPECT_EQ(saturating_u64(2.9), 2U);
    EXPECT_EQ(saturating_u64(-1.0), 0U);
    EXPECT_EQ(saturating_u64(std::nan("")), 0U);
    EXPECT_EQ(saturating_u64(1e30), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(saturating_u64(std::numeric_limits<double>::infinity()), std::numeric_limits<std::uint64_t>::max());
}

TEST(CpuPercent, IsCpuTimeOverWallTime) {
    EXPECT_DOUBLE_EQ(cpu_percent_between(1'000'000, 1'050'000, 0.1), 50.0);
    // Two busy threads: no upper bound.
    EXPECT_DOUBLE_EQ(cpu_percent_between(1'000'000, 1'200'000, 0.1), 200.0);
}

TEST(CpuPercent, IsZeroWithoutAPreviousReadingOrElapsedTime) {
    EXPECT_EQ(cpu_percent_between(0, 5'000'000, 0.1), 0.0);
    EXPECT_EQ(cpu_percent_between(1'000'000, 1'050'000, 0.0), 0.0);
    EXPECT_EQ(cpu_percent_between(1'000'000, 1'050'000, -3.0), 0.0);
    EXPECT_EQ(cpu_percent_between(1'000'000, 1'050'000, 1e-7), 0.0);  // under a microsecond
}

TEST(CpuPercent, NeverNegativeWhenTheCounterGoesBack) {
    EXPECT_EQ(cpu_percent_between(2'000'000, 1'000'000, 0.1), 0.0);
}

TEST(MemSpikeTest, FiresOnARiseOfAtLeastOneStep) {
    EXPECT_TRUE(is_mem_spike(100, 100 + kStep, kStep));
    EXPECT_FALSE(is_mem_spike(100, 100 + kStep - 1, kStep));
    EXPECT_FALSE(is_mem_spike(0, 5 * kStep, kStep));  // nothing to compare with yet
    EXPECT_FALSE(is_mem_spike(5 * kStep, kStep, kStep));
}

class MeasureCycleTest : public ::testing::Test {
protected:
    MeterState state{Instant{100, 0}, 0, 0};

    Measurement measure(std::int64_t at_ms, std::optional<ResourceUsage> usage) {
        const Instant now{at_ms / 1000, static_cast<std::uint32_t>((at_ms % 1000) * 1'000'000)};
        return measure_cycle(state, now, usage, kStep);
    }
};

TEST_F(MeasureCycleTest, FirstCycleReportsZeroCpuAndNeverASpike) {
    const Measurement first = measure(100'010, ResourceUsage{5'000'000, 900 * kStep});
    EXPECT_EQ(first.cpu_percent, 0.0);
    EXPECT_EQ(first.rss_bytes, 900 * kStep);
    EXPECT_FALSE(first.mem_spike);
}

TEST_F(MeasureCycleTest, LaterCyclesMeasureTheSpanSinceThePreviousOne) {
    measure(100'010, ResourceUsage{5'000'000, 10 * kStep});
    const Measurement second = measure(100'020, ResourceUsage{5'005'000, 11 * kStep});
    EXPECT_NEAR(second.cpu_percent, 50.0, 1e-9);
    EXPECT_TRUE(second.mem_spike);
    const Measurement third = measure(100'030, ResourceUsage{5'015'000, 12 * kStep - 1});
    EXPECT_NEAR(third.cpu_percent, 100.0, 1e-9);
    EXPECT_FALSE(third.mem_spike);
}

TEST_F(MeasureCycleTest, FailedReadingIsMarkedAndTheNextCycleStartsOver) {
    measure(100'010, ResourceUsage{5'000'000, 10 * kStep});
    const Measurement failed = measure(100'020, std::nullopt);
    EXPECT_EQ(failed.cpu_percent, -1.0);
    EXPECT_EQ(failed.rss_bytes, 0U);
    EXPECT_FALSE(failed.mem_spike);
    EXPECT_EQ(state.last_rss_bytes, 10 * kStep);  // kept across the failure
    const Measurement after = measure(100'030, ResourceUsage{5'010'000, 11 * kStep});
    EXPECT_EQ(after.cpu_percent, 0.0);
    EXPECT_TRUE(after.mem_spike);  // compared with the last good reading
}

TEST_F(MeasureCycleTest, GrowthInSmallStepsNeverFires) {
    std::uint64_t rss = 10 * kStep;
    for (int cycle = 0; cycle < 20; ++cycle) {
        rss += kStep / 2;
        EXPECT_FALSE(measure(100'010 + cycle * 10, ResourceUsage{5'000'000, rss}).mem_spike);
    }
}

TEST_F(MeasureCycleTest, ClockGoingBackwardsGivesZeroCpu) {
    measure(100'010, ResourceUsage{5'000'000, kStep});
    EXPECT_EQ(measure(100'005, ResourceUsage{5'010'000, kStep}).cpu_percent, 0.0);
}

TEST(ReadResourceUsage, ReportsThisProcess) {
    const auto usage = read_resource_usage();
    ASSERT_TRUE(usage.has_value());
    EXPECT_GT(usage->peak_rss_bytes, 1024U * 1024U);  // in bytes, not kibibytes
}

TEST(ParseRunState, ReadsTheLetterAfterTheLastParenthesis) {
    EXPECT_EQ(parse_run_state("1234 (python3) R 1 1234 1234 0 -1"), RunState::Running);
    EXPECT_EQ(parse_run_state("1234 (python3) S 1 1234 1234 0 -1"), RunState::Waiting);
    EXPECT_EQ(parse_run_state("1234 (python3) D 1"), RunState::Waiting);
    // A thread may name itself anything, parentheses and state-like letters included.
    EXPECT_EQ(parse_run_state("1234 (a) R (b) S 1 1234"), RunState::Waiting);
    EXPECT_EQ(parse_run_state("1234 (x) S) R 1"), RunState::Running);
}

TEST(ParseRunState, IsUnknownForAnUnreadableLine) {
    EXPECT_EQ(parse_run_state(""), RunState::Unknown);
    EXPECT_EQ(parse_run_state("1234 (python3"), RunState::Unknown);
    EXPECT_EQ(parse_run_state("1234 (python3)"), RunState::Unknown);
}

TEST(ParseThreadStat, ReadsTheBlockedSignalsAndAssumesTheWorstWithoutThem) {
    // A real line of a thread blocking SIGURG (23) and SIGINT (2): field 32 is 4194306.
    const std::string line =
        "77 (py (x) y) R 1 77 77 34816 77 4194304 900 0 0 0 12 3 0 0 20 0 2 0 4242 23456768 2560 "
        "18446744073709551615 1 1 0 0 0 0 4194306 16781312 17922 0 0 0 17 1 0 0 0 0 0";
    const ThreadStat stat = parse_thread_stat(line);
    EXPECT_EQ(stat.state, RunState::Running);
    EXPECT_TRUE(stat.blocks(SIGURG));
    EXPECT_TRUE(stat.blocks(SIGINT));
    EXPECT_FALSE(stat.blocks(SIGTERM));
    // Cut before the mask: whether the thread blocks the signal is not known.
    const ThreadStat cut = parse_thread_stat("77 (py) R 1 77 77");
    EXPECT_EQ(cut.state, RunState::Running);
    EXPECT_TRUE(cut.blocks(SIGURG));
}

TEST(ThreadWaits, ReadFromStatusAsTheThreadItselfCountsThem) {
    EXPECT_EQ(parse_voluntary_switches("Name:\tpy\nnonvoluntary_ctxt_switches:\t9\nvoluntary_ctxt_switches:\t42\n"),
              42U);
    EXPECT_FALSE(parse_voluntary_switches("Name:\tpy\nnonvoluntary_ctxt_switches:\t9\n").has_value());
    EXPECT_FALSE(parse_voluntary_switches("Name:\tpy\nvoluntary_ctxt_switches:\t\n").has_value());

    // The kernel's count, as a signal handler on the thread reads it with getrusage.
    const auto own_count = [] {
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        return static_cast<std::uint64_t>(usage.ru_nvcsw);
    };
    ThreadRunWatch watch(static_cast<pid_t>(syscall(SYS_gettid)), pthread_self());
    const std::uint64_t before = own_count();
    const std::optional<std::uint64_t> read = watch.voluntary_switches();
    ASSERT_TRUE(read.has_value());
    EXPECT_GE(*read, before);
    EXPECT_LE(*read, own_count());
    for (int i = 0; i < 3; ++i) {
        usleep(1000);
    }
    EXPECT_GE(watch.voluntary_switches().value_or(0), *read + 3);
}

}  // namespace
}  // namespace kulvo
