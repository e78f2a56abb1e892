#include "hot_paths.hpp"

#include <algorithm>
#include <string>
#include <tuple>

namespace kulvo {

std::vector<HotPath> aggregate_hot_paths(std::span<const Sample> samples, const StackTable& stacks,
                                         std::uint64_t top_n) {
    // Frames are interned by content, so a frame id is the key: counts per node first (one
    // per sample), then spread over each node's path once.
    std::vector<std::uint64_t> node_counts(stacks.node_count(), 0);
    std::uint64_t stacked_samples = 0;
    for (const Sample& sample : samples) {
        if (sample.stack == kNoStack) {
            continue;
        }
        stacked_samples += 1;
        node_counts[sample.stack] += 1;
    }
    std::vector<HotPath> hot_paths;
    if (stacked_samples == 0) {
        return hot_paths;
    }
    std::vector<std::uint64_t> frame_counts(stacks.frame_count(), 0);
    // A node's samples count for each frame on its path: pushed up the tree, children
    // (always made after their parents, so with higher ids) before their parents.
    std::vector<std::uint64_t> below = node_counts;
    for (std::size_t id = below.size(); id-- > 1;) {
        const StackNode& node = stacks.node(static_cast<StackId>(id));
        frame_counts[node.frame] += below[id];
        below[node.parent] += below[id];
    }
    for (std::size_t id = 0; id < frame_counts.size(); ++id) {
        if (frame_counts[id] == 0) {
            continue;
        }
        const FrameKey& key = stacks.frame(static_cast<FrameId>(id));
        const double percent = static_cast<double>(frame_counts[id]) / static_cast<double>(stacked_samples) * 100.0;
        hot_paths.push_back(HotPath{std::string(stacks.string(key.file)), std::string(stacks.string(key.function)),
                                    key.line, frame_counts[id], percent});
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
