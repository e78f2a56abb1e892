#include "thread_freeze.hpp"

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>

#include "thread_cpu_timer.hpp"

namespace kulvo {

namespace {

// How long the reader waits for the thread to answer: a thread on a CPU answers within
// microseconds; one that is not (waiting for a CPU, deep in a system call) does not move
// its stack either, so the read goes ahead.
constexpr std::int64_t kAnswerLimitNs = 200'000;

// Tickets: a request is in flight while `released` lags `requested`. A thread that waited
// out its limit records the ticket it gave up on in `abandoned`.
struct Channel {
    std::atomic<std::uint32_t> requested{0};
    std::atomic<std::uint32_t> held{0};
    std::atomic<std::uint32_t> released{0};
    std::atomic<std::uint32_t> abandoned{0};
    std::atomic<int> reader_cpu{-1};  // where the reader was when it sent the signal
};

Channel channel;
std::mutex request_mutex;  // taken by reading threads only, never by a held thread

std::mutex install_mutex;
int users = 0;

std::atomic<std::uint64_t> hand_overs{0};

std::int64_t now_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Tells the CPU that this is a spin-wait loop.
void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Whether ticket `a` is `b` or a later one: tickets wrap around.
bool at_or_after(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) >= 0;
}

// Waits until `word` reaches `wanted`, at most `limit_ns`; only async-signal-safe calls.
// Neither side sleeps on a futex: a wake-up through one would make the scheduler move the
// sampler thread onto the main thread's CPU, where its later wake-ups wait for the main
// thread to block, and samples would shift to where it blocks. A side whose partner shares
// its CPU yields it, or the partner could not run; one whose partner runs elsewhere spins,
// because a yield on a busy machine hands the CPU to another process for a whole time slice,
// and the held thread would wait that long after its release.
template <typename SharesCpu>
bool wait_for(const std::atomic<std::uint32_t>& word, std::uint32_t wanted, std::int64_t limit_ns,
              SharesCpu shares_cpu) {
    const std::int64_t start = now_ns();
    while (!at_or_after(word.load(std::memory_order_acquire), wanted)) {
        const std::int64_t waited_ns = now_ns() - start;
        if (waited_ns >= limit_ns) {
            return false;
        }
        if (shares_cpu(waited_ns)) {
            syscall(SYS_sched_yield);
        } else {
            cpu_relax();
        }
    }
    return true;
}

// The reader cannot tell where the held thread is: it spins as long as a thread on another
// CPU takes to answer, then yields in case the two share one.
constexpr std::int64_t kReaderSpinNs = 30'000;

void on_freeze_signal(int /*signal*/, siginfo_t* info, void* /*context*/) {
    const int saved_errno = errno;
    if (info != nullptr && info->si_code == SI_TIMER) {
        run_thread_cpu_timer(info->si_value.sival_int);
        errno = saved_errno;
        return;
    }
    const std::uint32_t ticket = channel.requested.load(std::memory_order_acquire);
    if (!at_or_after(channel.released.load(std::memory_order_acquire), ticket)) {
        channel.held.store(ticket, std::memory_order_release);
        const int reader_cpu = channel.reader_cpu.load(std::memory_order_relaxed);
        if (!wait_for(channel.released, ticket, ThreadFreeze::kHoldLimitNs,
                      [reader_cpu](std::int64_t) { return sched_getcpu() == reader_cpu; })) {
            // Published before the thread runs on; a reader that releases after this sees it.
            channel.abandoned.store(ticket, std::memory_order_seq_cst);
        }
    }
    errno = saved_errno;
}

bool handler_installed(int number) {
    struct sigaction current {};
    return sigaction(number, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) != 0 &&
           current.sa_sigaction == on_freeze_signal;
}

bool install(int number) {
    struct sigaction current {};
    if (sigaction(number, nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) != 0 ||
        current.sa_handler != SIG_DFL) {
        return false;
    }
    struct sigaction ours {};
    ours.sa_sigaction = on_freeze_signal;
    // System calls the signal interrupts resume where they can; Python retries the rest.
    // Not deferred: a thread still on its way out of the handler (preempted there on a busy
    // machine) would otherwise show the signal blocked, and the next request answers at once.
    ours.sa_flags = SA_SIGINFO | SA_RESTART | SA_NODEFER;
    sigemptyset(&ours.sa_mask);
    return sigaction(number, &ours, nullptr) == 0;
}

// Setting a signal to be ignored drops it wherever it waits; the handler then goes back.
void drop_pending(int number) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction before {};
    if (sigaction(number, &ignore, &before) == 0) {
        sigaction(number, &before, nullptr);  // ours, or the program's set a moment before
    }
}

}  // namespace

std::optional<FreezeSignal> FreezeSignal::take() {
    const std::lock_guard lock(install_mutex);
    if ((users > 0 && handler_installed(SIGURG)) || install(SIGURG)) {
        ++users;
        return FreezeSignal(SIGURG, hand_overs.load(std::memory_order_seq_cst));
    }
    return std::nullopt;
}

FreezeSignal::FreezeSignal(FreezeSignal&& other) noexcept : number_(other.number_), hand_overs_(other.hand_overs_) {
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
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    sigaction(number_, &standard, nullptr);
}

bool FreezeSignal::still_ours() const {
    return in_force() && handler_installed(number_);
}

bool FreezeSignal::in_force() const {
    return hand_overs.load(std::memory_order_seq_cst) == hand_overs_;
}

void FreezeSignal::hand_over() {
    // A hold in flight ends first, and a later one sees the count and is not sent.
    const std::lock_guard lock(request_mutex);
    hand_overs.fetch_add(1, std::memory_order_seq_cst);
    // Deleted, not stopped: a stopped timer's signal on its way still arrives. Older kernels
    // keep even a deleted one's queued until the signal is ignored, hence the drop below.
    delete_thread_cpu_timers();
    if (handler_installed(SIGURG)) {
        drop_pending(SIGURG);
    }
}

void FreezeSignal::discard_pending() const {
    drop_pending(number_);
}

// lock_ comes first among the members: the ticket is drawn under it.
ThreadFreeze::Hold::Hold(const ThreadFreeze& freeze)
    : lock_(request_mutex), ticket_(channel.requested.load(std::memory_order_relaxed) + 1) {
    channel.reader_cpu.store(sched_getcpu(), std::memory_order_relaxed);
    channel.requested.store(ticket_, std::memory_order_release);
    if (!freeze.signal_->in_force() ||
        syscall(SYS_tgkill, getpid(), freeze.thread_id_, freeze.signal_->number()) != 0) {
        channel.released.store(ticket_, std::memory_order_release);
        lock_.unlock();
        return;
    }
    held_ = wait_for(channel.held, ticket_, kAnswerLimitNs,
                     [](std::int64_t waited_ns) { return waited_ns > kReaderSpinNs; });
}

bool ThreadFreeze::Hold::release() {
    if (!lock_.owns_lock()) {
        return false;
    }
    // Both sequentially consistent: if the thread gave up before this release, the load
    // below sees it; if it sees nothing, the thread was still held when it was released.
    channel.released.store(ticket_, std::memory_order_seq_cst);
    const bool kept = held_ && channel.abandoned.load(std::memory_order_seq_cst) != ticket_;
    lock_.unlock();
    return kept;
}

ThreadFreeze::Hold::~Hold() {
    release();
}

}  // namespace kulvo
