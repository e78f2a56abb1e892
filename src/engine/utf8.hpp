// Repair of text read from the interpreter, so that every string the engine keeps is
// valid UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace kulvo {

// `bytes` as UTF-8, with every invalid sequence replaced by U+FFFD.
std::string valid_utf8(std::string_view bytes);

}  // namespace kulvo
