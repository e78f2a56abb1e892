// Arbitrary sample sequences through detect_spikes and aggregate_hot_paths, checked
// against what the profile result promises its readers.
//
// Input layout (see make_seeds.py):
//   u8 top_n (255: unlimited), u8 mode (bit 0: raw values)
//   then per sample, in the plain mode: u16 timestamp_ms, u16 cpu (0xFFFF: failed
//   reading, else cpu / 64 percent), u16 rss in 64 KiB units (0: failed reading),
//   u8 stack depth (0: no stack, at most 15), u8 frame seed;
//   in the raw mode: u64 timestamp_ms, f64 cpu_percent bits, u64 rss_bytes, u8 depth, u8 seed.
// Timestamps are sorted (stably) before the analysis, which requires chronological order.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "fuzz_input.hpp"
#include "hot_paths.hpp"
#include "records.hpp"
#include "sampler_config.hpp"
#include "spikes.hpp"

namespace kulvo::fuzz {
namespace {

constexpr std::size_t kMaxSamples = 4096;
constexpr std::size_t kMaxDepth = 15;

// Few distinct names and lines, so that keys repeat across samples and within one
// stack (recursion), and counts tie.
FrameInfo frame_for(std::uint8_t seed, std::size_t depth_index) {
    static const char* const kFiles[] = {"app.py", "lib/util.py", "<string>"};
    static const char* const kFunctions[] = {"<module>", "main", "work", "recurse", "\xC3\xA9t\xC3\xA9"};
    const auto k = static_cast<unsigned>(depth_index);
    return FrameInfo{kFiles[(seed + k) % 3], kFunctions[((seed >> 2U) + k) % 5],
                     static_cast<std::int32_t>((seed * (k + 1)) % 7) - 1};
}

struct Decoded {
    std::uint64_t top_n = 0;
    bool raw = false;
    std::vector<Sample> samples;
    std::unique_ptr<StackTable> stacks = std::make_unique<StackTable>();
};

Decoded decode(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    Decoded decoded;
    const std::uint8_t top_n = in.u8();
    decoded.top_n = top_n == 255 ? std::numeric_limits<std::uint64_t>::max() : top_n;
    decoded.raw = (in.u8() & 1U) != 0;
    while (!in.empty() && decoded.samples.size() < kMaxSamples) {
        Sample sample;
        if (decoded.raw) {
            sample.timestamp_ms = in.u64();
            sample.cpu_percent = in.raw_double();
            sample.rss_bytes = in.u64();
        } else {
            sample.timestamp_ms = in.u16();
            const std::uint16_t cpu = in.u16();
            sample.cpu_percent = cpu == 0xFFFF ? -1.0 : cpu / 64.0;
            sample.rss_bytes = static_cast<std::uint64_t>(in.u16()) * 65536;
        }
        const std::size_t depth = in.u8() % (kMaxDepth + 1);
        const std::uint8_t seed = in.u8();
        if (depth > 0) {
            StackSnapshot stack;
            for (std::size_t i = 0; i < depth; ++i) {
                stack.frames.push_back(frame_for(seed, i));
            }
            sample.stack = decoded.stacks->intern(stack);
        }
        decoded.samples.push_back(sample);
    }
    std::stable_sort(decoded.samples.begin(), decoded.samples.end(),
                     [](const Sample& a, const Sample& b) { return a.timestamp_ms < b.timestamp_ms; });
    return decoded;
}

double value_of(const Sample& sample, SpikeKind kind) {
    return kind == SpikeKind::Cpu ? sample.cpu_percent : static_cast<double>(sample.rss_bytes);
}

// A run is maximal and contiguous: every sample strictly inside its time span belongs
// to it, so it is above the threshold and not above the peak.
void check_run_is_contiguous(std::span<const Sample> samples, const SpikeEvent& event) {
    for (const Sample& sample : samples) {
        if (sample.timestamp_ms > event.start_ms && sample.timestamp_ms < event.end_ms) {
            const double value = value_of(sample, event.kind);
            KULVO_FUZZ_CHECK(value > event.threshold);
            KULVO_FUZZ_CHECK(value <= event.peak_value);
        }
    }
}

// Nothing above a kind's threshold is left outside every event of that kind.
void check_nothing_left_out(std::span<const Sample> samples, const std::vector<SpikeEvent>& events, SpikeKind kind,
                            double threshold) {
    for (const Sample& sample : samples) {
        if (value_of(sample, kind) > threshold) {
            KULVO_FUZZ_CHECK(std::any_of(events.begin(), events.end(), [&](const SpikeEvent& e) {
                return e.kind == kind && e.start_ms <= sample.timestamp_ms && sample.timestamp_ms <= e.end_ms;
            }));
        }
    }
}

void check_spikes(std::span<const Sample> samples, const std::vector<SpikeEvent>& events, const SamplerConfig& config) {
    if (samples.empty()) {
        KULVO_FUZZ_CHECK(events.empty());
        return;
    }
    // The margins hold whenever the readings are numbers a sampler can produce; an
    // infinite CPU reading makes the baseline's mean meaningless.
    const bool finite_cpu =
        std::all_of(samples.begin(), samples.end(), [](const Sample& s) { return !std::isinf(s.cpu_percent); });
    const std::uint64_t first_ms = samples.front().timestamp_ms;
    const std::uint64_t last_ms = samples.back().timestamp_ms;
    const SpikeEvent* previous_of_kind[2] = {nullptr, nullptr};
    for (std::size_t i = 0; i < events.size(); ++i) {
        const SpikeEvent& event = events[i];
        KULVO_FUZZ_CHECK(first_ms <= event.start_ms);
        KULVO_FUZZ_CHECK(event.start_ms <= event.end_ms);
        KULVO_FUZZ_CHECK(event.end_ms <= last_ms);
        KULVO_FUZZ_CHECK(event.peak_value > event.threshold);
        if (event.kind == SpikeKind::Cpu) {
            KULVO_FUZZ_CHECK(!finite_cpu || event.threshold >= config.cpu_spike_margin);
        } else {
            KULVO_FUZZ_CHECK(event.threshold >= static_cast<double>(config.mem_spike_margin_bytes));
        }
        if (i > 0) {
            const SpikeEvent& before = events[i - 1];
            KULVO_FUZZ_CHECK(before.start_ms <= event.start_ms);
            // Stable order: on equal starts every CPU event comes before any memory event.
            KULVO_FUZZ_CHECK(!(before.start_ms == event.start_ms && before.kind == SpikeKind::Memory &&
                               event.kind == SpikeKind::Cpu));
        }
        // One threshold per kind, and runs of one kind follow each other without overlap.
        const SpikeEvent*& previous = previous_of_kind[event.kind == SpikeKind::Cpu ? 0 : 1];
        if (previous != nullptr) {
            KULVO_FUZZ_CHECK(previous->threshold == event.threshold);
            KULVO_FUZZ_CHECK(previous->end_ms <= event.start_ms);
        }
        previous = &event;
        check_run_is_contiguous(samples, event);
    }
    for (const SpikeEvent* any : previous_of_kind) {
        if (any != nullptr) {
            check_nothing_left_out(samples, events, any->kind, any->threshold);
        }
    }
}

void check_hot_paths(std::span<const Sample> samples, const StackTable& stacks, const std::vector<HotPath>& hot_paths,
                     std::uint64_t top_n) {
    // An independent count: ordered map instead of the hash map, full strings as keys.
    using Key = std::tuple<std::string, std::string, std::int32_t>;
    std::map<Key, std::uint64_t> counts;
    std::uint64_t total_frames = 0;
    std::uint64_t stacked = 0;
    for (const Sample& sample : samples) {
        if (sample.stack != kNoStack) {
            ++stacked;
            for (const FrameInfo& frame : stacks.snapshot(sample.stack).frames) {
                ++counts[Key{frame.file, frame.function, frame.line}];
                ++total_frames;
            }
        }
    }
    KULVO_FUZZ_CHECK(hot_paths.size() <= top_n);
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < hot_paths.size(); ++i) {
        const HotPath& path = hot_paths[i];
        sum += path.count;
        const auto found = counts.find(Key{path.file, path.function, path.line});
        KULVO_FUZZ_CHECK(found != counts.end());
        KULVO_FUZZ_CHECK(found->second == path.count);
        KULVO_FUZZ_CHECK(std::fabs(path.percent - static_cast<double>(path.count) / static_cast<double>(stacked) *
                                                      100.0) <= 1e-9 * path.percent);
        if (i > 0) {
            KULVO_FUZZ_CHECK(hot_paths[i - 1].count >= path.count);
        }
    }
    KULVO_FUZZ_CHECK(sum <= total_frames);
    if (top_n >= counts.size()) {
        KULVO_FUZZ_CHECK(sum == total_frames);
        KULVO_FUZZ_CHECK(hot_paths.size() == counts.size());
    }
    // The cut keeps the highest counts: nothing left out counts more than the last kept.
    if (!hot_paths.empty() && hot_paths.size() < counts.size()) {
        const std::uint64_t lowest_kept = hot_paths.back().count;
        std::uint64_t above = 0;
        for (const auto& [key, count] : counts) {
            above += count > lowest_kept ? 1 : 0;
        }
        KULVO_FUZZ_CHECK(above < hot_paths.size());
    }
    if (stacked == 0) {
        KULVO_FUZZ_CHECK(hot_paths.empty());
    }
    // The exact ranking: count descending, then file, function, line ascending.
    std::vector<std::pair<std::uint64_t, Key>> ranked;
    ranked.reserve(counts.size());
    for (const auto& [key, count] : counts) {
        ranked.emplace_back(count, key);
    }
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    KULVO_FUZZ_CHECK(hot_paths.size() == std::min<std::uint64_t>(top_n, ranked.size()));
    for (std::size_t i = 0; i < hot_paths.size(); ++i) {
        KULVO_FUZZ_CHECK(ranked[i].first == hot_paths[i].count);
        KULVO_FUZZ_CHECK(ranked[i].second == (Key{hot_paths[i].file, hot_paths[i].function, hot_paths[i].line}));
    }
}

}  // namespace
}  // namespace kulvo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kulvo;
    const fuzz::Decoded decoded = fuzz::decode(data, size);
    const SamplerConfig config;  // the margins and sigma every profile uses
    const std::vector<SpikeEvent> events = detect_spikes(decoded.samples, config);
    fuzz::check_spikes(decoded.samples, events, config);
    const std::vector<HotPath> hot_paths = aggregate_hot_paths(decoded.samples, *decoded.stacks, decoded.top_n);
    fuzz::check_hot_paths(decoded.samples, *decoded.stacks, hot_paths, decoded.top_n);
    return 0;
}
