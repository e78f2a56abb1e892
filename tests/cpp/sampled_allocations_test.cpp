#include "sampled_allocations.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

namespace kulvo {
namespace {

constexpr std::int64_t kMeanBytes = 1024;

// Allocates `count` blocks of `size_bytes` at addresses from `first`, as the hooks would.
void allocate(SampledAllocations& sampled, std::uint32_t site, std::uintptr_t first, int count, std::size_t size_bytes,
              std::int64_t now_ns = 1) {
    for (int i = 0; i < count; ++i) {
        if (sampled.count(size_bytes)) {
            sampled.add(first + static_cast<std::uintptr_t>(i) * 4096, size_bytes, site, now_ns);
        }
    }
}

void free_all(SampledAllocations& sampled, std::uintptr_t first, int count) {
    for (int i = 0; i < count; ++i) {
        sampled.remove(first + static_cast<std::uintptr_t>(i) * 4096);
    }
}

std::int64_t live_bytes_of(const std::vector<SiteTotal>& totals, std::uint32_t site) {
    for (const SiteTotal& total : totals) {
        if (total.site == site) {
            return total.bytes;
        }
    }
    return 0;
}

TEST(SampledAllocations, LiveBytesPerSiteAreEstimatedWithoutBiasForSmallAndLargeBlocks) {
    auto sampled = std::make_unique<SampledAllocations>(kMeanBytes, 42);
    bool is_new = false;
    const std::uint32_t small = sampled->site_index({0x1000, 10}, is_new);
    EXPECT_TRUE(is_new);
    const std::uint32_t large = sampled->site_index({0x1000, 20}, is_new);
    EXPECT_EQ(sampled->site_index({0x1000, 10}, is_new), small);
    EXPECT_FALSE(is_new);
    // 8 MiB in 64-byte blocks and 8 MiB in 64 KiB blocks: each within 5 %.
    allocate(*sampled, small, 0x10000000, 131072, 64);
    allocate(*sampled, large, 0x90000000, 128, 65536);
    const std::vector<SiteTotal> live = sampled->live();
    EXPECT_NEAR(static_cast<double>(live_bytes_of(live, small)), 8 << 20, 0.05 * (8 << 20));
    EXPECT_NEAR(static_cast<double>(live_bytes_of(live, large)), 8 << 20, 0.05 * (8 << 20));
    EXPECT_EQ(sampled->live_bytes(), live_bytes_of(live, small) + live_bytes_of(live, large));
}

TEST(SampledAllocations, WhatWasHeldAtThePeakOutlivesItsFreeingAndALaterSmallerRise) {
    auto sampled = std::make_unique<SampledAllocations>(kMeanBytes, 7);
    bool is_new = false;
    const std::uint32_t big = sampled->site_index({0x2000, 1}, is_new);
    const std::uint32_t later = sampled->site_index({0x2000, 2}, is_new);
    allocate(*sampled, big, 0x10000000, 4096, 1024, 100);
    free_all(*sampled, 0x10000000, 4096);
    EXPECT_EQ(sampled->live_bytes(), 0);
    EXPECT_TRUE(sampled->live().empty());
    EXPECT_FALSE(sampled->may_hold(0x10000000));
    allocate(*sampled, later, 0x50000000, 1024, 1024, 200);  // a quarter of the first rise
    const HeldAtPeak peak = sampled->at_peak();
    ASSERT_EQ(peak.sites.size(), 1U);
    EXPECT_EQ(peak.sites[0].site, big);
    EXPECT_EQ(peak.time_ns, 100);
    EXPECT_NEAR(static_cast<double>(peak.bytes), 4 << 20, 0.1 * (4 << 20));
}

TEST(SampledAllocations, ALiveSetAboveTheLastCopyIsThePeak) {
    auto sampled = std::make_unique<SampledAllocations>(1, 5);  // every block kept
    bool is_new = false;
    const std::uint32_t first = sampled->site_index({0x4000, 1}, is_new);
    const std::uint32_t last = sampled->site_index({0x4000, 2}, is_new);
    allocate(*sampled, first, 0x10000000, 1, 1000000, 10);
    allocate(*sampled, last, 0x20000000, 1, 1000, 20);  // too small a rise for a new copy
    const HeldAtPeak peak = sampled->at_peak();
    EXPECT_EQ(peak.bytes, 1001000);
    EXPECT_EQ(peak.time_ns, 20);
    EXPECT_EQ(live_bytes_of(peak.sites, last), 1000);
    sampled->remove(0x20000000);
    EXPECT_EQ(sampled->at_peak().bytes, 1000000);  // back to the copy
}

TEST(SampledAllocations, AnAddressKeptTwiceCountsOnceAndResetForgetsEverything) {
    auto sampled = std::make_unique<SampledAllocations>(1, 3);  // every block kept
    bool is_new = false;
    const std::uint32_t site = sampled->site_index({0x3000, 1}, is_new);
    ASSERT_TRUE(sampled->count(100));
    sampled->add(0x7000, 100, site, 1);
    ASSERT_TRUE(sampled->count(300));
    sampled->add(0x7000, 300, site, 2);  // a realloc in place: the new size only
    EXPECT_EQ(sampled->live_bytes(), 300);
    EXPECT_EQ(sampled->live()[0].blocks, 1);
    sampled->reset(kMeanBytes, 3);
    EXPECT_EQ(sampled->live_bytes(), 0);
    EXPECT_TRUE(sampled->sites().empty());
    EXPECT_FALSE(sampled->may_hold(0x7000));
    EXPECT_EQ(sampled->at_peak().bytes, 0);
}

}  // namespace
}  // namespace kulvo
