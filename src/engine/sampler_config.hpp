// What one sampler is asked to do, and the bounds its settings must keep.
#pragma once

#include <cstdint>
#include <optional>

#include "error.hpp"

namespace kulvo {

inline constexpr std::uint64_t kMinIntervalMs = 1;
inline constexpr std::uint64_t kMaxIntervalMs = 10000;
inline constexpr std::uint64_t kDefaultIntervalMs = 50;
inline constexpr std::uint64_t kDefaultTopN = 20;

struct SamplerConfig {
    std::uint64_t interval_ms = kDefaultIntervalMs;
    std::uint64_t ring_capacity = 100000;
    std::uint64_t mem_flag_step_bytes = 10485760;  // 10 MiB
    double spike_sigma = 2.0;
    double cpu_spike_margin = 15.0;                  // percentage points
    std::uint64_t mem_spike_margin_bytes = 5242880;  // 5 MiB
    std::uint64_t top_n = kDefaultTopN;
    double baseline_fraction = 0.25;
};

// A validation error for an interval outside kMinIntervalMs ... kMaxIntervalMs, or nothing.
std::optional<Error> interval_error(std::uint64_t interval_ms);

}  // namespace kulvo
