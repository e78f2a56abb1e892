// The ids a run's stack table hands out, for records that hold them without the table.
#pragma once

#include <cstdint>

namespace kulvo {

using StringId = std::uint32_t;
using FrameId = std::uint32_t;
using StackId = std::uint32_t;

inline constexpr StackId kNoStack = 0;  // the root: a sample without a stack

}  // namespace kulvo
