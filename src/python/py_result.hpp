// Building the profile-result dict that stop() returns. Every function returns a new
// reference, or null with an exception set (PanicException when a constructor failed).
#pragma once

#include "pyref.hpp"
#include "records.hpp"

namespace kulvo::py {

// With `sample_weights`, each sample also carries "weight_us" and "main_thread_waiting".
// `result.stacks` names every stack id of the result.
Ref result_to_py(const ProfileResult& result, bool sample_weights = false);

}  // namespace kulvo::py
