#include "sampler.hpp"

#include <unistd.h>

#include <csignal>
#include <mutex>
#include <system_error>
#include <utility>

#include "diagnostics.hpp"
#include "metering.hpp"

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
    start->mem_spike.reset();
    start->stop_requested.reset();
    start->ring.reset();
    return nullptr;
}

// Threads that may still be running, for the interpreter's exit. Only Python threads
// holding the interpreter lock touch it; the mutex is for the engine's own tests.
struct LiveThread {
    std::weak_ptr<std::atomic<bool>> stop_requested;
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

}  // namespace

void run_sampling_loop(SamplerThreadStart& start) {
    MeterState meter;
    meter.prev_instant = monotonic_now();
    const Instant origin = monotonic_now();
    for (;;) {
        const Instant cycle_start = monotonic_now();
        if (start.stop_requested->load(std::memory_order_relaxed)) {
            return;
        }
        const Instant now_cpu = monotonic_now();
        const Measurement measured = measure_cycle(meter, now_cpu, read_resource_usage(), start.mem_flag_step_bytes);
        if (measured.mem_spike) {
            start.mem_spike->store(true, std::memory_order_relaxed);
        }
        CaptureOutcome captured = start.capture();
        if (captured.error) {
            report_internal_error(captured.error->message);
            return;
        }
        // Taken after the capture, so it includes any wait for the interpreter lock.
        const std::uint64_t timestamp_ms = whole_ms(duration_between(origin, monotonic_now()));
        start.ring->push(Sample{timestamp_ms, measured.cpu_percent, measured.rss_bytes, std::move(captured.stack)});
        const Duration elapsed = duration_between(cycle_start, monotonic_now());
        if (is_shorter(elapsed, start.interval)) {
            sleep_for(saturating_sub(start.interval, elapsed));
        }
    }
}

Sampler::Sampler(const SamplerConfig& config)
    : config_(config),
      ring_(std::make_shared<SampleRing>(config.ring_capacity)),
      stop_requested_(std::make_shared<std::atomic<bool>>(false)),
      mem_spike_(std::make_shared<std::atomic<bool>>(false)),
      start_instant_(monotonic_now()) {}

Result<std::unique_ptr<Sampler>> Sampler::create(const SamplerConfig& config) {
    if (auto error = interval_error(config.interval_ms)) {
        return std::move(*error);
    }
    return std::unique_ptr<Sampler>(new Sampler(config));
}

Sampler::~Sampler() {
    stop_requested_->store(true, std::memory_order_relaxed);
    ring_.reset();
    stop_requested_.reset();
    mem_spike_.reset();
    if (thread_ && thread_->spawned_in_pid == getpid()) {
        pthread_detach(thread_->thread);
    }
    thread_.reset();
}

std::optional<Error> Sampler::start(CaptureFn capture) {
    auto record = std::make_unique<SamplerThreadStart>();
    auto completion = std::make_shared<ThreadCompletion>();
    record->ring = ring_;
    record->stop_requested = stop_requested_;
    record->mem_spike = mem_spike_;
    record->interval = duration_from_ms(config_.interval_ms);
    start_instant_ = monotonic_now();
    stop_requested_->store(false, std::memory_order_relaxed);
    record->mem_flag_step_bytes = config_.mem_flag_step_bytes;
    record->capture = capture;
    record->completion = completion;

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
    register_live_thread(LiveThread{stop_requested_, completion, getpid()});
    return std::nullopt;
}

StopResult Sampler::stop_and_drain() {
    StopResult result;
    stop_requested_->store(true, std::memory_order_relaxed);
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
    result.wall_time_ms = whole_ms(duration_between(start_instant_, monotonic_now()));
    if (!samples_belong_to_parent && !result.error) {
        result.samples = ring_->drain();
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
    }
    for (const auto& thread : threads) {
        thread.completion->finished.wait(false, std::memory_order_acquire);
    }
}

}  // namespace kulvo
