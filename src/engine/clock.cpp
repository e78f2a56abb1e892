#include "clock.hpp"

#include <cerrno>
#include <ctime>

namespace kulvo {

namespace {

#ifdef CLOCK_UPTIME_RAW
constexpr clockid_t kMonotonicClock = CLOCK_UPTIME_RAW;
#else
constexpr clockid_t kMonotonicClock = CLOCK_MONOTONIC;
#endif

}  // namespace

Instant monotonic_now() {
    timespec now{};
    clock_gettime(kMonotonicClock, &now);
    return Instant{static_cast<std::int64_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_nsec)};
}

Duration duration_between(Instant earlier, Instant later) {
    if (later.seconds < earlier.seconds ||
        (later.seconds == earlier.seconds && later.nanoseconds < earlier.nanoseconds)) {
        return Duration{};
    }
    auto seconds = static_cast<std::uint64_t>(later.seconds - earlier.seconds);
    std::uint32_t nanoseconds = 0;
    if (later.nanoseconds >= earlier.nanoseconds) {
        nanoseconds = later.nanoseconds - earlier.nanoseconds;
    } else {
        seconds -= 1;
        nanoseconds = kNanosPerSecond - earlier.nanoseconds + later.nanoseconds;
    }
    return Duration{seconds, nanoseconds};
}

std::uint64_t whole_ms(Duration duration) {
    return duration.seconds * 1000 + duration.nanoseconds / 1'000'000;
}

double as_seconds(Duration duration) {
    return static_cast<double>(duration.seconds) + static_cast<double>(duration.nanoseconds) / 1e9;
}

Duration duration_from_ms(std::uint64_t milliseconds) {
    return Duration{milliseconds / 1000, static_cast<std::uint32_t>((milliseconds % 1000) * 1'000'000)};
}

bool is_shorter(Duration a, Duration b) {
    return a.seconds < b.seconds || (a.seconds == b.seconds && a.nanoseconds < b.nanoseconds);
}

Duration saturating_sub(Duration a, Duration b) {
    if (!is_shorter(b, a)) {
        return Duration{};
    }
    std::uint64_t seconds = a.seconds - b.seconds;
    std::uint32_t nanoseconds = 0;
    if (a.nanoseconds >= b.nanoseconds) {
        nanoseconds = a.nanoseconds - b.nanoseconds;
    } else {
        seconds -= 1;
        nanoseconds = kNanosPerSecond - b.nanoseconds + a.nanoseconds;
    }
    return Duration{seconds, nanoseconds};
}

void sleep_for(Duration duration) {
    timespec remaining{static_cast<time_t>(duration.seconds), static_cast<long>(duration.nanoseconds)};
    while (remaining.tv_sec > 0 || remaining.tv_nsec > 0) {
        timespec left{};
        if (nanosleep(&remaining, &left) == 0) {
            return;
        }
        if (errno != EINTR) {
            return;
        }
        remaining = left;
    }
}

std::uint64_t as_nanoseconds(Instant instant) {
    return static_cast<std::uint64_t>(instant.seconds) * kNanosPerSecond + instant.nanoseconds;
}

std::uint64_t as_nanoseconds(Duration duration) {
    return duration.seconds * kNanosPerSecond + duration.nanoseconds;
}

Duration duration_from_ns(std::uint64_t nanoseconds) {
    return Duration{nanoseconds / kNanosPerSecond, static_cast<std::uint32_t>(nanoseconds % kNanosPerSecond)};
}

}  // namespace kulvo
