#include "sampler.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstddef>
#include <fstream>
#include <string>
#include <thread>
#include <variant>

namespace kulvo {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<Sampler> make_sampler(std::uint64_t interval_ms) {
    SamplerConfig config;
    config.interval_ms = interval_ms;
    auto created = Sampler::create(config);
    return std::move(std::get<std::unique_ptr<Sampler>>(created));
}

// Fake captures: the sampler thread calls them without any interpreter.
std::atomic<int> captures{0};

CaptureOutcome capture_one_frame() {
    const int n = captures.fetch_add(1) + 1;
    return CaptureOutcome{StackSnapshot{{{"fake.py", "f", n}}}, std::nullopt};
}

CaptureOutcome capture_failing_on_third() {
    const int n = captures.fetch_add(1) + 1;
    if (n == 3) {
        return CaptureOutcome{std::nullopt, Error::internal("Python API call failed")};
    }
    return CaptureOutcome{StackSnapshot{{{"fake.py", "f", n}}}, std::nullopt};
}

struct ThreadFacts {
    std::string name;
    bool blocks_sigusr1 = false;
    bool blocks_sigint = false;
    bool blocks_sigsegv = true;
};
ThreadFacts facts;

CaptureOutcome capture_thread_facts() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    facts = ThreadFacts{name, sigismember(&mask, SIGUSR1) == 1, sigismember(&mask, SIGINT) == 1,
                        sigismember(&mask, SIGSEGV) == 1};
    return CaptureOutcome{};
}

class SamplerTest : public ::testing::Test {
protected:
    void SetUp() override { captures = 0; }
};

TEST_F(SamplerTest, IntervalOutsideTheRangeIsRefusedWithItsValue) {
    for (std::uint64_t bad : {0ULL, 10001ULL, 18446744073709551615ULL}) {
        SamplerConfig config;
        config.interval_ms = bad;
        const auto created = Sampler::create(config);
        const auto* error = std::get_if<Error>(&created);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->kind, Error::Kind::Validation);
        EXPECT_EQ(error->message, "interval_ms must be in [1, 10000], got " + std::to_string(bad));
    }
    EXPECT_FALSE(interval_error(1).has_value());
    EXPECT_FALSE(interval_error(10000).has_value());
}

TEST_F(SamplerTest, RunsCyclesUntilStoppedAndDrainsOldestFirst) {
    auto sampler = make_sampler(2);
    ASSERT_FALSE(sampler->start(capture_one_frame).has_value());
    EXPECT_TRUE(sampler->has_thread());
    std::this_thread::sleep_for(60ms);
    const StopResult result = sampler->stop_and_drain();
    EXPECT_FALSE(sampler->has_thread());
    ASSERT_GE(result.samples.size(), 3U);
    EXPECT_EQ(result.samples.size(), static_cast<std::size_t>(captures.load()));
    EXPECT_EQ(result.samples.front().cpu_percent, 0.0);
    for (std::size_t i = 0; i < result.samples.size(); ++i) {
        EXPECT_EQ(result.stacks->snapshot(result.samples[i].stack).frames[0].line, static_cast<int>(i + 1));
        EXPECT_GT(result.samples[i].rss_bytes, 0U);
        if (i > 0) {
            EXPECT_GE(result.samples[i].timestamp_ms, result.samples[i - 1].timestamp_ms);
        }
    }
    EXPECT_GE(result.wall_time_ms, result.samples.back().timestamp_ms);
}

TEST_F(SamplerTest, InternalErrorEndsTheThreadButKeepsEarlierSamples) {
    auto sampler = make_sampler(1);
    testing::internal::CaptureStderr();
    ASSERT_FALSE(sampler->start(capture_failing_on_third).has_value());
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(sampler->has_thread());  // ended on its own, still counts as running
    const StopResult result = sampler->stop_and_drain();
    const std::string diagnostic = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(result.error.has_value());
    EXPECT_EQ(result.samples.size(), 2U);
    EXPECT_EQ(captures.load(), 3);
    EXPECT_NE(diagnostic.find("kulvo-sampler"), std::string::npos);
    EXPECT_NE(diagnostic.find("Python API call failed"), std::string::npos);
}

TEST_F(SamplerTest, StopWithoutStartJoinsNothing) {
    auto sampler = make_sampler(50);
    std::this_thread::sleep_for(15ms);
    const StopResult result = sampler->stop_and_drain();
    EXPECT_TRUE(result.samples.empty());
    EXPECT_GE(result.wall_time_ms, 15U);  // counted from construction
}

TEST_F(SamplerTest, StopRequestedBeforeTheFirstCheckStoresNothing) {
    SamplerThreadStart start;
    start.ring = std::make_shared<SampleRing>(8);
    start.stop_requested = std::make_shared<std::atomic<bool>>(true);
    start.mem_spike = std::make_shared<std::atomic<bool>>(false);
    start.interval = duration_from_ms(1);
    start.source = function_source(capture_one_frame);
    start.completion = std::make_shared<ThreadCompletion>();
    run_sampling_loop(start);
    EXPECT_EQ(start.ring->len(), 0U);
    EXPECT_EQ(captures.load(), 0);
}

