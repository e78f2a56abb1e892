#include "thread_cpu_timer.hpp"

#include <sched.h>
#include <sys/syscall.h>

#include <array>
#include <atomic>
#include <csignal>
#include <mutex>

#include "clock.hpp"

namespace kulvo {

namespace {

// Timers live in a fixed table, never freed, so that a signal that arrives after its timer
// is gone finds a slot whose generation no longer matches, not freed memory.
constexpr int kSlots = 16;
constexpr int kSlotBits = 4;  // kSlots == 1 << kSlotBits
constexpr std::uint32_t kGenerationMask = 0x7FFFFFF;

struct Slot {
    std::atomic<std::uint32_t> generation{0};  // odd while a timer uses the slot
    std::atomic<int> running{0};               // callbacks inside the slot now
    ThreadCpuTimer::Callback callback = nullptr;
    void* context = nullptr;
    timer_t timer{};           // guarded by slots_mutex, as is the flag below
    bool timer_alive = false;  // deleted at its end, or before it by a hand-over
};

std::array<Slot, kSlots> slots;
std::mutex slots_mutex;  // taken by starting and ending timers, never by the handler

itimerspec every(std::int64_t interval_ns) {
    itimerspec period{};
    period.it_interval.tv_sec = interval_ns / kNanosPerSecond;
    period.it_interval.tv_nsec = interval_ns % kNanosPerSecond;
    period.it_value = period.it_interval;
    return period;
}

int value_of(int slot, std::uint32_t generation) {
    return static_cast<int>(((generation & kGenerationMask) << kSlotBits) | static_cast<std::uint32_t>(slot));
}

}  // namespace

void run_thread_cpu_timer(int value) {
    const auto bits = static_cast<std::uint32_t>(value);
    const std::uint32_t index = bits & (kSlots - 1);
    const std::uint32_t generation = bits >> kSlotBits;
    Slot& slot = slots[index];
    // Counted in before the generation is checked; the end of a timer changes the generation
    // before it waits for the count, so one of the two sees the other (both sequentially
    // consistent).
    slot.running.fetch_add(1, std::memory_order_seq_cst);
    const std::uint32_t current = slot.generation.load(std::memory_order_seq_cst);
    if ((current & 1U) != 0 && (current & kGenerationMask) == generation) {
        slot.callback(slot.context);
    }
    slot.running.fetch_sub(1, std::memory_order_seq_cst);
}

std::optional<ThreadCpuTimer> ThreadCpuTimer::start(pid_t thread_id, pthread_t thread, std::int64_t interval_ns,
                                                    const FreezeSignal& signal, Callback callback, void* context) {
    clockid_t clock{};
    if (interval_ns <= 0 || pthread_getcpuclockid(thread, &clock) != 0) {
        return std::nullopt;
    }
    const std::lock_guard lock(slots_mutex);
    // Checked under the lock that a hand-over deletes timers under: a timer made before it
    // is deleted by it.
    if (!signal.in_force()) {
        return std::nullopt;
    }
    for (int index = 0; index < kSlots; ++index) {
        Slot& slot = slots[index];
        const std::uint32_t generation = slot.generation.load();
        if ((generation & 1U) != 0) {
            continue;
        }
        slot.callback = callback;
        slot.context = context;
        const std::uint32_t live = generation + 1;
        slot.generation.store(live, std::memory_order_seq_cst);

        sigevent event{};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = signal.number();
        event.sigev_value.sival_int = value_of(index, live);
        event._sigev_un._tid = thread_id;  // glibc spells sigev_notify_thread_id so
        timer_t timer{};
        if (timer_create(clock, &event, &timer) != 0) {
            slot.generation.store(live + 1, std::memory_order_seq_cst);
            return std::nullopt;
        }
        const itimerspec period = every(interval_ns);
        if (timer_settime(timer, 0, &period, nullptr) != 0) {
            timer_delete(timer);
            slot.generation.store(live + 1, std::memory_order_seq_cst);
            return std::nullopt;
        }
        slot.timer = timer;
        slot.timer_alive = true;
        return ThreadCpuTimer(index);
    }
    return std::nullopt;
}

ThreadCpuTimer::ThreadCpuTimer(ThreadCpuTimer&& other) noexcept : slot_(other.slot_) {
    other.slot_ = -1;
}

ThreadCpuTimer::~ThreadCpuTimer() {
    if (slot_ < 0) {
        return;
    }
    const std::lock_guard lock(slots_mutex);
    Slot& slot = slots[slot_];
    if (slot.timer_alive) {
        timer_delete(slot.timer);
        slot.timer_alive = false;
    }
    slot.generation.fetch_add(1, std::memory_order_seq_cst);
    // A callback already past its check finishes first; it is short and bounded. On the
    // timed thread itself none can be inside this wait but one nested in it, which returns.
    while (slot.running.load(std::memory_order_seq_cst) != 0) {
        syscall(SYS_sched_yield);
    }
}

void delete_thread_cpu_timers() {
    const std::lock_guard lock(slots_mutex);
    for (Slot& slot : slots) {
        if (slot.timer_alive) {
            timer_delete(slot.timer);
            slot.timer_alive = false;
        }
    }
}

}  // namespace kulvo
