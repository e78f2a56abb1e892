// The sampling loop's arithmetic: CPU percent between two cycles and the
// memory-spike test. Pure functions, so every failure path can be tested.
#pragma once

#include <cstdint>
#include <optional>

#include "clock.hpp"

namespace kulvo {

struct ResourceUsage {
    std::uint64_t cpu_time_us = 0;     // user + system
    std::uint64_t peak_rss_bytes = 0;  // ru_maxrss, in bytes
};

// getrusage(RUSAGE_SELF); nothing when the call fails.
std::optional<ResourceUsage> read_resource_usage();

// Truncation toward zero that saturates: negative and NaN give 0, too large gives the maximum.
std::uint64_t saturating_u64(double value);

// CPU time used between two readings as a percentage of the wall time between them.
// 0.0 when there is no previous reading or no elapsed time.
double cpu_percent_between(std::uint64_t prev_cpu_time_us, std::uint64_t cpu_time_us, double wall_s);

// A rise of the peak by at least `step_bytes` since the last reading that had one.
bool is_mem_spike(std::uint64_t last_rss_bytes, std::uint64_t rss_bytes, std::uint64_t step_bytes);

// State kept by the sampler thread from one cycle to the next.
struct MeterState {
    Instant prev_instant;
    std::uint64_t prev_cpu_time_us = 0;  // 0: no previous reading
    std::uint64_t last_rss_bytes = 0;    // 0: none seen yet
};

struct Measurement {
    double cpu_percent = 0.0;
    std::uint64_t rss_bytes = 0;
    bool mem_spike = false;
};

inline constexpr double kFailedCpuPercent = -1.0;

// One cycle's measurement from the clock reading `now_cpu` and the usage read right
// after it (nothing when getrusage failed); advances `state` for the next cycle.
Measurement measure_cycle(MeterState& state, Instant now_cpu, const std::optional<ResourceUsage>& usage,
                          std::uint64_t mem_flag_step_bytes);

}  // namespace kulvo
