// Allocation sampling in the program's own threads: hooks on Python's object and memory
// allocators that count every allocated byte and keep a sampled few blocks with the line
// that allocated them (sampled_allocations.hpp). The line is the innermost complete Python
// frame of the allocating thread, read from memory with the stack reader's layout: the
// thread is the one allocating, so its frames stand still and no system call is needed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "memory_stack_reader.hpp"
#include "pyref.hpp"
#include "sampled_allocations.hpp"

namespace kulvo::py {

// GIL held. Starts sampling with a mean of `mean_interval_bytes` between sampled bytes;
// what was kept before is forgotten. An error text when it cannot start.
std::optional<std::string> start_allocation_sampling(const StackReaderPlace& place, std::int64_t mean_interval_bytes);

// GIL held. Stops sampling and releases what sampling pinned. False when the hooks were no
// longer Python's allocators (the program put others on top, or took them off).
bool stop_allocation_sampling();

// A site's line, resolved with the GIL held from the code object sampling pinned.
struct ResolvedSite {
    Ref file;  // an exact str; null when the site names no readable code
    long line = -1;
};

// GIL held. Copies of the live totals, the totals at the peak, and their sites resolved.
struct SampledTotals {
    std::vector<SiteTotal> live;
    HeldAtPeak at_peak;
    std::vector<ResolvedSite> sites;  // by site index
    std::int64_t live_bytes = 0;
    std::int64_t held_bytes = 0;  // the sampler's own memory
};
SampledTotals sampled_totals();

}  // namespace kulvo::py
