#include "pacing.hpp"

#include <algorithm>

#include "splitmix.hpp"

namespace kulvo {

std::uint64_t next_slot_ns(std::uint64_t slot_ns, std::uint64_t now_ns, std::uint64_t interval_ns) {
    if (interval_ns == 0) {
        return now_ns;
    }
    std::uint64_t next = slot_ns + interval_ns;
    if (next <= now_ns) {
        next += ((now_ns - next) / interval_ns + 1) * interval_ns;
    }
    return next;
}

SlotPacer::SlotPacer(std::uint64_t origin_ns, std::uint64_t interval_ns, std::uint64_t now_ns)
    : interval_ns_(std::max<std::uint64_t>(interval_ns, 1)),
      slot_ns_(now_ns > origin_ns ? now_ns - (now_ns - origin_ns) % interval_ns_ : origin_ns),
      wake_ns_(std::max(origin_ns, now_ns)),
      jitter_state_(now_ns) {}

std::uint64_t SlotPacer::close_slot(std::uint64_t now_ns) {
    // A slot whose sampling point passed while this capture ran belongs to this sample: the
    // capture saw the program at that point. The first slot whose point lies ahead is next.
    const std::uint64_t closed_ns = slot_ns_;
    do {
        slot_ns_ += interval_ns_;
        wake_ns_ = slot_ns_ + splitmix64(jitter_state_) % interval_ns_;
    } while (wake_ns_ <= now_ns);
    return slot_ns_ - closed_ns;
}

void SlotPacer::double_interval() {
    interval_ns_ *= 2;
    wake_ns_ = slot_ns_ + splitmix64(jitter_state_) % interval_ns_;
}

}  // namespace kulvo
