#include "memory_stack_source.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <ctime>
#include <utility>

#include "clock.hpp"
#include "thread_cpu_timer.hpp"
#include "thread_run_state.hpp"

namespace kulvo::py {

namespace {

std::uint64_t monotonic_ns() {
    return as_nanoseconds(monotonic_now());
}

void count_hold(HoldCounts& counts, std::uint64_t held_ns) {
    const auto bucket = std::min<std::size_t>(static_cast<std::size_t>(held_ns / 1000), HoldCounts::kHoldBuckets - 1);
    counts.hold_us[bucket].fetch_add(1, std::memory_order_relaxed);
}

// A copy of the stack that the thread makes itself in its timer's signal handler, handed to
// the sampler thread through one slot. Whichever side moves the slot out of a finished state
// owns the reader until it puts the slot back: the handler to copy afresh, the sampler
// thread to resolve.
class SelfCopy {
public:
    SelfCopy(const StackReaderPlace& place, std::shared_ptr<HoldCounts> counts)
        : reader_(place), counts_(std::move(counts)) {
        reader_.read_on_own_thread();
    }

    // On the thread, inside the signal handler: no allocation, no lock.
    static void on_timer(void* self) { static_cast<SelfCopy*>(self)->copy(); }

    // A copy resolved, and when it was made: the thread's CPU time, the monotonic clock and
    // the thread's count of waits.
    struct Taken {
        StackId stack = kNoStack;
        std::uint64_t cpu_ns = 0;
        std::uint64_t wall_ns = 0;
        std::uint64_t voluntary_switches = 0;
    };
    // Sampler thread: the copy made since the last call; nullopt when none was, or it could
    // not be read whole.
    std::optional<Taken> take(StackTable& stacks) {
        std::uint32_t seen = state_.load(std::memory_order_acquire);
        if ((seen != kCopied && seen != kFailed && seen != kNeedsRoom) ||
            !state_.compare_exchange_strong(seen, kTaken, std::memory_order_acq_rel)) {
            return std::nullopt;
        }
        std::optional<Taken> taken;
        if (seen == kNeedsRoom) {
            reader_.make_room();  // the next copy fits
        } else if (seen == kCopied) {
            if (const std::optional<StackId> stack = reader_.finish_copy(stacks)) {
                taken = Taken{*stack, cpu_at_copy_ns_, wall_at_copy_ns_, voluntary_at_copy_};
            }
        }
        state_.store(kEmpty, std::memory_order_release);
        return taken;
    }

private:
    enum State : std::uint32_t { kEmpty, kCopying, kCopied, kFailed, kNeedsRoom, kTaken };

    void copy() {
        std::uint32_t seen = state_.load(std::memory_order_acquire);
        // A newer copy replaces one the sampler thread has not taken yet.
        if ((seen != kEmpty && seen != kCopied && seen != kFailed) ||
            !state_.compare_exchange_strong(seen, kCopying, std::memory_order_acq_rel)) {
            return;
        }
        const std::uint64_t began_ns = monotonic_ns();
        timespec cpu{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);  // this thread's: the handler runs on it
        cpu_at_copy_ns_ =
            static_cast<std::uint64_t>(cpu.tv_sec) * kNanosPerSecond + static_cast<std::uint64_t>(cpu.tv_nsec);
        wall_at_copy_ns_ = began_ns;
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);  // a plain system call: safe in the handler
        voluntary_at_copy_ = static_cast<std::uint64_t>(usage.ru_nvcsw);
        const MemoryStackReader::RawCopy copy = reader_.copy_raw();
        count_hold(*counts_, monotonic_ns() - began_ns);
        counts_->copied.fetch_add(1, std::memory_order_relaxed);
        State next = kFailed;
        if (copy == MemoryStackReader::RawCopy::Done) {
            next = kCopied;
        } else if (copy == MemoryStackReader::RawCopy::NeedsRoom) {
            next = kNeedsRoom;
        }
        state_.store(next, std::memory_order_release);
    }

