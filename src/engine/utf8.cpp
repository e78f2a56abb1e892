#include "utf8.hpp"

#include <cstddef>

namespace kulvo {

namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

bool is_continuation(unsigned char byte) {
    return (byte & 0xC0U) == 0x80U;
}

// Length of the well-formed sequence starting at `i`, or 0 when it is not one.
std::size_t sequence_length(std::string_view bytes, std::size_t i) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length = 0;
    unsigned char min_second = 0x80;
    unsigned char max_second = 0xBF;
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            min_second = 0xA0;  // no overlong forms
        } else if (lead == 0xED) {
            max_second = 0x9F;  // no surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            min_second = 0x90;
        } else if (lead == 0xF4) {
            max_second = 0x8F;  // nothing above U+10FFFF
        }
    } else {
        return 0;
    }
    if (i + length > bytes.size()) {
        return 0;
    }
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    if (second < min_second || second > max_second) {
        return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if (!is_continuation(static_cast<unsigned char>(bytes[i + k]))) {
            return 0;
        }
    }
    return length;
}

}  // namespace

std::string valid_utf8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::size_t length = sequence_length(bytes, i);
        if (length == 0) {
            text.append(kReplacementCharacter);
            i += 1;
        } else {
            text.append(bytes.substr(i, length));
            i += length;
        }
    }
    return text;
}

}  // namespace kulvo
