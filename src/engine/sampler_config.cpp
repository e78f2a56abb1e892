#include "sampler_config.hpp"

namespace kulvo {

std::optional<std::string> interval_error(std::uint64_t interval_ms) {
    if (interval_ms < kMinIntervalMs || interval_ms > kMaxIntervalMs) {
        return "interval_ms must be in [1, 10000], got " + std::to_string(interval_ms);
    }
    return std::nullopt;
}

}  // namespace kulvo