    MemoryStackReader reader_;
    std::shared_ptr<HoldCounts> counts_;
    // With the reader: written by the side that owns it.
    std::uint64_t cpu_at_copy_ns_ = 0;
    std::uint64_t wall_at_copy_ns_ = 0;
    std::uint64_t voluntary_at_copy_ = 0;
    std::atomic<std::uint32_t> state_{kEmpty};
};

class MemoryStackSource final : public StackSource {
public:
    MemoryStackSource(const StackReaderPlace& place, pid_t native_id, pthread_t thread, std::int64_t interval_ns,
                      std::optional<FreezeSignal> freeze_signal, std::shared_ptr<HoldCounts> counts,
                      std::unique_ptr<OtherThreads> others)
        : reader_(place),
          others_(std::move(others)),
          native_id_(native_id),
          thread_(thread),
          interval_ns_(interval_ns),
          watch_(native_id, thread),
          freeze_signal_(std::move(freeze_signal)),
          counts_(std::move(counts)),
          held_copy_([this] { return copy_while_held(); }) {
        if (!freeze_signal_) {
            counts_->reason.store(HeldReads::NoFreeSignal);
            return;
        }
        self_copy_ = std::make_unique<SelfCopy>(place, counts_);
        if (!start_timer()) {
            self_copy_.reset();
            freeze_.emplace(native_id, *freeze_signal_);
        }
    }

    // A held read waits a moment at most; a late one is the scheduler's doing.
    [[nodiscard]] bool waits_for_program() const override { return false; }

    InternedCapture capture(StackTable& stacks) override {
        InternedCapture captured = capture_main(stacks);
        if (others_) {
            captured.other_threads = others_->capture(stacks);
        }
        return captured;
    }

    void sampling_point(std::uint64_t point_ns) override { point_ns_ = point_ns; }

private:
    InternedCapture capture_main(StackTable& stacks) {
        const std::uint64_t cpu_ns = watch_.cpu_time_ns();
        const std::uint64_t read_ns = monotonic_ns();
        const std::optional<SelfCopy::Taken> copied = self_copy_ ? self_copy_->take(stacks) : std::nullopt;
        if (last_stack_ != kNoStack && stands_still(cpu_ns - last_cpu_ns_)) {
            stretch_ = stretch_ && !last_waiting_;
            return InternedCapture{last_stack_, std::nullopt, last_waiting_};
        }
        // Signals must not reach a handler the program has put on the signal since. Asked
        // before the thread's state, so that the state is as fresh as it can be when a hold's
        // signal goes: a thread that enters a sleep meanwhile would have it fail with EINTR.
        if (signal_in_use() && !freeze_signal_->still_ours()) {
            timer_.reset();
            timer_blocked_ = false;
            freeze_.reset();
            counts_->reason.store(HeldReads::SignalTaken);
        }
        const ThreadStat stat = watch_.read_stat();
        const bool blocked = signal_in_use() && stat.blocks(freeze_signal_->number());
        follow_mask(blocked);
        std::optional<StackId> stack;
        if (stat.state == RunState::Running) {
            follow_stretch(copied);
            stack = read_running(stacks, blocked, cpu_ns, read_ns);
        } else {
            stretch_ = false;
        }
        if (!stack) {
            stack = stat.state == RunState::Waiting ? read_waiting(stacks) : reader_.read(stacks, true);
        }
        const bool ran_past_point = stat.state == RunState::Waiting && ran_past_point_ns(cpu_ns);
        const StackId running_stack = last_stack_;
        // A stack that changed under every attempt to read it: the last one read stands in.
        last_stack_ = stack.value_or(last_stack_);
        const MemoryStackReader::ChangeCounts changes = reader_.change_counts();
        counts_->changed.store(changes.changed, std::memory_order_relaxed);
        counts_->dropped.store(changes.dropped, std::memory_order_relaxed);
        last_cpu_ns_ = cpu_ns;
        last_read_ns_ = read_ns;
        last_waiting_ = stat.state == RunState::Waiting;
        if (ran_past_point) {
            return InternedCapture{running_stack, std::nullopt, false};
        }
        return InternedCapture{last_stack_, std::nullopt, last_waiting_};
    }

    // Whether a thread found waiting was still running at the slot's point, which this read
    // came after: it ran when last read, and has run since for at least as long as the point
    // lies after that read, so its wait began after the point. The sampler thread comes late
    // most often while the program keeps the CPUs busy, which is while it runs: read at the
    // late moment, a burst that ended meanwhile would lose its sample to the wait after it.
    bool ran_past_point_ns(std::uint64_t cpu_ns) const {
        return !last_waiting_ && last_stack_ != kNoStack && point_ns_ > last_read_ns_ &&
               cpu_ns - last_cpu_ns_ >= point_ns_ - last_read_ns_;
    }

