// Holds one thread of this process still while another thread reads its memory (Linux).
//
// A stack read from memory while its thread runs on is read over several system calls; a
// short call can return between them, and the pieces then describe no single moment. Reads
// of that kind fall disproportionately on the moments around calls and returns, so a
// profile built from them gives callers time their callees spent. Out-of-process profilers
// stop the target for each read (py-spy does by default); this is the same inside the
// process: a signal interrupts the thread at whatever instruction it is at, and its handler
// waits there until the reader is done.
//
// The signal is SIGURG, whose default action is to ignore it: one still on its way when the
// program execs, or after the handler is gone, does nothing. Standard signals do not queue,
// so a thread that blocks it never collects more than one.
//
// The handler touches nothing but a few atomics and sched_yield, and waits a bounded time. A
// request the thread answers late (it had the signal blocked, or was off the CPU) finds
// itself stale and returns at once. The same handler runs the thread's own CPU-clock timers
// (thread_cpu_timer.hpp), which send the same signal.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <optional>

namespace kulvo {

// Installs the freeze handler on SIGURG while that is at its default disposition; shared by
// every user in the process. nullopt: the program has a handler of its own on it. Whether a
// given thread blocks the signal is the caller's to check before each hold.
class FreezeSignal {
public:
    static std::optional<FreezeSignal> take();
    FreezeSignal(FreezeSignal&& other) noexcept;
    FreezeSignal& operator=(FreezeSignal&&) = delete;
    FreezeSignal(const FreezeSignal&) = delete;
    FreezeSignal& operator=(const FreezeSignal&) = delete;
    // The last user puts the default disposition back: a signal still on its way is then
    // ignored.
    ~FreezeSignal();

    int number() const { return number_; }
    // False once the program has put a handler of its own on the signal, or is about to.
    bool still_ours() const;
    // False once `hand_over()` has run since this one was taken.
    bool in_force() const;
    // For a program that is about to put a handler of its own on the signal: once this
    // returns, no timer sends it, no hold asks for it and none of ours waits anywhere, so the
    // program's handler never sees one. Every FreezeSignal taken before no longer counts as
    // ours; their users find out at their next look. Not for a signal handler.
    static void hand_over();
    // Drops the signal wherever it waits, blocked, in any thread (setting a signal to be
    // ignored does that, for a timer's signal once the timer is gone). Whatever handler is
    // on the signal stays there, the program's too.
    void discard_pending() const;

private:
    FreezeSignal(int number, std::uint64_t hand_overs) : number_(number), hand_overs_(hand_overs) {}
    int number_ = 0;
    std::uint64_t hand_overs_ = 0;  // how many hand-overs had happened when it was taken
};

// Asks one thread to hold still; one request at a time in the process.
class ThreadFreeze {
public:
    // How long the thread waits for the reader at most, whatever happens to the reader.
    static constexpr std::int64_t kHoldLimitNs = 2'000'000;

    ThreadFreeze(pid_t thread_id, const FreezeSignal& signal) : thread_id_(thread_id), signal_(&signal) {}

    // Holds the thread until `release()` or the end of the hold. `held()` is false when the
    // thread did not answer in time: the read then goes ahead with the thread as it is.
    class Hold {
    public:
        explicit Hold(const ThreadFreeze& freeze);
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        Hold(Hold&&) = delete;
        Hold& operator=(Hold&&) = delete;
        ~Hold();
        bool held() const { return held_; }
        // Lets the thread go. False when it had already gone at its own limit: what was read
        // after that was read while it ran on.
        bool release();

    private:
        std::unique_lock<std::mutex> lock_;
        std::uint32_t ticket_ = 0;
        bool held_ = false;
    };

private:
    pid_t thread_id_;
    const FreezeSignal* signal_;
};

}  // namespace kulvo
