// The PySampler class as Python sees it.
#pragma once

#include "pyref.hpp"

namespace kulvo::py {

// The class object, created on first use; a borrowed reference, or null with an error set.
PyObject* py_sampler_type();

// The package's sampler (kulvo._native.Sampler): PySampler's methods, stacks read where the
// main thread is, and weighted samples. Borrowed reference, or null with an exception set.
PyObject* weighted_sampler_type();

}  // namespace kulvo::py
