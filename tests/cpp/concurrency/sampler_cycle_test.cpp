// Real sampler threads (Sampler::start, run_sampling_loop) with fake captures, through
// the life cycles the binding layer puts them through: start, flag traffic, stop and
// drain; release while running; the exit hook's stop racing with live samplers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "sampler.hpp"

namespace kulvo {
namespace {

using namespace std::chrono_literals;

std::atomic<std::int32_t> capture_count{0};

// Each capture numbers its stack, so the drained samples show whether every capture
// arrived exactly once and in order.
CaptureOutcome numbered_capture() {
    const std::int32_t n = capture_count.fetch_add(1, std::memory_order_relaxed);
    return CaptureOutcome{StackSnapshot{{FrameInfo{"fake.py", "outer", 1}, FrameInfo{"fake.py", "inner", n}}},
                          std::nullopt};
}

// Slower than the interval, like a capture that waits for the interpreter lock: the
// stop request usually lands in the middle of one.
CaptureOutcome slow_capture() {
    std::this_thread::sleep_for(3ms);
    return numbered_capture();
}

std::unique_ptr<Sampler> make_sampler(std::uint64_t interval_ms, std::uint64_t capacity) {
    SamplerConfig config;
    config.interval_ms = interval_ms;
    config.ring_capacity = capacity;
    auto created = Sampler::create(config);
    return std::move(std::get<std::unique_ptr<Sampler>>(created));
}

void wait_for_captures(std::int32_t at_least) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (capture_count.load(std::memory_order_relaxed) < at_least && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
}

void expect_numbered_run(const StopResult& result, std::int32_t last) {
    const std::vector<Sample>& samples = result.samples;
    ASSERT_FALSE(samples.empty());
    const std::int32_t first = last - static_cast<std::int32_t>(samples.size()) + 1;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const StackSnapshot stack = result.stacks->snapshot(samples[i].stack);
        ASSERT_EQ(stack.frames.size(), 2U);
        EXPECT_EQ(stack.frames[1].line, first + static_cast<std::int32_t>(i)) << "at index " << i;
        if (i > 0) {
            EXPECT_GE(samples[i].timestamp_ms, samples[i - 1].timestamp_ms);
        }
    }
}

class SamplerCycle : public ::testing::Test {
protected:
    void SetUp() override { capture_count = 0; }
};

TEST_F(SamplerCycle, StartFlagTrafficStopAndDrainRepeatedly) {
    for (int cycle = 0; cycle < 10; ++cycle) {
        capture_count = 0;
        auto sampler = make_sampler(1, 100000);
        ASSERT_FALSE(sampler->start(numbered_capture).has_value());
        // What the Python side does meanwhile: poll and clear the memory flag, ask
        // whether the thread runs.
        while (capture_count.load(std::memory_order_relaxed) < 5) {
            EXPECT_TRUE(sampler->has_thread());
            if (sampler->mem_spike()) {
                sampler->clear_mem_spike();
            }
            std::this_thread::sleep_for(1ms);
        }
        const StopResult result = sampler->stop_and_drain();
        EXPECT_FALSE(result.error.has_value());
        EXPECT_FALSE(sampler->has_thread());
        ASSERT_EQ(result.samples.size(), static_cast<std::size_t>(capture_count.load()));
        expect_numbered_run(result, capture_count.load() - 1);
    }
}

TEST_F(SamplerCycle, SmallRingKeepsTheNewestCapturesInOrder) {
    auto sampler = make_sampler(1, 8);
    ASSERT_FALSE(sampler->start(numbered_capture).has_value());
    wait_for_captures(40);
    const StopResult result = sampler->stop_and_drain();
    ASSERT_GE(capture_count.load(), 40);
    ASSERT_EQ(result.samples.size(), 8U);
    expect_numbered_run(result, capture_count.load() - 1);
}

TEST_F(SamplerCycle, StopLandingDuringASlowCaptureStillJoinsCleanly) {
    for (int cycle = 0; cycle < 5; ++cycle) {
        capture_count = 0;
        auto sampler = make_sampler(1, 1000);
        ASSERT_FALSE(sampler->start(slow_capture).has_value());
        wait_for_captures(2);
        const StopResult result = sampler->stop_and_drain();
        EXPECT_FALSE(result.error.has_value());
        // Every capture that began before the stop was seen is pushed before the thread ends.
        ASSERT_EQ(result.samples.size(), static_cast<std::size_t>(capture_count.load()));
        expect_numbered_run(result, capture_count.load() - 1);
    }
}

TEST_F(SamplerCycle, ReleasedWhileRunningThenTheExitStopWaitsForEveryThread) {
    // Two samplers released without a stop (detached threads), one still owned: the
    // exit hook's stop, run from another thread, must end all three.
    auto kept = make_sampler(1, 100);
    ASSERT_FALSE(kept->start(numbered_capture).has_value());
    for (int i = 0; i < 2; ++i) {
        auto released = make_sampler(2, 100);
        ASSERT_FALSE(released->start(numbered_capture).has_value());
    }
    wait_for_captures(10);
    std::thread exit_hook(stop_live_sampler_threads);
    exit_hook.join();
    const std::int32_t after = capture_count.load();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(capture_count.load(), after);  // nobody captures any more
    // The owned one is finished but still has to be joined, and its samples are intact.
    const StopResult result = kept->stop_and_drain();
    EXPECT_FALSE(result.error.has_value());
    for (const Sample& sample : result.samples) {
        EXPECT_EQ(result.stacks->node(sample.stack).depth, 2U);
    }
}

TEST_F(SamplerCycle, SamplersStartedAndStoppedFromSeveralThreadsAtOnce) {
    // The registry of live threads is shared by every sampler of the process.
    constexpr int kOwners = 3;
    std::vector<std::thread> owners;
    owners.reserve(kOwners);
    std::atomic<int> failures{0};
    for (int t = 0; t < kOwners; ++t) {
        owners.emplace_back([&failures] {
            for (int cycle = 0; cycle < 5; ++cycle) {
                auto sampler = make_sampler(1, 64);
                if (sampler->start(numbered_capture).has_value()) {
                    failures.fetch_add(1);
                    return;
                }
                std::this_thread::sleep_for(3ms);
                const StopResult result = sampler->stop_and_drain();
                if (result.error.has_value()) {
                    failures.fetch_add(1);
                }
            }
        });
    }
    for (auto& owner : owners) {
        owner.join();
    }
    EXPECT_EQ(failures.load(), 0);
    stop_live_sampler_threads();  // nothing left running: returns at once
}

}  // namespace
}  // namespace kulvo
