#include "thread_sets.hpp"

#include <algorithm>

namespace kulvo {

namespace {

std::uint64_t hash_of(std::span<const ThreadStack> threads) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (const ThreadStack& thread : threads) {
        h ^= (static_cast<std::uint64_t>(thread.stack) << 1U) | (thread.waiting ? 1U : 0U);
        h *= 0x100000001b3ULL;
    }
    return h;
}

constexpr std::size_t kMapEntryOverheadBytes = 3 * sizeof(void*);

}  // namespace

ThreadSetTable::ThreadSetTable(std::size_t max_entries) : max_entries_(max_entries) {}

ThreadSetId ThreadSetTable::intern(std::span<const ThreadStack> threads) {
    if (threads.empty()) {
        return kNoThreads;
    }
    const std::uint64_t hash = hash_of(threads);
    const auto [first, last] = by_hash_.equal_range(hash);
    for (auto candidate = first; candidate != last; ++candidate) {
        const std::span<const ThreadStack> known = set(candidate->second);
        if (std::equal(known.begin(), known.end(), threads.begin(), threads.end())) {
            return candidate->second;
        }
    }
    if (entries_.size() + threads.size() > max_entries_) {
        return kNoThreads;
    }
    const auto id = static_cast<ThreadSetId>(set_count());
    entries_.insert(entries_.end(), threads.begin(), threads.end());
    starts_.push_back(static_cast<std::uint32_t>(entries_.size()));
    by_hash_.emplace(hash, id);
    return id;
}

std::span<const ThreadStack> ThreadSetTable::set(ThreadSetId id) const {
    return std::span<const ThreadStack>(entries_).subspan(starts_[id], starts_[id + 1] - starts_[id]);
}

std::size_t ThreadSetTable::bytes() const {
    return starts_.capacity() * sizeof(std::uint32_t) + entries_.capacity() * sizeof(ThreadStack) +
           by_hash_.size() * (sizeof(std::pair<std::uint64_t, ThreadSetId>) + kMapEntryOverheadBytes);
}

}  // namespace kulvo
