// The engine object behind one PySampler: configuration, the state shared with
// the background thread (ring and flags), the thread handle and the run's start.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "clock.hpp"
#include "error.hpp"
#include "records.hpp"
#include "ringbuf.hpp"
#include "sampler_config.hpp"

namespace kulvo {

inline constexpr const char* kSamplerThreadName = "kulvo-sampler";
inline constexpr std::size_t kSamplerStackBytes = 2 * 1024 * 1024;

using SampleRing = RingBuffer<Sample>;
// A single-byte atomic flag shared by the Sampler and its thread. Plain loads and
// stores only: the flags carry no other data (samples reach stop() through the join).
using SharedFlag = std::shared_ptr<std::atomic<bool>>;

// What one stack capture finds, its frames written out.
struct CaptureOutcome {
    std::optional<StackSnapshot> stack;
    std::optional<Error> error;  // fatal for the sampler thread
    bool main_thread_waiting = false;
};
using CaptureFn = CaptureOutcome (*)();

// What one stack capture hands the sampling loop: the stack as an id of the run's table.
struct InternedCapture {
    StackId stack = kNoStack;
    std::optional<Error> error;  // fatal for the sampler thread
    bool main_thread_waiting = false;
    ThreadSetId other_threads = kNoThreads;
};

// Where the sampler thread gets its stacks from. Owned by the thread; `finish` runs on
// the thread after its last cycle (not from a destructor: it may call the interpreter,
// which can end the thread at exit).
class StackSource {
public:
    StackSource() = default;
    StackSource(const StackSource&) = delete;
    StackSource& operator=(const StackSource&) = delete;
    virtual ~StackSource() = default;
    // Interns the stack it finds into `stacks`, which only the sampler thread writes.
    virtual InternedCapture capture(StackTable& stacks) = 0;
    // Whether a capture waits for the program (for the interpreter lock, or for the main
    // thread to answer): time it waited was seen by it, not missed.
    [[nodiscard]] virtual bool waits_for_program() const { return true; }
    // The moment the next capture's sample stands for (monotonic clock, ns), told before the
    // capture: one that comes late may tell what the program did then.
    virtual void sampling_point(std::uint64_t /*point_ns*/) {}
    virtual void finish() {}
};

// A source that only calls `capture`; for captures that keep no state.
std::unique_ptr<StackSource> function_source(CaptureFn capture);

// How the loop paces its cycles and measures CPU.
struct LoopOptions {
    // false: sleep the interval minus the cycle's work (a late cycle is followed at once by
    // the next), each sample weighted by the time since the previous one. true: one sample
    // in each slot of a fixed grid (SlotPacer): a late cycle skips the slots it missed
    // instead of bursting, samples are weighted in slots, and stop() wakes the sleep at once.
    bool absolute_deadlines = false;
    // The process CPU clock instead of getrusage, whose per-tick split aliases at short
    // intervals (one busy thread reading 79 % and 119 % in turn), less the sampler thread's
    // own CPU time.
    bool precise_cpu = false;
    // The CPU clock of the thread that does the program's work. The process clock adds up
    // its threads' running time as the kernel last recorded it, which for a thread running
    // on another CPU is at its last scheduler tick: one busy thread read 1 % and 133 % in
    // turn at 10 ms. Reading that thread's own clock first brings its figure up to date.
    std::optional<clockid_t> worker_clock;
    // Ask the scheduler for the shortest time slice (Linux 6.12+). A thread that wakes on a
    // CPU the program keeps busy otherwise waits out the program's slice, up to a few
    // milliseconds: samples then land where the program blocks, and a 3 ms burst of work
    // between 3 ms sleeps read 33 % against its true 46 % with both threads on one CPU.
    // And wake at the deadline, without the timer slack of 50 us: a sample taken late while
    // the program runs lands after its burst more often than one taken late while it waits.
    bool prompt_wakeups = false;
    // With absolute deadlines: a full ring makes each two neighbouring samples one and the
    // rate halves, so that the samples always cover the whole run (PySampler keeps the newest
    // samples instead, as documented).
    bool keep_whole_run = false;
};

// How a run on absolute deadlines was paced; kept across a pause, read by the package.
struct PacingRecord {
    // Time no sample stands for: slots a late cycle missed beyond the longest a sample may
    // stand for. Given to the stack found at the end, a gap the scheduler made would weigh
    // one stack by the machine's load.
    std::atomic<std::uint64_t> unobserved_ns{0};
    std::atomic<std::uint32_t> halvings{0};  // times the ring was full and the rate halved
};

// Wakes a sampler thread's sleep when it is asked to stop.
class Wakeup {
public:
    // Sleeps up to `duration`; returns early once `wake` was called.
    void sleep_for(Duration duration);
    void wake();

private:
    std::mutex mutex_;
    std::condition_variable woken_cv_;
    bool woken_ = false;  // guarded by mutex_
};

// Lets the memory watcher block until the memory-spike flag rises instead of polling it.
// The sampler thread raises the flag, then calls notify().
class SpikeWaiters {
public:
    explicit SpikeWaiters(SharedFlag flag) : flag_(std::move(flag)) {}

