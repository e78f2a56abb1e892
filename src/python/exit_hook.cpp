#include "exit_hook.hpp"

#include "py_errors.hpp"
#include "sampler.hpp"

namespace kulvo::py {

namespace {

PyObject* stop_samplers_at_exit(PyObject* /*module*/, PyObject* /*unused*/) {
    return translate_failures([]() -> PyObject* {
        // Waits at most one interval plus one cycle; the threads need the lock meanwhile.
        PyThreadState* saved = PyEval_SaveThread();
        stop_live_sampler_threads();
        PyEval_RestoreThread(saved);
        return Py_NewRef(Py_None);
    });
}

PyMethodDef exit_hook_def = {"_stop_samplers_at_exit", stop_samplers_at_exit, METH_NOARGS,
                             "Stop every live kulvo sampler thread before the interpreter exits."};

}  // namespace

bool register_exit_hook() {
    const Ref hook = Ref::steal(PyCFunction_NewEx(&exit_hook_def, nullptr, nullptr));
    if (!hook) {
        return false;
    }
    const Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    if (!atexit) {
        return false;
    }
    const Ref registered = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    return static_cast<bool>(registered);
}

}  // namespace kulvo::py
