// The ring and the flags shared between the sampler thread and its owner, driven the
// way the engine drives them: one writer pushes while the owner reads and writes the
// flags, then the owner joins and drains. Meant for the ThreadSanitizer build, where a
// missing happens-before edge is a report; in the other builds they check the contents.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ringbuf.hpp"
#include "sampler.hpp"

namespace kulvo {
namespace {

// A sample numbered in every field, its stack id included, so that a torn or repeated
// item shows in the drained contents.
Sample numbered_sample(std::uint64_t n) {
    return Sample{n, static_cast<double>(n % 100), 1 + n, static_cast<StackId>(n)};
}

void expect_consecutive_from(const std::vector<Sample>& drained, std::uint64_t first) {
    for (std::size_t i = 0; i < drained.size(); ++i) {
        const std::uint64_t n = first + i;
        ASSERT_EQ(drained[i].timestamp_ms, n) << "at index " << i;
        EXPECT_EQ(drained[i].stack, static_cast<StackId>(n));
        EXPECT_EQ(drained[i].rss_bytes, 1 + n);
    }
}

struct Shared {
    std::shared_ptr<SampleRing> ring;
    SharedFlag stop_requested = std::make_shared<std::atomic<bool>>(false);
    SharedFlag mem_spike = std::make_shared<std::atomic<bool>>(false);
};

// The writer's side: what run_sampling_loop does with the shared state, without the
// clock. Raises the memory flag every `flag_every` pushes; keeps pushing past `at_least`
// until told to stop. Returns how many it pushed.
std::uint64_t write_until_stopped(Shared shared, std::uint64_t at_least, std::uint64_t flag_every,
                                  std::atomic<std::uint64_t>& progress) {
    std::uint64_t pushed = 0;
    while (pushed < at_least || !shared.stop_requested->load(std::memory_order_relaxed)) {
        shared.ring->push(numbered_sample(pushed));
        ++pushed;
        if (pushed % flag_every == 0) {
            shared.mem_spike->store(true, std::memory_order_relaxed);
        }
        progress.store(pushed, std::memory_order_relaxed);
    }
    // Like the sampler thread: drop its references before it ends.
    shared.ring.reset();
    shared.stop_requested.reset();
    shared.mem_spike.reset();
    return pushed;
}

TEST(RingAndFlags, WriterWrapsTheRingWhileTheOwnerTogglesFlagsThenJoinAndDrain) {
    constexpr std::uint64_t kCapacity = 64;
    constexpr std::uint64_t kAtLeast = 20000;  // hundreds of wraps
    Shared shared;
    shared.ring = std::make_shared<SampleRing>(kCapacity);
    std::atomic<std::uint64_t> progress{0};
    std::uint64_t pushed = 0;
    std::thread writer(
        [&pushed, &progress, copy = shared] { pushed = write_until_stopped(copy, kAtLeast, 7, progress); });

    // The owner's side while the thread runs: the watcher polls and clears the memory
    // flag, as mem_spike_flag() and notify_snapshot_taken() do.
    std::uint64_t flags_seen = 0;
    while (progress.load(std::memory_order_relaxed) < kAtLeast) {
        if (shared.mem_spike->load(std::memory_order_relaxed)) {
            ++flags_seen;
            shared.mem_spike->store(false, std::memory_order_relaxed);
        }
        std::this_thread::yield();
    }
    shared.stop_requested->store(true, std::memory_order_relaxed);
    writer.join();

    ASSERT_GE(pushed, kAtLeast);
    EXPECT_EQ(shared.ring->write_index(), pushed);
    EXPECT_EQ(shared.ring->len(), kCapacity);
    const std::vector<Sample> drained = shared.ring->drain();
    ASSERT_EQ(drained.size(), kCapacity);
    expect_consecutive_from(drained, pushed - kCapacity);
    EXPECT_EQ(shared.ring->len(), 0U);
    // Not asserted: how often the owner saw the flag depends on scheduling.
    (void)flags_seen;
}

TEST(RingAndFlags, RingOutlivesItsOwnerWhenTheWriterHoldsTheLastReference) {
    // The owner lets go while the writer still runs (a PySampler released without
    // stop()): the writer's reference keeps the ring alive, and it is destroyed there.
    Shared shared;
    shared.ring = std::make_shared<SampleRing>(16);
    std::atomic<std::uint64_t> progress{0};
    std::thread writer([&progress, copy = shared] { (void)write_until_stopped(copy, 5000, 3, progress); });
    while (progress.load(std::memory_order_relaxed) < 100) {
        std::this_thread::yield();
    }
    SharedFlag stop = shared.stop_requested;
    shared.ring.reset();
    shared.mem_spike.reset();
    shared.stop_requested.reset();
    stop->store(true, std::memory_order_relaxed);
    writer.join();
    EXPECT_EQ(stop.use_count(), 1);  // the writer dropped its copy on the way out
}

TEST(RingAndFlags, DrainAfterJoinSeesEveryPushWhenNothingWasEvicted) {
    constexpr std::uint64_t kCapacity = 4096;
    Shared shared;
    shared.ring = std::make_shared<SampleRing>(kCapacity);
    std::atomic<std::uint64_t> progress{0};
    shared.stop_requested->store(true, std::memory_order_relaxed);  // stops as soon as it has 1000
    std::uint64_t pushed = 0;
    std::thread writer([&pushed, &progress, copy = shared] { pushed = write_until_stopped(copy, 1000, 1, progress); });
    writer.join();
    ASSERT_EQ(pushed, 1000U);
    const std::vector<Sample> drained = shared.ring->drain();
    ASSERT_EQ(drained.size(), 1000U);
    expect_consecutive_from(drained, 0);
    EXPECT_TRUE(shared.mem_spike->load(std::memory_order_relaxed));
}

}  // namespace
}  // namespace kulvo
