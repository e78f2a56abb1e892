// Wrapping a finished frame walk into a stack snapshot.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "records.hpp"

namespace kulvo {

// Takes the frames over unchanged: no trimming, reordering or copying.
StackSnapshot make_snapshot(std::vector<FrameInfo>&& frames);

}  // namespace kulvo

namespace kulvo {

// `bytes` as UTF-8, with every invalid sequence replaced by U+FFFD.
std::string valid_utf8(std::string_view bytes);

}  // namespace kulvo
