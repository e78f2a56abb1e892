// The engine object behind one PySampler: configuration, the state shared with
// the background thread (ring and flags), the thread handle and the run's start.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
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

// What one stack capture hands the sampling loop.
struct CaptureOutcome {
    std::optional<StackSnapshot> stack;
    std::optional<Error> error;  // fatal for the sampler thread
};
using CaptureFn = CaptureOutcome (*)();

// Set by the sampler thread on its way out, whatever the way; waited on at exit.
struct ThreadCompletion {
    std::atomic<bool> finished{false};
};

// Everything the sampler thread owns while it runs.
struct SamplerThreadStart {
    std::uint64_t mem_flag_step_bytes = 0;
    std::shared_ptr<SampleRing> ring;
    SharedFlag stop_requested;
    SharedFlag mem_spike;
    Duration interval;
    CaptureFn capture = nullptr;
    std::shared_ptr<ThreadCompletion> completion;
};

// The sampler thread's body: cycles until it sees `stop_requested`, or until a
// capture reports an error (diagnostic on stderr; the samples so far are kept).
void run_sampling_loop(SamplerThreadStart& start);

struct StopResult {
    std::vector<Sample> samples;  // oldest first
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
    std::optional<Error> start(CaptureFn capture);

    // The stop sequence without the interpreter lock: stop, join, clock, drain.
    StopResult stop_and_drain();

    [[nodiscard]] bool has_thread() const { return thread_.has_value(); }
    [[nodiscard]] bool mem_spike() const { return mem_spike_->load(std::memory_order_relaxed); }
    void clear_mem_spike() { mem_spike_->store(false, std::memory_order_relaxed); }
    [[nodiscard]] const SamplerConfig& config() const { return config_; }

private:
    explicit Sampler(const SamplerConfig& config);

    struct ThreadHandle {
        pthread_t thread{};
        std::shared_ptr<ThreadCompletion> completion;
        pid_t spawned_in_pid = 0;  // after a fork the thread does not exist in the child
    };

    SamplerConfig config_;
    std::shared_ptr<SampleRing> ring_;    // pushed by the sampler thread only; drained after the join
    SharedFlag stop_requested_;           // atomic: stored here, loaded by the thread each cycle
    SharedFlag mem_spike_;                // atomic: set by the thread, read and cleared by Python
    std::optional<ThreadHandle> thread_;  // the owner's thread (GIL held in the extension)
    Instant start_instant_;
};

// Asks every sampler thread of this process that is still running to finish and
// waits until each has (at most one interval plus one cycle). Call without the
// interpreter lock, before the interpreter starts finalizing. noexcept: its caller
// has given the lock up, so no exception could be raised from here.
void stop_live_sampler_threads() noexcept;

}  // namespace kulvo
