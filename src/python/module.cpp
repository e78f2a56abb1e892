// The extension module kulvo._core: single-phase initialisation, one per process.
#include <atomic>
#include <cstdint>

#include "exit_hook.hpp"
#include "py_errors.hpp"
#include "py_sampler.hpp"
#include "pyref.hpp"
#include "stack_capture.hpp"

namespace kulvo::py {

namespace {

// From pyproject.toml, through CMakeLists.txt.
constexpr const char* kVersion = KULVO_VERSION;

std::atomic<std::int64_t> first_interpreter_id{-1};
PyObject* module_object = nullptr;  // GIL held; strong reference once initialised

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "Kulvo profiler core extension module.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Appends `name` to __all__ (creating the list when missing), then sets the attribute.
bool add_exported(PyObject* module, const char* name, Ref value) {
    if (!value) {
        return false;
    }
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return false;
        }
    }
    const Ref name_object = Ref::steal(PyUnicode_FromString(name));
    if (!name_object || PyList_Append(all.get(), name_object.get()) < 0) {
        return false;
    }
    return PyObject_SetAttrString(module, name, value.get()) == 0;
}

bool run_module_body(PyObject* module) {
    return add_exported(module, "__version__", Ref::steal(PyUnicode_FromString(kVersion))) &&
           add_exported(module, "PySampler", Ref::borrow(py_sampler_type())) && init_frame_type() &&
           register_exit_hook();
}

PyObject* init_module() {
    const std::int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter_id < 0) {
        ensure_exception_set();
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!first_interpreter_id.compare_exchange_strong(expected, interpreter_id) && expected != interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "kulvo._core does not support sub-interpreters: it is loaded in the main interpreter only");
        return nullptr;
    }
    if (module_object != nullptr) {
        return Ref::borrow(module_object).release();
    }
    Ref module = Ref::steal(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
    if (!module || !run_module_body(module.get())) {
        ensure_exception_set();
        return nullptr;  // the cell stays empty, so a later import tries again
    }
    module_object = Ref::borrow(module.get()).release();
    return module.release();
}

}  // namespace

}  // namespace kulvo::py

// Called by kulvo._core's entry point (core_entry.cpp), so that both modules share this
// library's one copy of the engine's state.
extern "C" __attribute__((visibility("default"))) PyObject* kulvo_init_core_module() {
    return kulvo::py::translate_failures(kulvo::py::init_module);
}
