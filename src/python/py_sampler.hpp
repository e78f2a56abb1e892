// The PySampler class as Python sees it.
#pragma once

#include "pyref.hpp"

namespace kulvo::py {

// The class object, created on first use; a borrowed reference, or null with an error set.
PyObject* py_sampler_type();

}  // namespace kulvo::py