    // Whether the thread stands where the last read found it; updates last_waiting_ if so.
    // One that waits now is read again if it ran at all since: a few microseconds take it
    // from one blocking call into the next, or from its last line into the call, and a read
    // of a waiting thread is exact. One that waits for a CPU is as it was, if it ran less
    // than a wake-up takes: still in its stretch of running if it was preempted (a read in
    // place would find it where preemption comes, at a system call more often than not),
    // still waiting if it was woken and has not run yet (on a busy machine a wait that ends
    // can stand in the run queue for milliseconds).
    // The state is looked at only when the thread ran too little to have moved on, so that
    // the read that follows has the only look at it in every other capture.
    bool stands_still(std::uint64_t ran_ns) {
        if (ran_ns >= kStillNs) {
            return false;
        }
        const RunState state = watch_.read_stat().state;
        if (state == RunState::Waiting) {
            return ran_ns == 0 && last_waiting_;
        }
        last_waiting_ = state == RunState::Running ? last_waiting_ : true;
        return true;
    }

    bool signal_in_use() const { return timer_ || timer_blocked_ || freeze_; }

    bool start_timer() {
        std::optional<ThreadCpuTimer> started = ThreadCpuTimer::start(
            native_id_, thread_, interval_ns_, *freeze_signal_, &SelfCopy::on_timer, self_copy_.get());
        if (started) {
            timer_ = std::make_unique<ThreadCpuTimer>(std::move(*started));
        }
        return static_cast<bool>(timer_);
    }

    // A thread that blocks the signal is never sent it: its timer ends while it does, and a
    // signal sent just before is dropped (a timer's signal outlives a mere stop, and setting
    // the signal to be ignored drops it only once its timer is gone).
    void follow_mask(bool blocked) {
        if (blocked && timer_) {
            timer_.reset();
            freeze_signal_->discard_pending();
            timer_blocked_ = true;
        } else if (!blocked && timer_blocked_) {
            timer_blocked_ = !start_timer();
        }
    }

    // A copy stands only for the stretch of running it was made in: the thread's stack
    // after a pause has nothing to do with the one before it. A stretch begins at a read
    // that finds the thread running after one that found it waiting. The newest copy stands
    // until the next: between two ticks the thread is nearer to it than to any earlier one,
    // and a read that finds the thread preempted repeats the last read's stack for as long
    // as the thread stays off its CPU.
    void follow_stretch(const std::optional<SelfCopy::Taken>& copied) {
        if (!stretch_) {
            stretch_ = true;
            stretch_cpu_ns_ = last_cpu_ns_;
            newest_copy_.reset();
        }
        if (copied && copied->cpu_ns >= stretch_cpu_ns_) {
            newest_copy_ = *copied;
            newest_copy_taken_ = false;
        }
    }

    // Whether the newest copy is of the stretch the thread runs in now. A thread that has
    // been off its CPU since the copy may have been preempted, or may have waited and been
    // woken since, and then stands where the wait returns, in a later stretch: a read sees
    // only some of the waits, so the copy carries the thread's count of them, which tells
    // the two apart. It is read only then, as it costs a read of /proc.
    bool newest_copy_current(const SelfCopy::Taken& copy, std::uint64_t cpu_ns, std::uint64_t read_ns) {
        const std::uint64_t since_ns = read_ns - std::min(read_ns, copy.wall_ns);
        const std::uint64_t ran_ns = cpu_ns - std::min(cpu_ns, copy.cpu_ns);
        if (since_ns < ran_ns + kStillNs) {
            return true;
        }
        const std::optional<std::uint64_t> waits = watch_.voluntary_switches();
        return !waits || *waits == copy.voluntary_switches;
    }

    // A waiting thread's stack does not move, so it is read unchecked; but the thread may
    // wake between the look at its state and the read. A copy during which its CPU clock
    // moved is taken as changed under the walk, and read again.
    std::optional<StackId> read_waiting(StackTable& stacks) {
        return reader_.read(stacks, [this] {
            const std::uint64_t before_ns = watch_.cpu_time_ns();
            const MemoryStackReader::RawCopy copy = reader_.copy_raw();
            return watch_.cpu_time_ns() == before_ns ? copy : MemoryStackReader::RawCopy::Changed;
        });
    }

