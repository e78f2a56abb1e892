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
// The handler touches nothing but a few atomics and sched_yield, and waits a bounded time. A
// request the thread answers late (it had the signal blocked, or was off the CPU) finds
// itself stale and returns at once.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <optional>

namespace kulvo {

// Installs the freeze handler on a real-time signal that is at its default disposition and
// not blocked in the calling thread (from the highest down, as libraries that need one tend
// to take the lowest); shared by every user in the process. nullopt: none is free.
class FreezeSignal {
public:
    static std::optional<FreezeSignal> take();
    FreezeSignal(FreezeSignal&& other) noexcept;
    FreezeSignal& operator=(FreezeSignal&&) = delete;
    FreezeSignal(const FreezeSignal&) = delete;
    FreezeSignal& operator=(const FreezeSignal&) = delete;
    // The last user puts the default disposition back, unless a signal it sent has not
    // arrived yet: under the default it would end the process, so the handler stays.
    ~FreezeSignal();

    int number() const { return number_; }
    // False once the program has put a handler of its own on the signal.
    bool still_ours() const;

private:
    explicit FreezeSignal(int number) : number_(number) {}
    int number_ = 0;
};

// Asks one thread to hold still; one request at a time in the process.
class ThreadFreeze {
public:
    // How long the thread waits for the reader at most, whatever happens to the reader.
    static constexpr std::int64_t kHoldLimitNs = 2'000'000;

    ThreadFreeze(pid_t thread_id, const FreezeSignal& signal) : thread_id_(thread_id), signal_(&signal) {}

    // Holds the thread until the hold ends. `held()` is false when the thread did not answer
    // in time: the read then goes ahead with the thread as it is.
    class Hold {
    public:
        explicit Hold(const ThreadFreeze& freeze);
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        Hold(Hold&&) = delete;
        Hold& operator=(Hold&&) = delete;
        ~Hold();
        bool held() const { return held_; }

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
