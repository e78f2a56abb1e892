// The engine's records of a run: samples, spike events, hot paths and the result that
// holds them. Numbers, ids into the run's StackTable and owned strings, never an
// interpreter object, so they can be created, moved and destroyed on any thread without
// the GIL.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "stack_table.hpp"

namespace kulvo {

struct Sample {
    std::uint64_t timestamp_ms = 0;
    double cpu_percent = 0.0;     // 100.0 is one core; -1.0 marks a failed reading
    std::uint64_t rss_bytes = 0;  // peak resident set size; 0 marks a failed reading
    StackId stack = kNoStack;
    // The time this sample stands for: since the previous sample (the first: since the
    // thread's origin). Weighting by the time since, not until, makes a long call that
    // holds the interpreter lock count for the time it took.
    std::uint64_t weight_us = 0;
    bool main_thread_waiting = false;        // the main thread was off the CPU (sleep, I/O, a lock)
    ThreadSetId other_threads = kNoThreads;  // the package's sampler: the other threads' stacks
};

enum class SpikeKind { Cpu, Memory };

struct SpikeEvent {
    SpikeKind kind = SpikeKind::Cpu;
    std::uint64_t start_ms = 0;
    std::uint64_t end_ms = 0;
    double peak_value = 0.0;
    double threshold = 0.0;
    StackId peak_stack = kNoStack;
};

struct HotPath {
    std::string file;
    std::string function;
    std::int32_t line = 0;
    std::uint64_t count = 0;
    double percent = 0.0;
};

struct ProfileResult {
    std::uint64_t sample_count = 0;
    std::uint64_t wall_time_ms = 0;
    std::vector<Sample> samples;
    std::vector<SpikeEvent> spike_events;
    std::vector<HotPath> hot_paths;
    std::shared_ptr<const StackTable> stacks;  // what the samples' and events' stack ids name
};

}  // namespace kulvo
