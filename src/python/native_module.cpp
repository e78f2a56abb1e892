// kulvo._native: what the package needs beyond kulvo._core, from the same engine and
// binding code. Private to the package; its surface may change with it.
#include <new>

#include "allocation_sampling.hpp"
#include "exit_hook.hpp"
#include "main_thread_capture.hpp"
#include "py_errors.hpp"
#include "py_sampler.hpp"
#include "pyref.hpp"
#include "stack_capture.hpp"
#include "stack_reader_check.hpp"
#include "thread_freeze.hpp"
#include "trace_lines.hpp"

namespace kulvo::py {

namespace {

PyModuleDef native_module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "kulvo's private native module: the package's sampler, the check of its stack reader, its signal handler "
    "and the memory watcher's grouping.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* hand_over_signal(PyObject* /*module*/, PyObject* /*unused*/) {
    Py_BEGIN_ALLOW_THREADS;  // waits for a hold in flight, which never needs the lock
    FreezeSignal::hand_over();
    Py_END_ALLOW_THREADS;
    return Py_NewRef(Py_None);
}

PyMethodDef hand_over_signal_def = {
    "hand_over_signal", hand_over_signal, METH_NOARGS,
    "hand_over_signal()\n--\n\n"
    "For a program about to put its own handler on the signal that holds the main thread still:\n"
    "once it returns, no sampler sends that signal again and none is on its way."};

bool add_attribute(PyObject* module, const char* name, Ref value) {
    return value && PyObject_SetAttrString(module, name, value.get()) == 0;
}

PyObject* init_native_module() {
    Ref module = Ref::steal(PyModule_Create2(&native_module_def, PYTHON_ABI_VERSION));
    if (!module || !add_attribute(module.get(), "Sampler", Ref::borrow(weighted_sampler_type())) ||
        !add_attribute(module.get(), "kick_handler", Ref::steal(kick_handler_function())) ||
        !add_attribute(module.get(), "allow_kicks", Ref::steal(allow_kicks_function())) ||
        !add_attribute(module.get(), "hand_over_signal",
                       Ref::steal(PyCFunction_NewEx(&hand_over_signal_def, nullptr, nullptr))) ||
        !add_attribute(module.get(), "group_traces", Ref::steal(group_traces_function())) ||
        !add_attribute(module.get(), "top_growth", Ref::steal(top_growth_function())) ||
        !add_attribute(module.get(), "stacks_readable", Ref::steal(stacks_readable_function())) ||
        !add_attribute(module.get(), "stacks_unreadable_why", Ref::steal(stacks_unreadable_why_function())) ||
        !add_allocation_sampling(module.get()) || !init_frame_type() || !register_exit_hook()) {
        ensure_exception_set();
        return nullptr;
    }
    return module.release();
}

}  // namespace

}  // namespace kulvo::py

// Called by kulvo._native's entry point (native_entry.cpp).
extern "C" __attribute__((visibility("default"))) PyObject* kulvo_init_native_module() {
    try {
        return kulvo::py::init_native_module();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}
