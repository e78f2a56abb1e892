// The other threads' stacks at one moment, each distinct set held once: a pool of idle
// workers is the same set at every sample, and a sample keeps one small id for it.
//
// Bounded like the stack table: past the limit, a new set is not kept and the moment shows
// the main thread alone. Not thread-safe: written by the sampler thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "stack_ids.hpp"

namespace kulvo {

using ThreadSetId = std::uint32_t;
inline constexpr ThreadSetId kNoThreads = 0;  // no other thread, or a set not kept

// One thread's stack, its thread's root frame outermost, and whether it was off the CPU.
struct ThreadStack {
    StackId stack = kNoStack;
    bool waiting = false;

    bool operator==(const ThreadStack&) const = default;
};

class ThreadSetTable {
public:
    explicit ThreadSetTable(std::size_t max_entries = std::size_t{1} << 22);

    // kNoThreads for an empty set, or a new one past the limit.
    ThreadSetId intern(std::span<const ThreadStack> threads);

    [[nodiscard]] std::size_t set_count() const { return starts_.size() - 1; }  // set 0 included
    // Set `id` is entries [starts()[id], starts()[id + 1]).
    [[nodiscard]] const std::vector<std::uint32_t>& starts() const { return starts_; }
    [[nodiscard]] const std::vector<ThreadStack>& entries() const { return entries_; }
    [[nodiscard]] std::span<const ThreadStack> set(ThreadSetId id) const;

    [[nodiscard]] std::size_t bytes() const;

private:
    std::size_t max_entries_;
    std::vector<std::uint32_t> starts_{0, 0};  // set 0 is empty
    std::vector<ThreadStack> entries_;
    std::unordered_multimap<std::uint64_t, ThreadSetId> by_hash_;
};

}  // namespace kulvo