TEST_F(SamplerTest, ThreadIsNamedAndBlocksAsynchronousSignals) {
    facts = ThreadFacts{};
    auto sampler = make_sampler(1);
    ASSERT_FALSE(sampler->start(capture_thread_facts).has_value());
    std::this_thread::sleep_for(20ms);
    (void)sampler->stop_and_drain();
    EXPECT_EQ(facts.name, "kulvo-sampler");
    EXPECT_TRUE(facts.blocks_sigusr1);
    EXPECT_TRUE(facts.blocks_sigint);
    EXPECT_FALSE(facts.blocks_sigsegv);  // a fault must still kill the process, not hang it
    sigset_t mine;
    pthread_sigmask(SIG_BLOCK, nullptr, &mine);
    EXPECT_FALSE(sigismember(&mine, SIGUSR1));  // the caller's mask is restored
}

TEST_F(SamplerTest, ReleaseDetachesAndTheExitStopWaitsForTheThread) {
    {
        auto sampler = make_sampler(200);
        ASSERT_FALSE(sampler->start(capture_one_frame).has_value());
        std::this_thread::sleep_for(20ms);
    }  // released while running: returns at once
    const auto before = std::chrono::steady_clock::now();
    stop_live_sampler_threads();
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_LT(waited, 2s);  // at most one interval plus one cycle, with room for a slow machine
    const int after_stop = captures.load();
    std::this_thread::sleep_for(450ms);
    EXPECT_EQ(captures.load(), after_stop);  // the thread is gone
}

TEST_F(SamplerTest, MemSpikeFlagIsClearedByTheWatcherOnly) {
    // At 100 ms the 64 MiB arrive within at most two cycles, so one rise is >= 32 MiB.
    auto sampler = make_sampler(100);
    EXPECT_FALSE(sampler->mem_spike());
    ASSERT_FALSE(sampler->start(capture_one_frame).has_value());
    std::this_thread::sleep_for(150ms);
    {
        std::vector<char> block(64 * 1024 * 1024, 'x');  // touched, so it is resident
        std::this_thread::sleep_for(250ms);
        EXPECT_TRUE(sampler->mem_spike());
        EXPECT_EQ(block[12345], 'x');
    }
    sampler->clear_mem_spike();
    std::this_thread::sleep_for(250ms);
    EXPECT_FALSE(sampler->mem_spike());  // the peak did not rise again
    (void)sampler->stop_and_drain();
}

// Enough to raise the process's peak resident size by 32 MiB, whatever earlier tests in the
// same process left: the peak never falls.
std::size_t bytes_past_the_peak() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto peak_bytes = static_cast<std::size_t>(usage.ru_maxrss) * 1024;
    std::size_t total_pages = 0;
    std::size_t resident_pages = 0;
    std::ifstream("/proc/self/statm") >> total_pages >> resident_pages;
    const std::size_t resident_bytes = resident_pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return (peak_bytes > resident_bytes ? peak_bytes - resident_bytes : 0) + 32 * 1024 * 1024;
}

TEST_F(SamplerTest, SpikeWaitersWakeOnARiseAndOnRelease) {
    auto sampler = make_sampler(100);
    const auto waiters = sampler->spike_waiters();
    ASSERT_FALSE(sampler->start(capture_one_frame).has_value());
    std::this_thread::sleep_for(150ms);
    EXPECT_FALSE(waiters->wait_for(duration_from_ms(50)));  // nothing grew: a timeout
    std::atomic<bool> woke{false};
    std::thread watcher([&] { woke = waiters->wait_for(duration_from_ms(10000)); });
    {
        std::vector<char> block(bytes_past_the_peak(), 'x');  // touched, so it is resident
        const auto before = std::chrono::steady_clock::now();
        watcher.join();
        EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);  // woken by the rise, not the timeout
        EXPECT_TRUE(woke.load());
        EXPECT_EQ(block[12345], 'x');
    }
    // Under a sanitizer the fill can outlast a cycle, and the next cycle then sees the rest of
    // it as a rise of its own: cleared until three cycles pass without one.
    for (int round = 0; round < 20; ++round) {
        sampler->clear_mem_spike();
        if (!waiters->wait_for(duration_from_ms(300))) {
            break;
        }
    }
    std::thread released([&] { woke = waiters->wait_for(duration_from_ms(10000)); });
    std::this_thread::sleep_for(20ms);
    const auto before = std::chrono::steady_clock::now();
    (void)sampler->stop_and_drain();
    released.join();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
    EXPECT_FALSE(woke.load());
    EXPECT_FALSE(waiters->wait_for(duration_from_ms(10000)));  // released for good: no wait
}

