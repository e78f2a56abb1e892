// Allocations sampled by bytes, as tcmalloc and jemalloc sample their heaps: each allocated
// byte starts a sample with the same small chance, so a block of `size` bytes is kept with
// chance 1 - exp(-size / mean) and stands for size / that chance bytes. The kept blocks that
// are still live then estimate, per allocating site, what the program holds, at a cost that
// does not grow with the number of blocks it allocates.
//
// Besides the live set it keeps a copy of the live set's totals per site taken as the
// estimate reached its highest point so far (to within a 256th of it), so that what was held at
// the peak can be named after the memory was freed.
//
// Not thread-safe: the caller serialises every call but count() and may_hold(), which may be
// called concurrently with the others.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace kulvo {

// Where a block was allocated, as the caller names it (for Python: code object, instruction).
struct AllocationSite {
    std::uintptr_t code = 0;
    std::uintptr_t instruction = 0;

    bool operator==(const AllocationSite&) const = default;
};

struct SiteTotal {
    std::uint32_t site = 0;   // index into sites()
    std::int64_t bytes = 0;   // estimated
    std::int64_t blocks = 0;  // estimated
};

struct HeldAtPeak {
    std::int64_t time_ns = 0;  // on the caller's clock; 0 when nothing was ever held
    std::int64_t bytes = 0;    // the estimate when the copy was taken
    std::vector<SiteTotal> sites;
};

class SampledAllocations {
public:
    SampledAllocations(std::int64_t mean_interval_bytes, std::uint64_t seed);

    // Starts afresh: nothing kept, no site, no peak.
    void reset(std::int64_t mean_interval_bytes, std::uint64_t seed);

    // Counts an allocation of `size_bytes`; true when it is to be kept (then add() it). May be
    // called concurrently with the rest: a count lost to a race only moves the next sample.
    bool count(std::size_t size_bytes) {
        const std::int64_t left =
            bytes_until_sample_.load(std::memory_order_relaxed) - static_cast<std::int64_t>(size_bytes);
        bytes_until_sample_.store(left, std::memory_order_relaxed);
        return left <= 0;
    }

    // The site's index, and whether it is new (the caller may then pin what it names).
    std::uint32_t site_index(const AllocationSite& site, bool& is_new);

    // Keeps a counted block; a block already kept at `address` is replaced.
    void add(std::uintptr_t address, std::size_t size_bytes, std::uint32_t site, std::int64_t now_ns);
    // False when `address` is certainly not kept; may be called concurrently with the rest.
    [[nodiscard]] bool may_hold(std::uintptr_t address) const {
        return filter_[filter_slot(address)].load(std::memory_order_relaxed) != 0;
    }
    // Forgets the block at `address`, if kept.
    void remove(std::uintptr_t address);

    [[nodiscard]] std::vector<SiteTotal> live() const;
    // What was live at the highest estimate so far: the copy, or the live set when it stands
    // above the copy.
    [[nodiscard]] HeldAtPeak at_peak() const;
    [[nodiscard]] std::int64_t live_bytes() const { return live_bytes_; }
    [[nodiscard]] const std::vector<AllocationSite>& sites() const { return sites_; }
    // This object's own memory, roughly: for the profile's account of kulvo's share.
    [[nodiscard]] std::size_t held_bytes() const;

private:
    static constexpr std::size_t kFilterSlots = std::size_t{1} << 16U;
    static std::size_t filter_slot(std::uintptr_t address) {
        return static_cast<std::size_t>(((address >> 4U) * 0x9E3779B97F4A7C15ULL) >> 48U);
    }
    void draw_next_sample();
    void copy_if_new_peak(std::int64_t now_ns);

    struct Kept {
        std::uint32_t site = 0;
        std::int64_t weight_bytes = 0;
        double weight_blocks = 0;
    };
    struct Live {
        std::int64_t bytes = 0;
        double blocks = 0;
    };
    struct SiteHash {
        std::size_t operator()(const AllocationSite& site) const noexcept {
            return static_cast<std::size_t>((site.code * 0x9E3779B97F4A7C15ULL) ^ (site.instruction >> 1U));
        }
    };

    double mean_interval_bytes_ = 1;
    std::uint64_t random_state_ = 0;
    std::atomic<std::int64_t> bytes_until_sample_{0};
    std::unordered_map<std::uintptr_t, Kept> kept_;
    std::array<std::atomic<std::uint32_t>, kFilterSlots> filter_{};
    std::vector<AllocationSite> sites_;
    std::unordered_map<AllocationSite, std::uint32_t, SiteHash> site_indices_;
    std::vector<Live> live_by_site_;  // one per site
    std::int64_t live_bytes_ = 0;
    std::int64_t next_copy_bytes_ = 0;  // a live estimate past this is copied
    std::int64_t highest_bytes_ = 0;    // the highest estimate so far, and when it was reached
    std::int64_t highest_time_ns_ = 0;
    HeldAtPeak at_peak_;
};

}  // namespace kulvo
