// One captured stack: the frames a walk of the main thread found. Owned strings and
// numbers only, so a record can be moved and destroyed on any thread without the GIL.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kulvo {

struct FrameInfo {
    std::string file;
    std::string function;
    std::int32_t line = 0;

    bool operator==(const FrameInfo&) const = default;
};

// Outermost frame first, the executing frame last.
struct StackSnapshot {
    std::vector<FrameInfo> frames;

    bool operator==(const StackSnapshot&) const = default;
};

// Wraps a finished frame walk: the frames are taken over unchanged, no trimming,
// reordering or copying.
inline StackSnapshot make_snapshot(std::vector<FrameInfo>&& frames) {
    return StackSnapshot{std::move(frames)};
}

}  // namespace kulvo
