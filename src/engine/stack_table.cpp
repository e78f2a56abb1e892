#include "stack_table.hpp"

namespace kulvo {

namespace {

constexpr std::uint64_t child_key(StackId parent, FrameId frame) {
    return (static_cast<std::uint64_t>(parent) << 32U) | frame;
}

// Per entry of a node-based hash map: the node (next pointer, cached hash) and its bucket.
constexpr std::size_t kMapEntryOverheadBytes = 3 * sizeof(void*);

}  // namespace

std::size_t StackTable::FrameKeyHash::operator()(const FrameKey& key) const {
    std::uint64_t h = (static_cast<std::uint64_t>(key.file) << 32U) | key.function;
    h ^= static_cast<std::uint64_t>(static_cast<std::uint32_t>(key.line)) * 0x9e3779b97f4a7c15ULL;
    return std::hash<std::uint64_t>{}(h ^ (h >> 29U));
}

StackTable::StackTable(StackTableLimits limits) : limits_(limits) {
    // Id 0 of each kind is fixed: the "<other>" name and frame, and the root.
    string_storage_.emplace_back(kOtherName);
    strings_.push_back(&string_storage_.back());
    string_ids_.emplace(string_storage_.back(), 0);
    frames_.push_back(FrameKey{0, 0, 0});
    nodes_.push_back(StackNode{});
}

std::optional<StringId> StackTable::intern_string(std::string_view text) {
    if (const auto found = string_ids_.find(text); found != string_ids_.end()) {
        return found->second;
    }
    if (strings_.size() >= limits_.max_strings || string_bytes_ + text.size() > limits_.max_string_bytes) {
        return std::nullopt;
    }
    const auto id = static_cast<StringId>(strings_.size());
    string_storage_.emplace_back(text);
    strings_.push_back(&string_storage_.back());
    string_ids_.emplace(string_storage_.back(), id);
    string_bytes_ += text.size();
    return id;
}

FrameId StackTable::intern_frame(std::string_view file, std::string_view function, std::int32_t line) {
    const std::optional<StringId> file_id = intern_string(file);
    const std::optional<StringId> function_id = intern_string(function);
    if (!file_id || !function_id) {
        return kOtherFrame;
    }
    const FrameKey key{*file_id, *function_id, line};
    if (const auto found = frame_ids_.find(key); found != frame_ids_.end()) {
        return found->second;
    }
    if (frames_.size() >= limits_.max_frames) {
        return kOtherFrame;
    }
    const auto id = static_cast<FrameId>(frames_.size());
    frames_.push_back(key);
    frame_ids_.emplace(key, id);
    return id;
}

StackId StackTable::extend(StackId parent, FrameId frame) {
    if (parent != kNoStack && nodes_[parent].frame == kOtherFrame) {
        return parent;
    }
    auto found = children_.find(child_key(parent, frame));
    if (found == children_.end() && nodes_.size() >= limits_.max_nodes) {
        frame = kOtherFrame;
        found = children_.find(child_key(parent, frame));
    }
    if (found != children_.end()) {
        return found->second;
    }
    const auto id = static_cast<StackId>(nodes_.size());
    nodes_.push_back(StackNode{parent, frame, nodes_[parent].depth + 1});
    children_.emplace(child_key(parent, frame), id);
    return id;
}

StackId StackTable::intern(std::span<const FrameId> frames) {
    StackId stack = kNoStack;
    for (const FrameId frame : frames) {
        stack = extend(stack, frame);
    }
    return stack;
}

StackId StackTable::intern(const StackSnapshot& stack) {
    StackId id = kNoStack;
    for (const FrameInfo& frame : stack.frames) {
        id = extend(id, intern_frame(frame.file, frame.function, frame.line));
    }
    return id;
}

void StackTable::frames_of(StackId stack, std::vector<FrameId>& out) const {
    out.resize(nodes_[stack].depth);
    for (StackId at = stack; at != kNoStack; at = nodes_[at].parent) {
        out[nodes_[at].depth - 1] = nodes_[at].frame;
    }
}

StackSnapshot StackTable::snapshot(StackId stack) const {
    std::vector<FrameId> ids;
    frames_of(stack, ids);
    StackSnapshot snapshot;
    snapshot.frames.reserve(ids.size());
    for (const FrameId id : ids) {
        const FrameKey& key = frames_[id];
        snapshot.frames.push_back(
            FrameInfo{std::string(string(key.file)), std::string(string(key.function)), key.line});
    }
    return snapshot;
}

std::size_t StackTable::bytes() const {
    std::size_t total = sizeof(*this) + string_bytes_;
    total += string_storage_.size() * sizeof(std::string) + strings_.capacity() * sizeof(const std::string*);
    total += string_ids_.size() * (sizeof(std::pair<std::string_view, StringId>) + kMapEntryOverheadBytes);
    total += frames_.capacity() * sizeof(FrameKey);
    total += frame_ids_.size() * (sizeof(std::pair<FrameKey, FrameId>) + kMapEntryOverheadBytes);
    total += nodes_.capacity() * sizeof(StackNode);
    total += children_.size() * (sizeof(std::pair<std::uint64_t, StackId>) + kMapEntryOverheadBytes);
    return total + thread_sets_.bytes();
}

}  // namespace kulvo
