// Stacks read where the main thread really is. The sampler thread asks; the main thread
// answers from a pending call at its next check between bytecodes, reading its own stack
// in place. Where it cannot answer in time (off the CPU in a sleep, a read or a lock wait,
// or in a long call that gave the interpreter lock up) the sampler thread takes the lock
// and reads the stack itself, the blocking call's line on top.
//
// Before 3.13 a pending call posted from another thread does not raise the main thread's
// "something to do" flag: only a signal handled on the main thread does. There the
// sampler also sends the main thread a real-time signal whose Python-level handler is a
// no-op (installed by the package, SA_RESTART set here); the signal makes the main thread
// recompute the flag, which then covers the pending call too.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <memory>

#include "pyref.hpp"
#include "sampler.hpp"

namespace kulvo::py {

struct MainThreadTarget {
    pid_t native_id = 0;  // the main thread's kernel thread id
    pthread_t thread{};   // and its POSIX handle (threading's ident)
    int kick_signal = 0;  // 0: no signal (3.13+, or none could be used)
    // Before 3.13 and without the signal, a request would wait for the next forced switch:
    // then the stack is read at the lock's hand-over straight away.
    bool answers_requests = true;
    // On 3.11+ the checks between bytecodes sit at function entries and backward jumps: a
    // stack caught on a function's first line was running the caller's code until then.
    bool entry_to_caller = true;
};

// Whether this interpreter's main thread runs a pending call from another thread promptly
// without a signal (3.13 and later).
bool pending_calls_reach_main_thread();

// Adds SA_RESTART to the signal's current action, so that system calls interrupted by a
// kick resume instead of failing with EINTR. False when the action cannot be read or set.
bool restart_after_kick(int signal_number);

std::unique_ptr<StackSource> main_thread_source(const MainThreadTarget& target, PyThreadState* sampler_thread_state);

// The no-op Python-level handler for the kick signal.
PyObject* kick_handler_function();

// allow_kicks(bool): the package stops the kicks when the program takes the signal or sets a
// wakeup fd, which every kick would write to.
PyObject* allow_kicks_function();

}  // namespace kulvo::py
