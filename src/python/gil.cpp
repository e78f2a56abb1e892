#include "gil.hpp"

namespace kulvo::py {

PyThreadState* make_sampler_thread_state() {
    return PyThreadState_New(PyInterpreterState_Get());
}

void SamplerThreadGil::finish() {
    if (state_ == nullptr) {
        return;
    }
    PyEval_RestoreThread(state_);
    PyThreadState_Clear(state_);
    PyEval_SaveThread();
    PyThreadState_Delete(state_);
    state_ = nullptr;
}

void free_unused_thread_state(PyThreadState* state) {
    PyThreadState_Clear(state);
    PyThreadState_Delete(state);
}

}  // namespace kulvo::py
