// Spike detection over the drained samples: runs of CPU or memory readings above a
// threshold learnt from the run's first part. Runs after the sampler thread has been joined.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "records.hpp"
#include "sampler_config.hpp"

namespace kulvo {

// Samples in chronological order (non-decreasing timestamp_ms) -> events sorted by
// start_ms, CPU before memory on equal starts.
std::vector<SpikeEvent> detect_spikes(std::span<const Sample> samples, const SamplerConfig& config);

// Mean and sample standard deviation by Welford's method; exposed for tests.
struct RunningStats {
    std::uint64_t count = 0;
    double mean = 0.0;
    double m2 = 0.0;

    void add(double value);
    [[nodiscard]] double stddev() const;
};

// max(mean + sigma * stddev, mean + margin), NaN ignored, never below 0.0.
double spike_threshold(const RunningStats& stats, double sigma, double margin);

// Number of leading samples inside the baseline window.
std::size_t baseline_window_size(std::span<const Sample> samples, double baseline_fraction);

}  // namespace kulvo
