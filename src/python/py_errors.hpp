// Turning engine failures into Python exceptions at the module's boundary.
#pragma once

#include <string_view>

#include "pyref.hpp"

namespace kulvo::py {

inline constexpr const char* kApiCallFailed = "Python API call failed";

// The internal-error exception: a direct subclass of BaseException, created on first use.
PyObject* panic_exception_type();

// Raises PanicException with `message` after writing the diagnostic to stderr.
void raise_internal_error(std::string_view message);

// An interpreter constructor returned nothing: print its error, then raise PanicException.
void raise_api_call_failed();

// Makes sure an exception is set after a call that reported failure.
void ensure_exception_set();

// Holds a constructor's result; on failure raises through raise_api_call_failed().
Ref checked_new(PyObject* made);

}  // namespace kulvo::py
