#include "py_errors.hpp"

#include <string>

#include "diagnostics.hpp"

namespace kulvo::py {

namespace {

constexpr const char* kPanicDoc =
    "Raised when kulvo's native core meets an internal error.\n\n"
    "Derives from BaseException, so that an ordinary ``except Exception`` does not swallow it.";

}  // namespace

PyObject* panic_exception_type() {
    // GIL held; created once and kept for the life of the process.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("kulvo._core.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_internal_error(std::string_view message) {
    report_internal_error(message);
    const std::string text(message);
    PyObject* type = panic_exception_type();
    if (type != nullptr) {
        PyErr_SetString(type, text.c_str());
    }
}

void raise_error(const Error& error) {
    if (error.kind == Error::Kind::Validation) {
        PyErr_SetString(PyExc_ValueError, error.message.c_str());
    } else {
        raise_internal_error(error.message);
    }
}

void raise_api_call_failed() {
    if (PyErr_Occurred() != nullptr) {
        PyErr_Print();
    }
    raise_internal_error(kApiCallFailed);
}

void ensure_exception_set() {
    if (PyErr_Occurred() == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
}

Ref checked_new(PyObject* made) {
    if (made == nullptr) {
        raise_api_call_failed();
    }
    return Ref::steal(made);
}

}  // namespace kulvo::py
