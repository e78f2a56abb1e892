// A small pseudo-random sequence for sampling decisions: statistical quality is all they need.
#pragma once

#include <cstdint>

namespace kulvo {

// splitmix64: advances `state` and returns the next value.
inline std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30U)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27U)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31U);
}

}  // namespace kulvo