    // nullopt: read it as it runs.
    std::optional<StackId> read_running(StackTable& stacks, bool blocked, std::uint64_t cpu_ns, std::uint64_t read_ns) {
        counts_->running.fetch_add(1, std::memory_order_relaxed);
        if (blocked) {
            counts_->blocked.fetch_add(1, std::memory_order_relaxed);
            return std::nullopt;
        }
        if (timer_ && newest_copy_ && !newest_copy_current(*newest_copy_, cpu_ns, read_ns)) {
            newest_copy_.reset();
        }
        if (timer_ && newest_copy_) {
            if (newest_copy_taken_) {
                counts_->reused.fetch_add(1, std::memory_order_relaxed);
            }
            newest_copy_taken_ = true;
            return newest_copy_->stack;
        }
        if (!freeze_) {
            if (timer_) {
                counts_->uncopied.fetch_add(1, std::memory_order_relaxed);
            }
            return std::nullopt;
        }
        all_held_ = true;
        cpu_at_capture_ns_ = cpu_ns;
        std::optional<StackId> stack = reader_.read(stacks, held_copy_);
        if (!all_held_) {
            counts_->unanswered.fetch_add(1, std::memory_order_relaxed);
        }
        return stack;
    }

    MemoryStackReader::RawCopy copy_while_held() {
        ThreadFreeze::Hold hold(*freeze_);
        const std::uint64_t began_ns = monotonic_ns();
        const MemoryStackReader::RawCopy copy = reader_.copy_raw();
        const std::uint64_t held_ns = monotonic_ns() - began_ns;
        const bool kept = hold.release();
        // A thread that did not answer because it was not on a CPU (waiting for one, or for
        // this thread on the CPU they share) did not move either: that read is whole.
        if (!kept && watch_.cpu_time_ns() - cpu_at_capture_ns_ >= kStillNs) {
            all_held_ = false;
        }
        if (kept) {
            count_hold(*counts_, held_ns);
        }
        return copy;
    }

    // CPU time a thread may use without running Python: a wake-up, a signal's delivery.
    static constexpr std::uint64_t kStillNs = 20'000;

    MemoryStackReader reader_;
    std::unique_ptr<OtherThreads> others_;
    pid_t native_id_;
    pthread_t thread_;
    std::int64_t interval_ns_;
    ThreadRunWatch watch_;
    std::optional<FreezeSignal> freeze_signal_;
    std::shared_ptr<HoldCounts> counts_;
    // The timer goes before the copy it writes into, and both before the signal.
    std::unique_ptr<SelfCopy> self_copy_;
    std::unique_ptr<ThreadCpuTimer> timer_;
    bool timer_blocked_ = false;  // ended while the thread blocks the signal
    bool stretch_ = false;        // sampler thread only, as are the three below
    std::uint64_t stretch_cpu_ns_ = 0;
    std::optional<SelfCopy::Taken> newest_copy_;  // of the current stretch
    bool newest_copy_taken_ = false;              // by an earlier slot
    std::optional<ThreadFreeze> freeze_;          // without a timer; refers to freeze_signal_
    MemoryStackReader::CopyStep held_copy_;
    bool all_held_ = true;                 // sampler thread only: every copy of this read was held
    std::uint64_t cpu_at_capture_ns_ = 0;  // the thread's CPU time when this read began
    StackId last_stack_ = kNoStack;        // sampler thread only
    std::uint64_t last_cpu_ns_ = 0;
    std::uint64_t last_read_ns_ = 0;  // when last_cpu_ns_ was read
    std::uint64_t point_ns_ = 0;      // the current slot's sampling point
    bool last_waiting_ = false;
};

}  // namespace

std::unique_ptr<StackSource> memory_stack_source(const StackReaderPlace& place, pid_t native_id, pthread_t thread,
                                                 std::int64_t interval_ns, std::optional<FreezeSignal> freeze_signal,
                                                 std::shared_ptr<HoldCounts> counts,
                                                 std::unique_ptr<OtherThreads> others) {
    return std::make_unique<MemoryStackSource>(place, native_id, thread, interval_ns, std::move(freeze_signal),
                                               std::move(counts), std::move(others));
}

}  // namespace kulvo::py
