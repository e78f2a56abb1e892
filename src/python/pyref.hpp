// The one owner of interpreter references in the binding layer: every new reference
// is owned the moment it is obtained, so no early return can leak it.
#pragma once

#ifndef Py_LIMITED_API
#error "kulvo's extension is built against the stable ABI only"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

// No Py_RETURN_NONE (or _TRUE, _FALSE): in some 3.12 headers it returns Py_None without a new
// reference even for an older stable ABI, which on 3.10 and 3.11 then frees None. Every such
// return is written `return Py_NewRef(Py_None);`, and the macros stop the build.
#undef Py_RETURN_NONE
#undef Py_RETURN_TRUE
#undef Py_RETURN_FALSE
#define Py_RETURN_NONE static_assert(false, "write return Py_NewRef(Py_None);")
#define Py_RETURN_TRUE static_assert(false, "write return Py_NewRef(Py_True);")
#define Py_RETURN_FALSE static_assert(false, "write return Py_NewRef(Py_False);")

namespace kulvo::py {

class Ref {
public:
    Ref() = default;

    // Takes over a new reference (which may be null after a failed call).
    static Ref steal(PyObject* object) { return Ref(object); }

    // Adds a reference of its own to a borrowed one.
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~Ref() { reset(); }

    [[nodiscard]] PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

    // Hands the reference to the caller (for example as a return value to Python).
    [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }

    void reset() {
        PyObject* old = std::exchange(object_, nullptr);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace kulvo::py
