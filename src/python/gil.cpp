#include "gil.hpp"

namespace kulvo::py {

PyThreadState* make_sampler_thread_state() {
    return PyThreadState_New(PyInterpreterState_Get());
}

void free_sampler_thread_state(PyThreadState* state) {
    PyThreadState_Clear(state);
    PyThreadState_Delete(state);
}

}  // namespace kulvo::py
