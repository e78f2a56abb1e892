// Hot-path ranking over the drained samples: the frames seen most often. Runs after
// the sampler thread has been joined.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "records.hpp"
#include "stack_table.hpp"

namespace kulvo {

// Every frame of every stacked sample counted by (file, function, line), highest count
// first, at most top_n entries. Equal counts rank by file, function, line ascending.
std::vector<HotPath> aggregate_hot_paths(std::span<const Sample> samples, const StackTable& stacks,
                                         std::uint64_t top_n);

}  // namespace kulvo
