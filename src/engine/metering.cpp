#include "metering.hpp"

#include <sys/resource.h>

#include <cmath>
#include <limits>

namespace kulvo {

namespace {

#ifdef __APPLE__
constexpr std::uint64_t kMaxRssUnitBytes = 1;  // already bytes
#else
constexpr std::uint64_t kMaxRssUnitBytes = 1024;  // kibibytes on Linux
#endif

constexpr std::uint64_t kMicrosPerSecond = 1'000'000;

}  // namespace

std::optional<ResourceUsage> read_resource_usage() {
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) {
        return std::nullopt;
    }
    const auto seconds =
        static_cast<std::uint64_t>(usage.ru_utime.tv_sec) + static_cast<std::uint64_t>(usage.ru_stime.tv_sec);
    const auto micros =
        static_cast<std::uint64_t>(usage.ru_utime.tv_usec) + static_cast<std::uint64_t>(usage.ru_stime.tv_usec);
    return ResourceUsage{seconds * kMicrosPerSecond + micros,
                         static_cast<std::uint64_t>(usage.ru_maxrss) * kMaxRssUnitBytes};
}

std::uint64_t saturating_u64(double value) {
    if (std::isnan(value) || value <= 0.0) {
        return 0;
    }
    // 2^64 is exactly representable; anything at or above it saturates.
    if (value >= 18446744073709551616.0) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return static_cast<std::uint64_t>(value);
}

double cpu_percent_between(std::uint64_t prev_cpu_time_us, std::uint64_t cpu_time_us, double wall_s) {
    double percent = 0.0;
    if (wall_s > 0.0 && prev_cpu_time_us != 0) {
        const std::uint64_t wall_us = saturating_u64(wall_s * 1'000'000.0);
        if (wall_us != 0) {
            const std::uint64_t used_us = cpu_time_us >= prev_cpu_time_us ? cpu_time_us - prev_cpu_time_us : 0;
            percent = static_cast<double>(used_us) / static_cast<double>(wall_us) * 100.0;
        }
    }
    return percent > 0.0 ? percent : 0.0;
}

bool is_mem_spike(std::uint64_t last_rss_bytes, std::uint64_t rss_bytes, std::uint64_t step_bytes) {
    return last_rss_bytes != 0 && rss_bytes > last_rss_bytes && rss_bytes - last_rss_bytes >= step_bytes;
}

Measurement measure_cycle(MeterState& state, Instant now_cpu, const std::optional<ResourceUsage>& usage,
                          std::uint64_t mem_flag_step_bytes) {
    const double wall_s = as_seconds(duration_between(state.prev_instant, now_cpu));
    Measurement measurement;
    std::uint64_t cpu_time_us = 0;
    if (!usage) {
        measurement.cpu_percent = kFailedCpuPercent;
        measurement.rss_bytes = 0;
    } else {
        cpu_time_us = usage->cpu_time_us;
        measurement.cpu_percent = cpu_percent_between(state.prev_cpu_time_us, cpu_time_us, wall_s);
        measurement.rss_bytes = usage->peak_rss_bytes;
        measurement.mem_spike = is_mem_spike(state.last_rss_bytes, measurement.rss_bytes, mem_flag_step_bytes);
        if (measurement.rss_bytes != 0) {
            state.last_rss_bytes = measurement.rss_bytes;
        }
    }
    state.prev_instant = now_cpu;
    state.prev_cpu_time_us = cpu_time_us;
    return measurement;
}

}  // namespace kulvo
