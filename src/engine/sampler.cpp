#include "sampler.hpp"

#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <system_error>
#include <utility>

#include "diagnostics.hpp"
#include "metering.hpp"
#include "pacing.hpp"
#include "splitmix.hpp"

namespace kulvo {

namespace {

Error os_error(const char* what, int error_number) {
    // Not strerror: its buffer is shared by every thread (generic_category uses strerror_r).
    return Error::internal(std::string(what) + ": " + std::generic_category().message(error_number) + " (os error " +
                           std::to_string(error_number) + ")");
}

// Every signal except those the kernel raises synchronously on a faulting thread.
sigset_t asynchronous_signals() {
    sigset_t set;
    sigfillset(&set);
    for (int synchronous : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) {
        sigdelset(&set, synchronous);
    }
    return set;
}

// Marks the thread finished on every way out, a forced unwind at interpreter exit included.
struct CompletionGuard {
    std::shared_ptr<ThreadCompletion> completion;
    explicit CompletionGuard(std::shared_ptr<ThreadCompletion> record) : completion(std::move(record)) {}
    CompletionGuard(const CompletionGuard&) = delete;
    CompletionGuard& operator=(const CompletionGuard&) = delete;
    ~CompletionGuard() {
        completion->finished.store(true, std::memory_order_release);
        completion->finished.notify_all();
    }
};

// Not noexcept, and no catch-all: up to 3.13 the interpreter ends a thread that asks
// for its lock during finalization with a forced unwind, which must pass through.
extern "C" void* sampler_thread_main(void* arg) {
    auto* record = static_cast<SamplerThreadStart*>(arg);
    const CompletionGuard guard{record->completion};  // declared first, so it runs last
    std::unique_ptr<SamplerThreadStart> start(record);
    pthread_setname_np(pthread_self(), kSamplerThreadName);
    run_sampling_loop(*start);
    start->source->finish();
    start->spike_waiters.reset();
    start->mem_spike.reset();
    start->stop_requested.reset();
    start->ring.reset();
    start->stacks.reset();
    return nullptr;
}

class FunctionSource final : public StackSource {
public:
    explicit FunctionSource(CaptureFn capture) : capture_(capture) {}
    InternedCapture capture(StackTable& stacks) override {
        CaptureOutcome captured = capture_();
        return InternedCapture{captured.stack ? stacks.intern(*captured.stack) : kNoStack, std::move(captured.error),
                               captured.main_thread_waiting};
    }

private:
    CaptureFn capture_;
};

constexpr int kClockReadAttempts = 3;
constexpr std::uint64_t kClockReadSkewNs = 20'000;

std::uint64_t clock_time_us(clockid_t clock);

// The program's CPU time into `usage`: the process CPU clock less this thread's own (kulvo's
// work, up to a few percent at short intervals, is not the program's), read back to back
// with the wall clock, which it returns: with samples at random points of their slots, two
// samples can be microseconds apart, and a gap between the readings (this thread
// preempted) would show as a wild percentage.
Instant read_process_cpu(ResourceUsage& usage, std::optional<clockid_t> worker_clock) {
    Instant now;
    for (int attempt = 0; attempt < kClockReadAttempts; ++attempt) {
        const Instant before = monotonic_now();
        if (worker_clock) {
            timespec ignored{};
            clock_gettime(*worker_clock, &ignored);  // updates the thread's recorded running time
        }
        // Own time first: read after the process clock, it could exceed its share of it.
        const std::uint64_t own_us = clock_time_us(CLOCK_THREAD_CPUTIME_ID);
        const std::uint64_t process_us = clock_time_us(CLOCK_PROCESS_CPUTIME_ID);
        usage.cpu_time_us = process_us > own_us ? process_us - own_us : 0;
        now = monotonic_now();
        if (as_nanoseconds(duration_between(before, now)) < kClockReadSkewNs) {
            break;
        }
    }
    return now;
}

std::uint64_t clock_time_us(clockid_t clock) {
    timespec now{};
    if (clock_gettime(clock, &now) != 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000;
}

// Threads that may still be running, for the interpreter's exit. Only Python threads
// holding the interpreter lock touch it; the mutex is for the engine's own tests.
struct LiveThread {
    std::weak_ptr<std::atomic<bool>> stop_requested;
    std::weak_ptr<Wakeup> wakeup;
    std::shared_ptr<ThreadCompletion> completion;
    pid_t pid = 0;
};

std::mutex live_threads_mutex;
std::vector<LiveThread>& live_threads() {
    static auto* threads = new std::vector<LiveThread>();  // never destroyed: used at exit
    return *threads;
}

void register_live_thread(LiveThread thread) {
    const std::lock_guard lock(live_threads_mutex);
    auto& threads = live_threads();
    std::erase_if(threads, [](const LiveThread& t) {
        return t.pid != getpid() || t.completion->finished.load(std::memory_order_acquire);
    });
    threads.push_back(std::move(thread));
}

void raise_mem_spike_if(bool spiked, const SamplerThreadStart& start) {
    if (spiked) {
        start.mem_spike->store(true, std::memory_order_relaxed);
        if (start.spike_waiters) {
            start.spike_waiters->notify();
        }
    }
}

}  // namespace

std::unique_ptr<StackSource> function_source(CaptureFn capture) {
    return std::make_unique<FunctionSource>(capture);
}

void Wakeup::sleep_for(Duration duration) {
    std::unique_lock lock(mutex_);
    woken_cv_.wait_for(lock, std::chrono::nanoseconds(as_nanoseconds(duration)), [this] { return woken_; });
}

void Wakeup::wake() {
    {
        const std::lock_guard lock(mutex_);
        woken_ = true;
    }
    woken_cv_.notify_all();
}

void SpikeWaiters::notify() {
    // Taken, so that a waiter between its check of the flag and its wait cannot miss this.
    { const std::lock_guard lock(mutex_); }
    changed_cv_.notify_all();
}

bool SpikeWaiters::wait_for(Duration timeout) {
    std::unique_lock lock(mutex_);
    const auto up = [this] { return released_ || flag_->load(std::memory_order_relaxed); };
    changed_cv_.wait_for(lock, std::chrono::nanoseconds(as_nanoseconds(timeout)), up);
    return !released_ && flag_->load(std::memory_order_relaxed);
}

void SpikeWaiters::release() {
    {
        const std::lock_guard lock(mutex_);
        released_ = true;
    }
    changed_cv_.notify_all();
}

// The layout of the kernel's struct sched_attr up to its first version's end.
struct SchedAttr {
    std::uint32_t size;
    std::uint32_t policy;
    std::uint64_t flags;
    std::int32_t nice;
    std::uint32_t priority;
    std::uint64_t runtime_ns;  // for a normal thread: its time slice, from Linux 6.12
    std::uint64_t deadline_ns;
    std::uint64_t period_ns;
};

// Best effort: an older kernel ignores the slice, and another policy is left alone. The
// timer slack of 1 ns is the least there is (0 would mean the default of 50 us).
void request_prompt_wakeups() {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    constexpr std::uint64_t kShortestSliceNs = 100'000;  // the kernel's lower bound
    SchedAttr attr{};
    if (syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) != 0 || attr.policy != SCHED_OTHER) {
        return;
    }
    attr.size = sizeof attr;
    attr.runtime_ns = kShortestSliceNs;
    syscall(SYS_sched_setattr, 0, &attr, 0);
}

namespace {

// Halvings at most: each doubles the span a full ring covers.
constexpr std::uint32_t kMostHalvings = 20;
// The most a sample stands for, in slots, besides a capture that waited for the program.
constexpr std::uint64_t kMostSlotsPerSample = 2;

// The part of `slots_ns` (whole slots) that the sample stands for, in whole slots; the rest is
// counted as unobserved. Slots whose points passed while the capture waited for the program (a
// call that holds the interpreter lock) were seen by it.
std::uint64_t observed_ns(std::uint64_t slots_ns, std::uint64_t interval_ns, std::uint64_t waited_ns,
                          PacingRecord& pacing) {
    const std::uint64_t waited_slots = interval_ns > 0 ? (waited_ns + interval_ns - 1) / interval_ns : 0;
    const std::uint64_t longest_ns = (kMostSlotsPerSample + waited_slots) * interval_ns;
    if (slots_ns <= longest_ns) {
        return slots_ns;
    }
    pacing.unobserved_ns.fetch_add(slots_ns - longest_ns, std::memory_order_relaxed);
    return longest_ns;
}

// Two neighbouring samples as one that stands for both: the stack of one of them, at
// random, so that every stack keeps its expected share.
Sample merge_samples(const Sample& older, const Sample& newer, std::uint64_t& random) {
    Sample kept = (splitmix64(random) & 1U) == 0 ? older : newer;
    const auto older_us = static_cast<double>(older.weight_us);
    const auto newer_us = static_cast<double>(newer.weight_us);
    if (older.cpu_percent >= 0.0 && newer.cpu_percent >= 0.0 && older_us + newer_us > 0.0) {
        kept.cpu_percent = (older.cpu_percent * older_us + newer.cpu_percent * newer_us) / (older_us + newer_us);
    } else {
        kept.cpu_percent = std::max(older.cpu_percent, newer.cpu_percent);  // -1 only if both failed
    }
    kept.rss_bytes = std::max(older.rss_bytes, newer.rss_bytes);  // peaks; 0 only if both failed
    kept.weight_us = older.weight_us + newer.weight_us;
    return kept;
}

// With a grid kept and the whole run asked for, a full ring makes each two neighbouring
// samples one and the rate halves, so that the samples keep covering the whole run.
void halve_rate_if_full(SamplerThreadStart& start, std::optional<SlotPacer>& pacer, std::uint64_t& merge_random) {
    if (!pacer || !start.options.keep_whole_run || start.ring->len() < start.ring->capacity() ||
        start.pacing->halvings.load(std::memory_order_relaxed) >= kMostHalvings) {
        return;
    }
    start.ring->halve([&merge_random](const Sample& older, const Sample& newer) {
        return merge_samples(older, newer, merge_random);
    });
    pacer->double_interval();
    start.pacing->halvings.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

void run_sampling_loop(SamplerThreadStart& start) {
    if (start.options.prompt_wakeups) {
        request_prompt_wakeups();
    }
    MeterState meter;
    meter.prev_instant = monotonic_now();
    const Instant origin = start.origin.value_or(monotonic_now());
    std::optional<SlotPacer> pacer;
    if (start.options.absolute_deadlines) {
        pacer.emplace(as_nanoseconds(origin), as_nanoseconds(start.interval), as_nanoseconds(meter.prev_instant));
    }
    std::uint64_t previous_sample_ns = as_nanoseconds(origin);
    std::uint64_t merge_random = as_nanoseconds(origin);
    for (;;) {
        const Instant cycle_start = monotonic_now();
        if (start.stop_requested->load(std::memory_order_relaxed)) {
            return;
        }
        Instant now_cpu = monotonic_now();
        std::optional<ResourceUsage> usage = read_resource_usage();
        if (usage && start.options.precise_cpu) {
            now_cpu = read_process_cpu(*usage, start.options.worker_clock);
        }
        const Measurement measured = measure_cycle(meter, now_cpu, usage, start.mem_flag_step_bytes);
        raise_mem_spike_if(measured.mem_spike, start);
        if (pacer) {
            start.source->sampling_point(pacer->wake_ns());
        }
        const Instant capture_start = monotonic_now();
        InternedCapture captured = start.source->capture(*start.stacks);
        if (captured.error) {
            report_internal_error(captured.error->message);
            return;
        }
        // Taken after the capture, so it includes any wait for the interpreter lock.
        const Instant captured_at = monotonic_now();
        const std::uint64_t captured_ns = as_nanoseconds(captured_at);
        std::uint64_t weight_ns = captured_ns - std::min(captured_ns, previous_sample_ns);
        if (pacer) {
            const std::uint64_t capture_ns = as_nanoseconds(duration_between(capture_start, captured_at));
            weight_ns = observed_ns(pacer->close_slot(captured_ns), pacer->interval_ns(),
                                    start.source->waits_for_program() ? capture_ns : 0, *start.pacing);
        }
        previous_sample_ns = captured_ns;
        Sample sample{whole_ms(duration_between(origin, captured_at)),
                      measured.cpu_percent,
                      measured.rss_bytes,
                      captured.stack,
                      weight_ns / 1000,
                      captured.main_thread_waiting,
                      captured.other_threads};
        halve_rate_if_full(start, pacer, merge_random);
        start.ring->push(sample);
        const Instant cycle_end = monotonic_now();
        if (pacer) {
            const std::uint64_t now_ns = as_nanoseconds(cycle_end);
            if (pacer->wake_ns() > now_ns) {
                start.wakeup->sleep_for(duration_from_ns(pacer->wake_ns() - now_ns));
            }
            continue;
        }
        const Duration elapsed = duration_between(cycle_start, cycle_end);
        if (is_shorter(elapsed, start.interval)) {
            sleep_for(saturating_sub(start.interval, elapsed));
        }
    }
}

Sampler::Sampler(const SamplerConfig& config)
    : config_(config),
      ring_(std::make_shared<SampleRing>(config.ring_capacity)),
      stacks_(std::make_shared<StackTable>()),
      stop_requested_(std::make_shared<std::atomic<bool>>(false)),
      mem_spike_(std::make_shared<std::atomic<bool>>(false)),
      spike_waiters_(std::make_shared<SpikeWaiters>(mem_spike_)),
      pacing_(std::make_shared<PacingRecord>()),
      created_in_pid_(getpid()),
      start_instant_(monotonic_now()) {}

Result<std::unique_ptr<Sampler>> Sampler::create(const SamplerConfig& config) {
    if (auto error = interval_error(config.interval_ms)) {
        return std::move(*error);
    }
    return std::unique_ptr<Sampler>(new Sampler(config));
}

Sampler::~Sampler() {
    stop_requested_->store(true, std::memory_order_relaxed);
    if (wakeup_) {
        wakeup_->wake();
    }
    spike_waiters_->release();
    ring_.reset();
    stacks_.reset();
    stop_requested_.reset();
    mem_spike_.reset();
    if (thread_ && thread_->spawned_in_pid == getpid()) {
        pthread_detach(thread_->thread);
    }
    thread_.reset();
}

std::optional<Error> Sampler::start(std::unique_ptr<StackSource> source, LoopOptions options) {
    start_instant_ = monotonic_now();
    if (options.absolute_deadlines) {
        origin_ = start_instant_;
    }
    return spawn_thread(std::move(source), options);
}

std::optional<Error> Sampler::pause() {
    if (!thread_ || thread_->spawned_in_pid != getpid()) {
        return std::nullopt;
    }
    stop_requested_->store(true, std::memory_order_relaxed);
    if (wakeup_) {
        wakeup_->wake();
    }
    const ThreadHandle handle = std::move(*thread_);
    thread_.reset();
    if (const int rc = pthread_join(handle.thread, nullptr); rc != 0) {
        return os_error("failed to join thread", rc);
    }
    return std::nullopt;
}

std::optional<Error> Sampler::resume(std::unique_ptr<StackSource> source, LoopOptions options) {
    if (thread_ || !origin_) {
        return std::nullopt;
    }
    return spawn_thread(std::move(source), options);
}

std::optional<Error> Sampler::spawn_thread(std::unique_ptr<StackSource> source, LoopOptions options) {
    auto record = std::make_unique<SamplerThreadStart>();
    auto completion = std::make_shared<ThreadCompletion>();
    record->ring = ring_;
    record->stacks = stacks_;
    record->stop_requested = stop_requested_;
    record->mem_spike = mem_spike_;
    record->spike_waiters = spike_waiters_;
    // A run resumed after its ring was halved goes on at the lowered rate.
    record->interval = duration_from_ms(config_.interval_ms << pacing_->halvings.load(std::memory_order_relaxed));
    record->pacing = pacing_;
    record->origin = origin_;
    stop_requested_->store(false, std::memory_order_relaxed);
    record->mem_flag_step_bytes = config_.mem_flag_step_bytes;
    record->source = std::move(source);
    record->completion = completion;
    record->options = options;
    auto wakeup = options.absolute_deadlines ? std::make_shared<Wakeup>() : nullptr;
    record->wakeup = wakeup;

    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) {
        return os_error("failed to spawn kulvo sampler thread", rc);
    }
    rc = pthread_attr_setstacksize(&attr, kSamplerStackBytes);
    pthread_t thread{};
    if (rc == 0) {
        // The new thread inherits a mask that blocks every asynchronous signal from its
        // first instruction, so a process-directed signal is never delivered to it.
        const sigset_t blocked = asynchronous_signals();
        sigset_t previous;
        pthread_sigmask(SIG_BLOCK, &blocked, &previous);
        rc = pthread_create(&thread, &attr, sampler_thread_main, record.get());
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        return os_error("failed to spawn kulvo sampler thread", rc);
    }
    record.release();  // owned by the thread now
    // Named from here too, so that the name is in place when start() returns.
    pthread_setname_np(thread, kSamplerThreadName);
    thread_ = ThreadHandle{thread, completion, getpid()};
    wakeup_ = wakeup;
    register_live_thread(LiveThread{stop_requested_, wakeup, completion, getpid()});
    return std::nullopt;
}

StopResult Sampler::stop_and_drain() {
    StopResult result;
    stop_requested_->store(true, std::memory_order_relaxed);
    spike_waiters_->release();
    if (wakeup_) {
        wakeup_->wake();
    }
    bool samples_belong_to_parent = false;
    if (thread_) {
        const ThreadHandle handle = std::move(*thread_);
        thread_.reset();
        if (handle.spawned_in_pid != getpid()) {
            // Forked child: the thread never existed here and its samples are the parent's.
            samples_belong_to_parent = true;
        } else if (const int rc = pthread_join(handle.thread, nullptr); rc != 0) {
            result.error = os_error("failed to join thread", rc);
        }
        // A thread ended by an internal error already said so on stderr; its samples count.
    }
    // A run paused while its process forked has no thread, but its samples are the parent's too.
    samples_belong_to_parent = samples_belong_to_parent || (origin_ && created_in_pid_ != getpid());
    result.wall_time_ms = whole_ms(duration_between(start_instant_, monotonic_now()));
    if (!samples_belong_to_parent && !result.error) {
        result.samples = ring_->drain();
        result.stacks = stacks_;
        result.held_bytes = std::min(ring_->write_index(), ring_->capacity()) * sizeof(Sample) + stacks_->bytes();
    }
    return result;
}

void stop_live_sampler_threads() noexcept {
    std::vector<LiveThread> threads;
    {
        const std::lock_guard lock(live_threads_mutex);
        threads.swap(live_threads());
    }
    const pid_t self = getpid();
    std::erase_if(threads, [self](const LiveThread& t) { return t.pid != self; });
    for (const auto& thread : threads) {
        if (auto flag = thread.stop_requested.lock()) {
            flag->store(true, std::memory_order_relaxed);
        }
        if (auto wakeup = thread.wakeup.lock()) {
            wakeup->wake();
        }
    }
    for (const auto& thread : threads) {
        thread.completion->finished.wait(false, std::memory_order_acquire);
    }
}

}  // namespace kulvo
