#include "sampler_config.hpp"

#include <string>

namespace kulvo {

std::optional<Error> interval_error(std::uint64_t interval_ms) {
    if (interval_ms < kMinIntervalMs || interval_ms > kMaxIntervalMs) {
        return Error::validation("interval_ms must be in [" + std::to_string(kMinIntervalMs) + ", " +
                                 std::to_string(kMaxIntervalMs) + "], got " + std::to_string(interval_ms));
    }
    return std::nullopt;
}

}  // namespace kulvo
