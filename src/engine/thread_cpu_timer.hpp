// A timer on one thread's own CPU clock whose signal runs a callback on that thread (Linux).
//
// A signal sent from another CPU reaches a thread running in user space at its next entry
// into the kernel on some machines, so a sample taken on its arrival lands on whatever line
// makes the next system call; and a signal that arrives as the thread starts to sleep ends
// the sleep with EINTR, which a C call need not retry. A timer on the thread's own CPU clock
// has neither fault: it expires only while the thread runs, on its own CPU, and the kernel
// delivers it on the way back to user space, never inside a system call. Its price is that
// it expires on the scheduler's tick, so it fires at most once per tick (4 ms at 250 Hz).
//
// The signal is the freeze signal (thread_freeze.hpp), whose handler passes a timer's expiry
// here; a FreezeSignal must be held for as long as the timer lives.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>

#include "thread_freeze.hpp"

namespace kulvo {

class ThreadCpuTimer {
public:
    // Runs inside a signal handler on the timed thread: async-signal-safe calls only.
    using Callback = void (*)(void* context);

    // nullopt: no timer could be made (no free slot, or the kernel refused).
    static std::optional<ThreadCpuTimer> start(pid_t thread_id, pthread_t thread, std::int64_t interval_ns,
                                               const FreezeSignal& signal, Callback callback, void* context);
    ThreadCpuTimer(ThreadCpuTimer&& other) noexcept;
    ThreadCpuTimer& operator=(ThreadCpuTimer&&) = delete;
    ThreadCpuTimer(const ThreadCpuTimer&) = delete;
    ThreadCpuTimer& operator=(const ThreadCpuTimer&) = delete;
    // Once it returns, the callback is not running and will not run again, even for a
    // signal still on its way.
    ~ThreadCpuTimer();

private:
    explicit ThreadCpuTimer(int slot) : slot_(slot) {}
    int slot_ = -1;
};

// Deletes the kernel timer of every live ThreadCpuTimer, from any thread but a signal
// handler; their owners still end them as usual. A timer started after it sees its signal
// handed over (FreezeSignal::in_force) and is not made.
void delete_thread_cpu_timers();

// The freeze signal's handler calls this for a signal a timer sent (si_code SI_TIMER), with
// the value the timer carries.
void run_thread_cpu_timer(int value);

}  // namespace kulvo
