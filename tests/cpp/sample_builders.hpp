// Samples and stacks for the analysis tests, built in one line each. Their stacks are
// ids of one table shared by the test program.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "records.hpp"

namespace kulvo {

inline StackTable& test_stacks() {
    static StackTable table;
    return table;
}

inline StackId stack_of(const StackSnapshot& stack) {
    return test_stacks().intern(stack);
}

inline StackId stack_named(const std::string& function) {
    return stack_of(StackSnapshot{{{"app.py", "<module>", 1}, {"app.py", function, 10}}});
}

inline Sample sample(std::uint64_t timestamp_ms, double cpu_percent, std::uint64_t rss_bytes,
                     StackId stack = kNoStack) {
    return Sample{timestamp_ms, cpu_percent, rss_bytes, stack};
}

}  // namespace kulvo
