// The main thread's stack for the sampler thread, read from memory (memory_stack_reader.hpp).
//
// A thread that has not run since the last read stands where it stood then, and one that
// waits is read as it waits. A thread that runs copies its own stack: a timer on its CPU
// clock (thread_cpu_timer.hpp) interrupts it where it is, and its signal handler copies the
// frame chain before the thread goes on; the sampler thread resolves the copies. The timer
// fires on the scheduler's tick, more rarely than a short interval, so a slot in which the
// thread ran takes the newest copy of its stretch of running, which stands until the next.
// Where no timer can be made, the sampler thread holds the thread still for each read
// (thread_freeze.hpp) instead.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "memory_stack_reader.hpp"
#include "other_threads.hpp"
#include "sampler.hpp"
#include "thread_freeze.hpp"

namespace kulvo::py {

// Whether the thread was held still for its reads, for the profile's notes.
enum class HeldReads : int { Held, NoFreeSignal, SignalTaken };

// How the reads of a thread on a CPU went, for the profile's notes and the benchmarks.
struct HoldCounts {
    static constexpr std::size_t kHoldBuckets = 4096;  // one per microsecond; the last one is "longer"

    std::atomic<HeldReads> reason{HeldReads::Held};
    std::atomic<std::uint64_t> running{0};     // reads of a thread that was on a CPU
    std::atomic<std::uint64_t> blocked{0};     // of those: not signalled, the thread blocked the signal
    std::atomic<std::uint64_t> unanswered{0};  // of those: held, but not for the whole read
    // Of those: read as the thread ran, before its timer copied its stack in that stretch of
    // running; the reader checks what it reads, as it does without a signal.
    std::atomic<std::uint64_t> uncopied{0};
    std::atomic<std::uint64_t> copied{0};  // copies the thread made of its own stack
    // Of the reads as the thread ran: answered by a copy an earlier read had used, because the
    // timer's tick came more rarely than the reads.
    std::atomic<std::uint64_t> reused{0};
    // Reads as the thread ran whose frames changed under them, and of those, the ones that
    // changed at every attempt: the stack read before stands in for them.
    std::atomic<std::uint64_t> changed{0};
    std::atomic<std::uint64_t> dropped{0};
    // How long the thread stood still for each copy or held read.
    std::array<std::atomic<std::uint32_t>, kHoldBuckets> hold_us{};
};

// `freeze_signal` is the signal the thread's timer (or, without one, each hold) uses;
// without it, or once the program has put its own handler on it, reads go ahead as the
// thread runs. `counts` says how often, and why. With `others`, each sample has the other
// threads' stacks too.
std::unique_ptr<StackSource> memory_stack_source(const StackReaderPlace& place, pid_t native_id, pthread_t thread,
                                                 std::int64_t interval_ns, std::optional<FreezeSignal> freeze_signal,
                                                 std::shared_ptr<HoldCounts> counts,
                                                 std::unique_ptr<OtherThreads> others);

}  // namespace kulvo::py
