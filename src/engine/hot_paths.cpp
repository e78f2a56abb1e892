#include "hot_paths.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>

namespace kulvo {

namespace {

struct HotPathKey {
    std::string_view file;
    std::string_view function;
    std::int32_t line;

    bool operator==(const HotPathKey&) const = default;
};

// Hashes the function name, the line and only the tail of the file path: paths are long
// and share their beginnings, and equal keys are still compared in full.
struct HotPathKeyHash {
    static constexpr std::size_t kFileTailBytes = 24;

    std::size_t operator()(const HotPathKey& key) const {
        const std::string_view tail =
            key.file.size() > kFileTailBytes ? key.file.substr(key.file.size() - kFileTailBytes) : key.file;
        std::size_t h = std::hash<std::string_view>{}(key.function);
        h ^= std::hash<std::string_view>{}(tail) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
        h ^= (static_cast<std::size_t>(static_cast<std::uint32_t>(key.line)) << 20 | key.file.size()) +
             0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
        return h;
    }
};

}  // namespace

std::vector<HotPath> aggregate_hot_paths(std::span<const Sample> samples, std::uint64_t top_n) {
    // Keys view the samples' own strings: no copy per frame, one per distinct key.
    std::unordered_map<HotPathKey, std::uint64_t, HotPathKeyHash> hot_path_counts;
    std::uint64_t stacked_samples = 0;
    for (const Sample& sample : samples) {
        if (!sample.stack) {
            continue;
        }
        stacked_samples += 1;
        for (const FrameInfo& frame : sample.stack->frames) {
            hot_path_counts[HotPathKey{frame.file, frame.function, frame.line}] += 1;
        }
    }
    std::vector<HotPath> hot_paths;
    if (stacked_samples == 0) {
        return hot_paths;
    }
    hot_paths.reserve(hot_path_counts.size());
    for (const auto& [key, count] : hot_path_counts) {
        const double percent = static_cast<double>(count) / static_cast<double>(stacked_samples) * 100.0;
        hot_paths.push_back(HotPath{std::string(key.file), std::string(key.function), key.line, count, percent});
    }
    // A total order, so that one profile always ranks the same way.
    std::sort(hot_paths.begin(), hot_paths.end(), [](const HotPath& a, const HotPath& b) {
        if (a.count != b.count) {
            return a.count > b.count;
        }
        return std::tie(a.file, a.function, a.line) < std::tie(b.file, b.function, b.line);
    });
    if (hot_paths.size() > top_n) {
        hot_paths.resize(static_cast<std::size_t>(top_n));
    }
    return hot_paths;
}

}  // namespace kulvo
