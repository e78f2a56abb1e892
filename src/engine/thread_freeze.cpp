#include "thread_freeze.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>

namespace kulvo {

namespace {

// How long the reader waits for the thread to answer: a thread on a CPU answers within
// microseconds; one that is not (waiting for a CPU, deep in a system call) does not move
// its stack either, so the read goes ahead.
constexpr std::int64_t kAnswerLimitNs = 200'000;

// Tickets: a request is in flight while `released` lags `requested`.
struct Channel {
    std::atomic<std::uint32_t> requested{0};
    std::atomic<std::uint32_t> held{0};
    std::atomic<std::uint32_t> released{0};
    std::atomic<std::uint64_t> sent{0};
    std::atomic<std::uint64_t> arrived{0};
};

Channel channel;
std::mutex request_mutex;  // taken by reading threads only, never by a held thread

std::mutex install_mutex;
int installed_number = 0;  // the signal with kulvo's handler, kept while users > 0 or signals are due
int users = 0;

std::int64_t now_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Waits until `word` holds `wanted`, at most `limit_ns`; only async-signal-safe calls. Both
// sides spin, yielding the CPU to a partner that shares it: a wake-up through a futex would
// make the scheduler move the sampler thread onto the main thread's CPU, where its later
// wake-ups wait for the main thread to block, and samples would shift to where it blocks.
bool wait_for(const std::atomic<std::uint32_t>& word, std::uint32_t wanted, std::int64_t limit_ns) {
    const std::int64_t start = now_ns();
    while (word.load(std::memory_order_acquire) != wanted) {
        if (now_ns() - start >= limit_ns) {
            return false;
        }
        syscall(SYS_sched_yield);
    }
    return true;
}

void on_freeze_signal(int /*signal*/) {
    const int saved_errno = errno;
    // Counted on arrival: the last user may put the default back while this one waits.
    channel.arrived.fetch_add(1, std::memory_order_release);
    const std::uint32_t ticket = channel.requested.load(std::memory_order_acquire);
    if (channel.released.load(std::memory_order_acquire) != ticket) {
        channel.held.store(ticket, std::memory_order_release);
        wait_for(channel.released, ticket, ThreadFreeze::kHoldLimitNs);
    }
    errno = saved_errno;
}

bool handler_installed(int number) {
    struct sigaction current {};
    return sigaction(number, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
           current.sa_handler == on_freeze_signal;
}

bool install_on_free_signal(int number, const sigset_t& blocked) {
    struct sigaction current {};
    if (sigismember(&blocked, number) == 1 || sigaction(number, nullptr, &current) != 0 ||
        (current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) {
        return false;
    }
    struct sigaction ours {};
    ours.sa_handler = on_freeze_signal;
    // System calls the signal interrupts resume where they can; Python retries the rest.
    ours.sa_flags = SA_RESTART;
    sigemptyset(&ours.sa_mask);
    return sigaction(number, &ours, nullptr) == 0;
}

}  // namespace

std::optional<FreezeSignal> FreezeSignal::take() {
    const std::lock_guard lock(install_mutex);
    if (installed_number != 0 && (users > 0 || handler_installed(installed_number))) {
        ++users;
        return FreezeSignal(installed_number);
    }
    sigset_t blocked;
    sigemptyset(&blocked);
    pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
    for (int number = SIGRTMAX; number >= SIGRTMIN; --number) {
        if (install_on_free_signal(number, blocked)) {
            installed_number = number;
            users = 1;
            return FreezeSignal(number);
        }
    }
    installed_number = 0;
    return std::nullopt;
}

FreezeSignal::FreezeSignal(FreezeSignal&& other) noexcept : number_(other.number_) {
    other.number_ = 0;
}

FreezeSignal::~FreezeSignal() {
    if (number_ == 0) {
        return;
    }
    const std::lock_guard lock(install_mutex);
    if (--users > 0 || !handler_installed(number_)) {
        return;
    }
    if (channel.arrived.load(std::memory_order_acquire) >= channel.sent.load(std::memory_order_acquire)) {
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        sigemptyset(&standard.sa_mask);
        sigaction(number_, &standard, nullptr);
        installed_number = 0;
    }
}

bool FreezeSignal::still_ours() const {
    return handler_installed(number_);
}

// lock_ comes first among the members: the ticket is drawn under it.
ThreadFreeze::Hold::Hold(const ThreadFreeze& freeze)
    : lock_(request_mutex), ticket_(channel.requested.load(std::memory_order_relaxed) + 1) {
    channel.requested.store(ticket_, std::memory_order_release);
    channel.sent.fetch_add(1, std::memory_order_release);
    if (syscall(SYS_tgkill, getpid(), freeze.thread_id_, freeze.signal_->number()) != 0) {
        channel.sent.fetch_sub(1, std::memory_order_release);
        return;
    }
    held_ = wait_for(channel.held, ticket_, kAnswerLimitNs);
}

ThreadFreeze::Hold::~Hold() {
    channel.released.store(ticket_, std::memory_order_release);
}

}  // namespace kulvo
