// Pacing of the package's sampler: a grid of slots one interval wide, one sample at a
// random point of each, and per-sample weights in slots.
#pragma once

#include <cstdint>

namespace kulvo {

// The first slot start `slot_ns + k * interval_ns` (k >= 1) after `now_ns`.
std::uint64_t next_slot_ns(std::uint64_t slot_ns, std::uint64_t now_ns, std::uint64_t interval_ns);

// A random point in each slot keeps a program whose period is a multiple of the interval
// from being seen at the same phase every time. A sample stands for its slot and for every
// slot its capture ran through: a capture that waited out a long call holding the
// interpreter lock saw that call, which filled those slots. Sampler thread only.
class SlotPacer {
public:
    // The grid starts at `origin_ns`; the first sample is taken at `now_ns`, in the slot
    // that holds it (a run resumed after a pause stays on its grid).
    SlotPacer(std::uint64_t origin_ns, std::uint64_t interval_ns, std::uint64_t now_ns);

    // The capture of the current slot's sample ended at `now_ns`: moves to the next slot
    // whose end has not passed and returns the time the sample stands for.
    std::uint64_t close_slot(std::uint64_t now_ns);

    // When to take the current slot's sample.
    [[nodiscard]] std::uint64_t wake_ns() const { return wake_ns_; }
    [[nodiscard]] std::uint64_t interval_ns() const { return interval_ns_; }

    // Halves the rate from the current slot on, which widens to the new interval.
    void double_interval();

private:
    std::uint64_t interval_ns_;
    std::uint64_t slot_ns_;
    std::uint64_t wake_ns_;
    std::uint64_t jitter_state_;  // splitmix64: statistical quality is all it needs
};

}  // namespace kulvo
