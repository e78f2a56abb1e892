// Whether a thread of this process is on the CPU right now, from /proc (Linux).
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>

#include <string_view>

namespace kulvo {

enum class RunState { Running, Waiting, Unknown };

// The state letter of a /proc/<pid>/task/<tid>/stat line: R is running or runnable;
// every other state (S, D, T, ...) is off the CPU.
RunState parse_run_state(std::string_view stat_line);

// A thread's state and the standard signals (1-31) it blocks, from one stat line; the
// mask says nothing of real-time signals.
struct ThreadStat {
    RunState state = RunState::Unknown;
    std::optional<std::uint64_t> blocked_signals;  // bit n-1 for signal n

    bool blocks(int signal_number) const {
        return !blocked_signals || ((*blocked_signals >> (signal_number - 1)) & 1U) != 0;
    }
};
ThreadStat parse_thread_stat(std::string_view stat_line);

// The count of times a thread gave up its CPU to wait, from its /proc status text: a change
// tells that it waited since, which its CPU clock alone cannot tell from being preempted.
std::optional<std::uint64_t> parse_voluntary_switches(std::string_view status_text);

// Keeps the thread's stat file open, so that a reading is one pread; and reads the
// thread's CPU clock, which tells a thread that runs from one that waits for a CPU.
class ThreadRunWatch {
public:
    ThreadRunWatch(pid_t thread_id, pthread_t thread);
    // A thread known by its kernel id alone (another thread's pthread_t may be gone): its
    // clock by the kernel's encoding of a thread's CPU clock, as the C library makes it.
    explicit ThreadRunWatch(pid_t thread_id);
    ThreadRunWatch(const ThreadRunWatch&) = delete;
    ThreadRunWatch& operator=(const ThreadRunWatch&) = delete;
    ~ThreadRunWatch();

    RunState read() const { return read_stat().state; }
    ThreadStat read_stat() const;
    // The thread's CPU time in nanoseconds; 0 when it cannot be read.
    std::uint64_t cpu_time_ns() const;
    // nullopt when it cannot be read. The status file is opened at the first call.
    std::optional<std::uint64_t> voluntary_switches();

private:
    pid_t thread_id_;
    int fd_ = -1;
    int status_fd_ = -1;
    bool status_opened_ = false;
    std::optional<clockid_t> cpu_clock_;
};

}  // namespace kulvo
