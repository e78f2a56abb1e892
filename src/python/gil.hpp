// The interpreter lock as the sampler thread and stop() hold it.
#pragma once

#include "pyref.hpp"

namespace kulvo::py {

// The sampler thread's one thread state. It is made by the Python thread that starts the
// sampler, with the lock held, and freed by the one that stops it, after the join, again
// with the lock held: made on the sampler thread (as PyGILState_Ensure does) its memory
// would be allocated without the lock, which races with tracemalloc being started and
// stopped on another thread; made and freed on every capture it would also cost a few
// microseconds each time. A sampler released without stop() leaves its thread state to the
// interpreter, which frees every thread state at exit.
PyThreadState* make_sampler_thread_state();            // GIL held
void free_sampler_thread_state(PyThreadState* state);  // GIL held; its thread has ended

// The lock taken and given up with that thread state. Sampler thread only.
class SamplerThreadGil {
public:
    explicit SamplerThreadGil(PyThreadState* state) : state_(state) {}

    void acquire() { PyEval_RestoreThread(state_); }
    void release() { state_ = PyEval_SaveThread(); }

private:
    PyThreadState* state_;  // borrowed: owned by the PySampler that started the thread
};

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
