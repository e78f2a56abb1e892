// Building the profile-result dict that stop() returns. Every function returns a new
// reference, or null with an exception set (PanicException when a constructor failed).
#pragma once

#include "pyref.hpp"
#include "records.hpp"

namespace kulvo::py {

// `result.stacks` names every stack id of the result.
Ref result_to_py(const ProfileResult& result);

}  // namespace kulvo::py
