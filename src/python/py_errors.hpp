// Turning engine failures into Python exceptions at the module's boundary.
#pragma once

#include <exception>
#include <new>
#include <string_view>

#include "error.hpp"
#include "pyref.hpp"

namespace kulvo::py {

inline constexpr const char* kApiCallFailed = "Python API call failed";

// The internal-error exception: a direct subclass of BaseException, created on first use.
PyObject* panic_exception_type();

// Raises PanicException with `message` after writing the diagnostic to stderr.
void raise_internal_error(std::string_view message);

// A validation error as ValueError, an internal one as PanicException.
void raise_error(const Error& error);

// An interpreter constructor returned nothing: print its error, then raise PanicException.
void raise_api_call_failed();

// Makes sure an exception is set after a call that reported failure.
void ensure_exception_set();

// Holds a constructor's result; on failure raises through raise_api_call_failed().
Ref checked_new(PyObject* made);

// Every entry point into the module runs its body through this: the one place where
// C++ exceptions become Python exceptions. No catch-all: a forced unwind of a thread
// that the interpreter ends at exit must pass through.
template <typename Body>
PyObject* translate_failures(Body body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_internal_error(error.what());
        return nullptr;
    }
}

}  // namespace kulvo::py
