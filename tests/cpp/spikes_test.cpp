#include "spikes.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "sample_builders.hpp"

namespace kulvo {
namespace {

constexpr double kMiB = 1048576.0;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Samples at 50 ms steps with the given CPU values and a constant RSS.
std::vector<Sample> cpu_series(const std::vector<double>& cpu_percent, std::uint64_t rss_bytes = 1) {
    std::vector<Sample> samples;
    for (std::size_t i = 0; i < cpu_percent.size(); ++i) {
        samples.push_back(sample(50 * (i + 1), cpu_percent[i], rss_bytes, stack_named("s" + std::to_string(i + 1))));
    }
    return samples;
}

std::vector<SpikeEvent> events_of(const std::vector<SpikeEvent>& events, SpikeKind kind) {
    std::vector<SpikeEvent> out;
    for (const auto& event : events) {
        if (event.kind == kind) {
            out.push_back(event);
        }
    }
    return out;
}

const SamplerConfig kConfig{};

TEST(DetectSpikes, ReproducesTheWorkedExample) {
    const std::vector<double> cpu{10, 12, 11, 9, 8, 10, 11, 9, 12, 10, 40, 55, 40, 10, 9, 11, 10, 12, 9, 10};
    std::vector<Sample> samples = cpu_series(cpu);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const std::size_t n = i + 1;
        const double mib = n <= 11 ? 100 : n == 12 ? 103 : n == 13 ? 108 : 109;
        samples[i].rss_bytes = static_cast<std::uint64_t>(mib * kMiB);
    }

    const auto events = detect_spikes(samples, kConfig);

