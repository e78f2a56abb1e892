#include "spikes.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "metering.hpp"

namespace kulvo {

namespace {

constexpr std::size_t kMinBaselineSamples = 5;

// One kind's pass over the samples: every maximal run strictly above the threshold.
class SpikeScan {
public:
    SpikeScan(SpikeKind kind, double threshold, std::vector<SpikeEvent>& events)
        : kind(kind), threshold(threshold), events(events) {}

    void visit(const Sample& sample, double value) {
        const bool above = value > threshold;  // NaN and equality are not above
        if (above && !open) {
            open = SpikeEvent{kind, sample.timestamp_ms, sample.timestamp_ms, value, threshold, kNoStack};
            peak_sample = &sample;
        } else if (above) {
            open->end_ms = sample.timestamp_ms;
            if (value > open->peak_value) {  // strictly: the earliest of equal maxima wins
                open->peak_value = value;
                peak_sample = &sample;
            }
        } else {
            close();
        }
    }

    void close() {
        if (open) {
            // Set once the peak is final: a rising memory run sets a new peak nearly every sample.
            open->peak_stack = peak_sample->stack;
            events.push_back(*open);
            open.reset();
        }
    }

private:
    SpikeKind kind;
    double threshold;
    std::vector<SpikeEvent>& events;
    std::optional<SpikeEvent> open;       // the run in progress
    const Sample* peak_sample = nullptr;  // the sample that set the run's peak
};

}  // namespace

void RunningStats::add(double value) {
    count += 1;
    const double delta = value - mean;
    mean += delta / static_cast<double>(count);
    m2 += (value - mean) * delta;
}

double RunningStats::stddev() const {
    if (count < 2) {
        return 0.0;
    }
    return std::sqrt(m2 / static_cast<double>(count - 1));
}

double spike_threshold(const RunningStats& stats, double sigma, double margin) {
    const double by_sigma = stats.mean + sigma * stats.stddev();
    const double by_margin = stats.mean + margin;
    const double threshold = std::fmax(by_sigma, by_margin);  // fmax ignores a NaN operand
    return threshold > 0.0 ? threshold : 0.0;
}

std::size_t baseline_window_size(std::span<const Sample> samples, double baseline_fraction) {
    if (samples.empty()) {
        return 0;
    }
    const std::uint64_t cutoff = saturating_u64(static_cast<double>(samples.back().timestamp_ms) * baseline_fraction);
    const auto end = std::partition_point(samples.begin(), samples.end(),
                                          [cutoff](const Sample& s) { return s.timestamp_ms <= cutoff; });
    const auto n = static_cast<std::size_t>(end - samples.begin());
    return n < kMinBaselineSamples ? samples.size() : n;
}

std::vector<SpikeEvent> detect_spikes(std::span<const Sample> samples, const SamplerConfig& config) {
    std::vector<SpikeEvent> events;
    if (samples.empty()) {
        return events;
    }
    RunningStats cpu;
    RunningStats memory;
    for (const Sample& sample : samples.first(baseline_window_size(samples, config.baseline_fraction))) {
        if (sample.cpu_percent >= 0.0) {  // also false for NaN; -1.0 marks a failed reading
            cpu.add(sample.cpu_percent);
        }
        if (sample.rss_bytes != 0) {
            memory.add(static_cast<double>(sample.rss_bytes));
        }
    }
    const double cpu_threshold = spike_threshold(cpu, config.spike_sigma, config.cpu_spike_margin);
    const double memory_threshold =
        spike_threshold(memory, config.spike_sigma, static_cast<double>(config.mem_spike_margin_bytes));

    SpikeScan cpu_scan{SpikeKind::Cpu, cpu_threshold, events};
    for (const Sample& sample : samples) {
        cpu_scan.visit(sample, sample.cpu_percent);
    }
    cpu_scan.close();
    SpikeScan memory_scan{SpikeKind::Memory, memory_threshold, events};
    for (const Sample& sample : samples) {
        memory_scan.visit(sample, static_cast<double>(sample.rss_bytes));
    }
    memory_scan.close();

    std::stable_sort(events.begin(), events.end(),
                     [](const SpikeEvent& a, const SpikeEvent& b) { return a.start_ms < b.start_ms; });
    return events;
}

}  // namespace kulvo