TEST_F(SamplerTest, OnSlotsStopWakesTheSleepAndWeightsAddUpToTheRun) {
    auto sampler = make_sampler(10000);
    ASSERT_FALSE(sampler->start(function_source(capture_one_frame), LoopOptions{true, true}).has_value());
    while (captures.load() == 0) {
        std::this_thread::sleep_for(1ms);
    }
    const auto asked = std::chrono::steady_clock::now();
    const StopResult result = sampler->stop_and_drain();
    // Not the rest of a 10 s interval: the sleep is woken.
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
    ASSERT_EQ(result.samples.size(), 1U);
    EXPECT_EQ(result.samples[0].weight_us, 10'000'000U);  // the first sample stands for its slot

    auto fast = make_sampler(1);
    captures = 0;
    ASSERT_FALSE(fast->start(function_source(capture_one_frame), LoopOptions{true, true}).has_value());
    std::this_thread::sleep_for(50ms);
    const StopResult run = fast->stop_and_drain();
    ASSERT_GT(run.samples.size(), 5U);
    std::uint64_t total_us = 0;
    for (const Sample& sample : run.samples) {
        EXPECT_EQ(sample.weight_us % 1000, 0U);  // whole slots
        total_us += sample.weight_us;
    }
    EXPECT_GE(total_us / 1000, run.samples.size());
}

// A source whose captures never wait for the program; the fourth one is late by 30 ms, as a
// sampler thread the scheduler starts late would be.
class LateOnceSource final : public StackSource {
public:
    InternedCapture capture(StackTable& /*stacks*/) override {
        if (++captures_ == 4) {
            std::this_thread::sleep_for(30ms);
        }
        return InternedCapture{};
    }
    [[nodiscard]] bool waits_for_program() const override { return false; }

private:
    int captures_ = 0;
};

// Each capture a new frame, and the other threads' set of that moment: one thread standing in
// the same frame, so that a sample's set can be told to be its own.
class WithOtherThreadsSource final : public StackSource {
public:
    InternedCapture capture(StackTable& stacks) override {
        const StackId stack = stacks.intern(StackSnapshot{{{"fake.py", "f", ++captures_}}});
        const std::array<ThreadStack, 1> others{ThreadStack{stack, captures_ % 2 == 0}};
        return InternedCapture{stack, std::nullopt, false, stacks.thread_sets().intern(others)};
    }

private:
    int captures_ = 0;
};

TEST_F(SamplerTest, OnSlotsALateCycleIsUnobservedAndAFullRingHalvesTheRate) {
    LoopOptions options;
    options.absolute_deadlines = true;
    const auto run_us = [](auto began) {
        return static_cast<double>(
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - began).count());
    };
    auto late = make_sampler(1);
    auto began = std::chrono::steady_clock::now();
    ASSERT_FALSE(late->start(std::make_unique<LateOnceSource>(), options).has_value());
    std::this_thread::sleep_for(100ms);
    const StopResult late_run = late->stop_and_drain();
    double elapsed_us = run_us(began);
    std::uint64_t observed_us = 0;
    for (const Sample& sample : late_run.samples) {
        EXPECT_LE(sample.weight_us, 2000U);
        observed_us += sample.weight_us;
    }
    const std::uint64_t unobserved_us = late->pacing()->unobserved_ns.load() / 1000;
    EXPECT_GE(unobserved_us, 25'000U);
    EXPECT_LE(static_cast<double>(observed_us + unobserved_us), elapsed_us + 1000.0);
    EXPECT_GE(static_cast<double>(observed_us + unobserved_us), 0.7 * elapsed_us);

    // A capture that waits for the program (the lock, an answer) saw what it waited for.
    captures = 0;
    SamplerConfig small;
    small.interval_ms = 1;
    small.ring_capacity = 8;
    auto whole = std::move(std::get<std::unique_ptr<Sampler>>(Sampler::create(small)));
    options.keep_whole_run = true;
    began = std::chrono::steady_clock::now();
    ASSERT_FALSE(whole->start(std::make_unique<WithOtherThreadsSource>(), options).has_value());
    std::this_thread::sleep_for(200ms);
    const StopResult whole_run = whole->stop_and_drain();
    elapsed_us = run_us(began);
    ASSERT_LE(whole_run.samples.size(), 8U);
    EXPECT_GE(whole->pacing()->halvings.load(), 3U);
    std::uint64_t total_us = 0;
    for (const Sample& sample : whole_run.samples) {
        total_us += sample.weight_us;
        // Two samples made one keep one moment whole: its stack and the other threads'.
        const std::span<const ThreadStack> others = whole_run.stacks->thread_sets().set(sample.other_threads);
        ASSERT_EQ(others.size(), 1U);
        EXPECT_EQ(others.front().stack, sample.stack);
    }
    // The samples cover the whole run, its start included.
    EXPECT_LT(whole_run.samples.front().timestamp_ms, 60U);
    // The last sample stands for its whole slot, which the stop cuts short.
    const double last_slot_us = 1000.0 * static_cast<double>(1U << whole->pacing()->halvings.load());
    EXPECT_LE(static_cast<double>(total_us), elapsed_us + last_slot_us);
    EXPECT_GE(static_cast<double>(total_us), 0.7 * elapsed_us);
}

}  // namespace
}  // namespace kulvo
