// The interpreter lock as the sampler thread and stop() hold it.
#pragma once

#include "pyref.hpp"

namespace kulvo::py {

// The sampler thread's one thread state. It is made by the Python thread that starts the
// sampler, with the lock held: made on the sampler thread (as PyGILState_Ensure does) its
// memory would be allocated without the lock, which races with tracemalloc being started
// and stopped on another thread; made and freed on every capture it would also cost a few
// microseconds each time. The sampler thread frees it after its last capture: from 3.12
// activating a thread state ties it to the thread that activates it, and freeing it on any
// other thread would untie that thread's own.
PyThreadState* make_sampler_thread_state();  // GIL held

// The lock taken and given up with that thread state. Sampler thread only.
class SamplerThreadGil {
public:
    explicit SamplerThreadGil(PyThreadState* state) : state_(state) {}

    void acquire() { PyEval_RestoreThread(state_); }
    void release() { state_ = PyEval_SaveThread(); }
    // Frees the thread state. Not a destructor: taking the lock at interpreter exit may end
    // the thread with a forced unwind, which must not meet a noexcept frame.
    void finish();

private:
    PyThreadState* state_;
};

// Frees a thread state that was never activated (its thread did not start). GIL held.
void free_unused_thread_state(PyThreadState* state);

// Keeps the cyclic garbage collector off for a scope, restoring its previous state. On the
// sampler thread it keeps a collection (and the program's finalizers, which may wait for a
// lock the main thread holds) from running there.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable() != 0) {}
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;
    ~GcPause() {
        if (was_enabled_) {
            PyGC_Enable();
        }
    }

private:
    bool was_enabled_;
};

}  // namespace kulvo::py