    void notify();
    // Up to `timeout`: true as soon as the flag is up, false on timeout or once released.
    bool wait_for(Duration timeout);
    // Ends every wait, now and later: the watcher is stopping or the sampler is gone.
    void release();

private:
    SharedFlag flag_;
    std::mutex mutex_;
    std::condition_variable changed_cv_;
    bool released_ = false;  // guarded by mutex_
};

// Set by the sampler thread on its way out, whatever the way; waited on at exit.
struct ThreadCompletion {
    std::atomic<bool> finished{false};
};

// Everything the sampler thread owns while it runs.
struct SamplerThreadStart {
    std::uint64_t mem_flag_step_bytes = 0;
    std::shared_ptr<SampleRing> ring;
    std::shared_ptr<StackTable> stacks;
    SharedFlag stop_requested;
    SharedFlag mem_spike;
    std::shared_ptr<SpikeWaiters> spike_waiters;  // may be empty
    Duration interval;
    std::unique_ptr<StackSource> source;
    std::shared_ptr<ThreadCompletion> completion;
    LoopOptions options;
    std::shared_ptr<Wakeup> wakeup;  // present with absolute deadlines
    std::shared_ptr<PacingRecord> pacing;
    // A thread that resumes a paused run keeps the run's origin and stands on its grid;
    // absent for a run's first thread, which takes its own origin.
    std::optional<Instant> origin;
};

// The sampler thread's body: cycles until it sees `stop_requested`, or until a
// capture reports an error (diagnostic on stderr; the samples so far are kept).
void run_sampling_loop(SamplerThreadStart& start);

struct StopResult {
    std::vector<Sample> samples;  // oldest first
    std::shared_ptr<const StackTable> stacks;
    // What kulvo itself held for the run: the ring's storage and the stack table.
    std::uint64_t held_bytes = 0;
    std::uint64_t wall_time_ms = 0;
    std::optional<Error> error;  // the join failed: no samples
};

class Sampler {
public:
    // Validates the interval first; then allocates the ring's whole storage at once.
    static Result<std::unique_ptr<Sampler>> create(const SamplerConfig& config);

    Sampler(const Sampler&) = delete;
    Sampler& operator=(const Sampler&) = delete;

    // Release: asks a running thread to finish and detaches it; never blocks.
    ~Sampler();

    // Spawns the sampler thread; an internal error when the system refuses it.
    // Not for resuming a paused run: see resume().
    std::optional<Error> start(std::unique_ptr<StackSource> source, LoopOptions options = {});
    std::optional<Error> start(CaptureFn capture) { return start(function_source(capture)); }

    // The stop sequence without the interpreter lock: stop, join, clock, drain.
    StopResult stop_and_drain();

    // Ends the running thread and keeps its samples, so that the process has no thread of
    // kulvo's while it forks; resume() continues the run with a new thread on the same ring
    // and timeline. Without the interpreter lock. Only for a run on absolute deadlines.
    std::optional<Error> pause();
    std::optional<Error> resume(std::unique_ptr<StackSource> source, LoopOptions options);

    [[nodiscard]] bool has_thread() const { return thread_.has_value(); }
    [[nodiscard]] bool mem_spike() const { return mem_spike_->load(std::memory_order_relaxed); }
    void clear_mem_spike() { mem_spike_->store(false, std::memory_order_relaxed); }
    [[nodiscard]] std::shared_ptr<SpikeWaiters> spike_waiters() const { return spike_waiters_; }
    [[nodiscard]] const SamplerConfig& config() const { return config_; }
    [[nodiscard]] std::shared_ptr<const PacingRecord> pacing() const { return pacing_; }

private:
    explicit Sampler(const SamplerConfig& config);
    std::optional<Error> spawn_thread(std::unique_ptr<StackSource> source, LoopOptions options);

    struct ThreadHandle {
        pthread_t thread{};
        std::shared_ptr<ThreadCompletion> completion;
        pid_t spawned_in_pid = 0;  // after a fork the thread does not exist in the child
    };

    SamplerConfig config_;
    std::shared_ptr<SampleRing> ring_;             // pushed by the sampler thread only; drained after the join
    std::shared_ptr<StackTable> stacks_;           // the same
    SharedFlag stop_requested_;                    // atomic: stored here, loaded by the thread each cycle
    SharedFlag mem_spike_;                         // atomic: set by the thread, read and cleared by Python
    std::shared_ptr<SpikeWaiters> spike_waiters_;  // watchers blocked on mem_spike_
    std::optional<ThreadHandle> thread_;           // the owner's thread (GIL held in the extension)
    std::shared_ptr<Wakeup> wakeup_;               // the running thread's, when it sleeps to deadlines
    std::shared_ptr<PacingRecord> pacing_;         // written by the thread, atomics
    std::optional<Instant> origin_;                // the run's origin, for a thread that resumes it
    pid_t created_in_pid_;                         // a forked child's copy holds its parent's samples
    Instant start_instant_;
};

// Asks every sampler thread of this process that is still running to finish and
// waits until each has (at most one interval plus one cycle). Call without the
// interpreter lock, before the interpreter starts finalizing. noexcept: its caller
// has given the lock up, so no exception could be raised from here.
void stop_live_sampler_threads() noexcept;

}  // namespace kulvo