    ASSERT_EQ(events.size(), 2U);
    EXPECT_EQ(events[0].kind, SpikeKind::Cpu);
    EXPECT_EQ(events[0].start_ms, 550U);
    EXPECT_EQ(events[0].end_ms, 650U);
    EXPECT_EQ(events[0].peak_value, 55.0);
    EXPECT_EQ(events[0].threshold, 25.0);
    EXPECT_EQ(events[0].peak_stack, stack_named("s12"));
    EXPECT_EQ(events[1].kind, SpikeKind::Memory);
    EXPECT_EQ(events[1].start_ms, 650U);
    EXPECT_EQ(events[1].end_ms, 1000U);
    EXPECT_EQ(events[1].peak_value, 109 * kMiB);
    EXPECT_EQ(events[1].threshold, 105 * kMiB);
    EXPECT_EQ(events[1].peak_stack, stack_named("s14"));
}

TEST(DetectSpikes, NothingComesOfNoSamplesOneSampleOrAFlatRun) {
    EXPECT_TRUE(detect_spikes({}, kConfig).empty());
    const std::vector<Sample> one{sample(10, 90.0, 5)};
    EXPECT_TRUE(detect_spikes(one, kConfig).empty());
    EXPECT_TRUE(detect_spikes(cpu_series(std::vector<double>(30, 70.0)), kConfig).empty());
}

TEST(BaselineWindow, IsTheFirstQuarterByTimestamp) {
    const auto samples = cpu_series(std::vector<double>(20, 1.0));  // 50 ... 1000 ms
    EXPECT_EQ(baseline_window_size(samples, 0.25), 5U);             // up to 250 ms
}

TEST(BaselineWindow, FallsBackToAllSamplesBelowFive) {
    const auto eight = cpu_series(std::vector<double>(8, 1.0));  // cutoff 100 ms: two samples
    EXPECT_EQ(baseline_window_size(eight, 0.25), 8U);
    // The ring evicted the early samples: even the oldest is past the cutoff.
    std::vector<Sample> late;
    for (std::uint64_t t = 900; t <= 1000; t += 10) {
        late.push_back(sample(t, 1.0, 1));
    }
    EXPECT_EQ(baseline_window_size(late, 0.25), late.size());
}

TEST(Threshold, UsesTheMarginWhenTheSpreadIsSmall) {
    RunningStats stats;
    for (double x : {10.0, 12.0, 11.0, 9.0, 8.0}) {
        stats.add(x);
    }
    EXPECT_DOUBLE_EQ(stats.mean, 10.0);
    EXPECT_DOUBLE_EQ(stats.stddev(), std::sqrt(2.5));
    EXPECT_EQ(spike_threshold(stats, 2.0, 15.0), 25.0);
}

TEST(Threshold, UsesTwoDeviationsWhenTheSpreadIsLarge) {
    RunningStats stats;
    for (double x : {0.0, 100.0}) {
        stats.add(x);
    }
    EXPECT_NEAR(spike_threshold(stats, 2.0, 15.0), 50.0 + 2.0 * std::sqrt(5000.0), 1e-9);
}

TEST(Threshold, IgnoresANaNDeviationAndNeverGoesNegative) {
    RunningStats nan_stats;
    nan_stats.count = 3;
    nan_stats.mean = 4.0;
    nan_stats.m2 = kNaN;
    EXPECT_EQ(spike_threshold(nan_stats, 2.0, 15.0), 19.0);
    RunningStats empty;
    EXPECT_EQ(empty.stddev(), 0.0);
    EXPECT_EQ(spike_threshold(empty, 2.0, -30.0), 0.0);
}

TEST(DetectSpikes, OnlyValidReadingsFormTheBaseline) {
    // No valid CPU reading and no non-zero RSS in the window: the margins alone.
    std::vector<Sample> samples;
    for (std::uint64_t i = 1; i <= 20; ++i) {
        samples.push_back(sample(50 * i, i == 20 ? 16.0 : -1.0, i == 20 ? 5242881 : 0));
    }
    samples[0].cpu_percent = kNaN;
    const auto events = detect_spikes(samples, kConfig);
    ASSERT_EQ(events.size(), 2U);
    EXPECT_EQ(events[0].kind, SpikeKind::Cpu);  // equal starts: CPU first
    EXPECT_EQ(events[0].threshold, 15.0);
    EXPECT_EQ(events[1].threshold, 5242880.0);
    EXPECT_EQ(events[1].start_ms, 1000U);
}

TEST(DetectSpikes, OneValidReadingGivesZeroDeviation) {
    std::vector<Sample> samples =
        cpu_series({-1, -1, 30, -1, -1, 40, 45, 10, 10, 10, 10, 46, 10, 10, 10, 10, 10, 10, 10, 10});
    const auto cpu = events_of(detect_spikes(samples, kConfig), SpikeKind::Cpu);
    ASSERT_EQ(cpu.size(), 1U);
    EXPECT_EQ(cpu[0].threshold, 45.0);
    EXPECT_EQ(cpu[0].start_ms, 600U);
}

TEST(DetectSpikes, AValueEqualToTheThresholdIsNotAbove) {
    // Baseline 10 everywhere in the window; threshold 25.
    const auto cpu = events_of(
        detect_spikes(cpu_series({10, 10, 10, 10, 10, 30, 25, 30, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10}),
                      kConfig),
        SpikeKind::Cpu);
    ASSERT_EQ(cpu.size(), 2U);
    EXPECT_EQ(cpu[0].start_ms, 300U);
    EXPECT_EQ(cpu[0].end_ms, 300U);  // a single sample makes an event
    EXPECT_EQ(cpu[1].start_ms, 400U);
}

TEST(DetectSpikes, FailedReadingsAndNaNSplitARun) {
    const auto cpu = events_of(
        detect_spikes(cpu_series({10, 10, 10, 10, 10, 10, 50, -1, 50, kNaN, 50, 10, 10, 10, 10, 10, 10, 10, 10, 10}),
                      kConfig),
        SpikeKind::Cpu);
    ASSERT_EQ(cpu.size(), 3U);
    EXPECT_EQ(cpu[0].start_ms, 350U);
    EXPECT_EQ(cpu[1].start_ms, 450U);
    EXPECT_EQ(cpu[2].start_ms, 550U);
}

TEST(DetectSpikes, ZeroRssSplitsAMemoryRunThatOtherwiseLastsToTheEnd) {
    std::vector<Sample> samples = cpu_series(std::vector<double>(20, 10.0), 100);
    const std::uint64_t high = 100 + 6 * 1048576;
    for (std::size_t i = 6; i < samples.size(); ++i) {
        samples[i].rss_bytes = i == 8 ? 0 : high;
    }
    const auto memory = events_of(detect_spikes(samples, kConfig), SpikeKind::Memory);
    ASSERT_EQ(memory.size(), 2U);
    EXPECT_EQ(memory[0].start_ms, 350U);
    EXPECT_EQ(memory[0].end_ms, 400U);
    EXPECT_EQ(memory[1].start_ms, 500U);
    EXPECT_EQ(memory[1].end_ms, 1000U);  // lasts to the last sample
}

TEST(DetectSpikes, PeakStackComesFromTheEarliestMaximum) {
    std::vector<Sample> samples =
        cpu_series({10, 10, 10, 10, 10, 10, 60, 80, 70, 80, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10});
    const auto cpu = events_of(detect_spikes(samples, kConfig), SpikeKind::Cpu);
    ASSERT_EQ(cpu.size(), 1U);
    EXPECT_EQ(cpu[0].peak_value, 80.0);
    EXPECT_EQ(cpu[0].peak_stack, stack_named("s8"));
    EXPECT_EQ(samples[7].stack, stack_named("s8"));  // the sample keeps its own stack
}

TEST(DetectSpikes, PeakWithoutAStackGivesNoPeakStack) {
    std::vector<Sample> samples =
        cpu_series({10, 10, 10, 10, 10, 10, 60, 90, 70, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10});
    samples[7].stack = kNoStack;
    const auto cpu = events_of(detect_spikes(samples, kConfig), SpikeKind::Cpu);
    ASSERT_EQ(cpu.size(), 1U);
    EXPECT_EQ(cpu[0].peak_stack, kNoStack);
}

TEST(DetectSpikes, EventsOfBothKindsInterleaveByStartWithCpuFirstOnTies) {
    std::vector<Sample> samples =
        cpu_series({10, 10, 10, 10, 10, 10, 10, 60, 10, 10, 60, 10, 10, 10, 10, 10, 10, 10, 10, 10}, 100);
    for (std::size_t i = 7; i < samples.size(); ++i) {
        samples[i].rss_bytes = 100 + 8 * 1048576;  // memory run opens with the first CPU event
    }
    samples[5].rss_bytes = 100 + 8 * 1048576;  // and a short one before it
    const auto events = detect_spikes(samples, kConfig);
    ASSERT_EQ(events.size(), 4U);
    EXPECT_EQ(events[0].kind, SpikeKind::Memory);
    EXPECT_EQ(events[0].start_ms, 300U);
    EXPECT_EQ(events[1].kind, SpikeKind::Cpu);
    EXPECT_EQ(events[1].start_ms, 400U);
    EXPECT_EQ(events[2].kind, SpikeKind::Memory);
    EXPECT_EQ(events[2].start_ms, 400U);
    EXPECT_EQ(events[3].kind, SpikeKind::Cpu);
    EXPECT_EQ(events[3].start_ms, 550U);
}

}  // namespace
}  // namespace kulvo
