// Samples and stacks for the analysis tests, built in one line each.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "records.hpp"

namespace kulvo {

inline StackSnapshot stack_named(const std::string& function) {
    return StackSnapshot{{{"app.py", "<module>", 1}, {"app.py", function, 10}}};
}

inline Sample sample(std::uint64_t timestamp_ms, double cpu_percent, std::uint64_t rss_bytes,
                     std::optional<StackSnapshot> stack = std::nullopt) {
    return Sample{timestamp_ms, cpu_percent, rss_bytes, std::move(stack)};
}

}  // namespace kulvo
