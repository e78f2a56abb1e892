// Diagnostics of internal errors on standard error, naming the thread they hit.
#pragma once

#include <string_view>

namespace kulvo {

void report_internal_error(std::string_view message);

}  // namespace kulvo
