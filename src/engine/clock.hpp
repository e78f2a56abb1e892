// Monotonic instants and non-negative durations, as whole seconds plus nanoseconds.
#pragma once

#include <cstdint>

namespace kulvo {

inline constexpr std::uint32_t kNanosPerSecond = 1'000'000'000;

struct Instant {
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
};

struct Duration {
    std::uint64_t seconds = 0;
    std::uint32_t nanoseconds = 0;  // below one second

    bool operator==(const Duration&) const = default;
};

// The raw uptime clock where the system has one, else CLOCK_MONOTONIC.
Instant monotonic_now();

// later - earlier, or zero when `later` is in fact the earlier reading.
Duration duration_between(Instant earlier, Instant later);

// Whole milliseconds, truncated.
std::uint64_t whole_ms(Duration duration);

double as_seconds(Duration duration);

Duration duration_from_ms(std::uint64_t milliseconds);

// Compares whole seconds first, then nanoseconds.
bool is_shorter(Duration a, Duration b);

// a - b, or zero when b is not shorter than a.
Duration saturating_sub(Duration a, Duration b);

// Sleeps the whole duration, resuming with the remainder after EINTR.
void sleep_for(Duration duration);

std::uint64_t as_nanoseconds(Instant instant);
std::uint64_t as_nanoseconds(Duration duration);
Duration duration_from_ns(std::uint64_t nanoseconds);

}  // namespace kulvo
