#include "sampled_allocations.hpp"

#include <algorithm>
#include <cmath>

#include "splitmix.hpp"

namespace kulvo {

namespace {

// A copy of the live totals is taken each time the estimate passes the last copy by this
// share of it: at most a 256th short of the highest point, and about 3,000 copies from 16 KiB
// to a gigabyte, each in proportion to the number of sites.
constexpr std::int64_t kPeakStepDivisor = 256;

}  // namespace

SampledAllocations::SampledAllocations(std::int64_t mean_interval_bytes, std::uint64_t seed) {
    reset(mean_interval_bytes, seed);
}

void SampledAllocations::reset(std::int64_t mean_interval_bytes, std::uint64_t seed) {
    mean_interval_bytes_ = static_cast<double>(std::max<std::int64_t>(1, mean_interval_bytes));
    random_state_ = seed;
    kept_.clear();
    for (auto& slot : filter_) {
        slot.store(0, std::memory_order_relaxed);
    }
    sites_.clear();
    site_indices_.clear();
    live_by_site_.clear();
    live_bytes_ = 0;
    next_copy_bytes_ = 0;
    highest_bytes_ = 0;
    highest_time_ns_ = 0;
    at_peak_ = HeldAtPeak{};
    draw_next_sample();
}

void SampledAllocations::draw_next_sample() {
    // Exponential gaps between sampled bytes: each byte is a sample with the same chance.
    const double uniform = static_cast<double>((splitmix64(random_state_) >> 11U) + 1) * 0x1.0p-53;
    bytes_until_sample_.store(static_cast<std::int64_t>(-std::log(uniform) * mean_interval_bytes_) + 1,
                              std::memory_order_relaxed);
}

std::uint32_t SampledAllocations::site_index(const AllocationSite& site, bool& is_new) {
    const auto [found, inserted] = site_indices_.try_emplace(site, static_cast<std::uint32_t>(sites_.size()));
    is_new = inserted;
    if (inserted) {
        sites_.push_back(site);
        live_by_site_.emplace_back();
    }
    return found->second;
}

void SampledAllocations::add(std::uintptr_t address, std::size_t size_bytes, std::uint32_t site, std::int64_t now_ns) {
    draw_next_sample();
    remove(address);
    const double size = static_cast<double>(std::max<std::size_t>(1, size_bytes));
    const double chance = -std::expm1(-size / mean_interval_bytes_);
    const Kept kept{site, static_cast<std::int64_t>(std::llround(size / chance)), 1.0 / chance};
    kept_.emplace(address, kept);
    filter_[filter_slot(address)].fetch_add(1, std::memory_order_relaxed);
    live_by_site_[site].bytes += kept.weight_bytes;
    live_by_site_[site].blocks += kept.weight_blocks;
    live_bytes_ += kept.weight_bytes;
    copy_if_new_peak(now_ns);
}

void SampledAllocations::remove(std::uintptr_t address) {
    if (!may_hold(address)) {
        return;
    }
    const auto found = kept_.find(address);
    if (found == kept_.end()) {
        return;
    }
    const Kept kept = found->second;
    kept_.erase(found);
    filter_[filter_slot(address)].fetch_sub(1, std::memory_order_relaxed);
    live_by_site_[kept.site].bytes -= kept.weight_bytes;
    live_by_site_[kept.site].blocks -= kept.weight_blocks;
    live_bytes_ -= kept.weight_bytes;
}

void SampledAllocations::copy_if_new_peak(std::int64_t now_ns) {
    if (live_bytes_ > highest_bytes_) {
        highest_bytes_ = live_bytes_;
        highest_time_ns_ = now_ns;
    }
    if (live_bytes_ <= next_copy_bytes_) {
        return;
    }
    at_peak_.time_ns = now_ns;
    at_peak_.bytes = live_bytes_;
    at_peak_.sites = live();
    next_copy_bytes_ = live_bytes_ + std::max<std::int64_t>(live_bytes_ / kPeakStepDivisor, 1);
}

HeldAtPeak SampledAllocations::at_peak() const {
    if (live_bytes_ > at_peak_.bytes) {
        return HeldAtPeak{highest_bytes_ == live_bytes_ ? highest_time_ns_ : at_peak_.time_ns, live_bytes_, live()};
    }
    return at_peak_;
}

std::vector<SiteTotal> SampledAllocations::live() const {
    std::vector<SiteTotal> totals;
    for (std::size_t i = 0; i < live_by_site_.size(); ++i) {
        if (live_by_site_[i].bytes > 0) {
            totals.push_back(SiteTotal{static_cast<std::uint32_t>(i), live_by_site_[i].bytes,
                                       std::llround(live_by_site_[i].blocks)});
        }
    }
    return totals;
}

std::size_t SampledAllocations::held_bytes() const {
    // A node of an unordered_map: the value, the key, a next pointer and the cached hash.
    constexpr std::size_t kNodeOverheadBytes = 2 * sizeof(void*);
    return sizeof(*this) + kept_.size() * (sizeof(std::uintptr_t) + sizeof(Kept) + kNodeOverheadBytes) +
           kept_.bucket_count() * sizeof(void*) +
           site_indices_.size() * (sizeof(AllocationSite) + sizeof(std::uint32_t) + kNodeOverheadBytes) +
           site_indices_.bucket_count() * sizeof(void*) + sites_.capacity() * sizeof(AllocationSite) +
           live_by_site_.capacity() * sizeof(Live) + at_peak_.sites.capacity() * sizeof(SiteTotal);
}

}  // namespace kulvo
