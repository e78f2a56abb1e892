// Turning a captured stack back into Python objects.
#pragma once

#include <span>

#include "pyref.hpp"
#include "stack_record.hpp"

namespace kulvo::py {

// GIL held. A new list of {"file", "function", "line"} dicts, or null with an exception set.
Ref stack_to_py(std::span<const FrameInfo> frames);

}  // namespace kulvo::py
