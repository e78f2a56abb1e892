// kulvo._native.start_allocation_sampling(), stop_allocation_sampling() and
// sampled_line_totals(): allocation sampling (allocation_hooks.hpp) for the memory watcher.
#pragma once

#include "pyref.hpp"

namespace kulvo::py {

// Adds the three functions to `module`; false with an exception set.
bool add_allocation_sampling(PyObject* module);

}  // namespace kulvo::py
