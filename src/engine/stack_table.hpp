// Every distinct name, frame and call path of one run, held once. A sample keeps one
// small id (a node of the call tree: the path from the outermost frame to it), so its
// cost does not grow with the depth of its stack or the length of its file names.
//
// Bounded: a program that makes code for ever (exec of generated code, unique file
// names) fills the table up to its limits and no further. Past a limit, a frame or path
// that is not known yet becomes "<other>": a frame that stands for itself and everything
// it called. Each node has at most one "<other>" child, made even when the node limit
// is reached, so the nodes stay under twice their limit.
//
// Not thread-safe: written by the sampler thread only, read after it has been joined.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "stack_ids.hpp"
#include "stack_record.hpp"
#include "thread_sets.hpp"

namespace kulvo {

inline constexpr FrameId kOtherFrame = 0;  // "<other>": not kept, a limit was reached
inline constexpr std::string_view kOtherName = "<other>";

struct FrameKey {
    StringId file = 0;
    StringId function = 0;
    std::int32_t line = 0;

    bool operator==(const FrameKey&) const = default;
};

struct StackNode {
    StackId parent = kNoStack;
    FrameId frame = kOtherFrame;
    std::uint32_t depth = 0;  // frames from the outermost one to this one
};

struct StackTableLimits {
    std::size_t max_string_bytes = std::size_t{8} << 20;
    std::size_t max_strings = std::size_t{1} << 17;
    std::size_t max_frames = std::size_t{1} << 17;
    std::size_t max_nodes = std::size_t{1} << 18;
};

class StackTable {
public:
    explicit StackTable(StackTableLimits limits = {});
    StackTable(const StackTable&) = delete;
    StackTable& operator=(const StackTable&) = delete;
    StackTable(StackTable&&) = delete;  // held by pointer: the sampler thread and stop() share one
    StackTable& operator=(StackTable&&) = delete;
    ~StackTable() = default;

    // Looks the frame up by content; copies its names only the first time they are seen.
    FrameId intern_frame(std::string_view file, std::string_view function, std::int32_t line);

    // The path `parent` extended by `frame`. An "<other>" path stays itself.
    StackId extend(StackId parent, FrameId frame);

    // Frames outermost first; kNoStack for none.
    StackId intern(std::span<const FrameId> frames);
    StackId intern(const StackSnapshot& stack);

    [[nodiscard]] std::string_view string(StringId id) const { return *strings_[id]; }
    [[nodiscard]] const FrameKey& frame(FrameId id) const { return frames_[id]; }
    [[nodiscard]] const StackNode& node(StackId id) const { return nodes_[id]; }
    [[nodiscard]] std::size_t string_count() const { return strings_.size(); }
    [[nodiscard]] std::size_t frame_count() const { return frames_.size(); }
    [[nodiscard]] std::size_t node_count() const { return nodes_.size(); }

    // The path's frames, outermost first, written over `out`.
    void frames_of(StackId stack, std::vector<FrameId>& out) const;
    [[nodiscard]] StackSnapshot snapshot(StackId stack) const;

    // The other threads' stacks of each moment, as paths of this table.
    ThreadSetTable& thread_sets() { return thread_sets_; }
    [[nodiscard]] const ThreadSetTable& thread_sets() const { return thread_sets_; }

    // An estimate of the memory the table holds, containers' overheads included.
    [[nodiscard]] std::size_t bytes() const;

private:
    struct FrameKeyHash {
        std::size_t operator()(const FrameKey& key) const;
    };

    // The string's id, or none when it is new and a string limit is reached.
    std::optional<StringId> intern_string(std::string_view text);

    StackTableLimits limits_;
    std::deque<std::string> string_storage_;  // a deque: the views below never move
    std::vector<const std::string*> strings_;
    std::unordered_map<std::string_view, StringId> string_ids_;
    std::size_t string_bytes_ = 0;
    std::vector<FrameKey> frames_;
    std::unordered_map<FrameKey, FrameId, FrameKeyHash> frame_ids_;
    std::vector<StackNode> nodes_;
    std::unordered_map<std::uint64_t, StackId> children_;  // (parent << 32 | frame) -> node
    ThreadSetTable thread_sets_;
};

}  // namespace kulvo
