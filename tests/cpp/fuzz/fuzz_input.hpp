// Sequential decoding of a fuzz input. Reading past the end gives zeros, so every
// input decodes to something; make_seeds.py writes inputs in the same layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// A broken invariant aborts: libFuzzer stops there and keeps the input that did it.
// A macro for the condition's text and its line.
// NOLINTNEXTLINE(cppcoreguidelines-macro-usage)
#define KULVO_FUZZ_CHECK(condition)                                                                  \
    do {                                                                                             \
        if (!(condition)) {                                                                          \
            std::fprintf(stderr, "invariant failed at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                            \
        }                                                                                            \
    } while (false)

namespace kulvo::fuzz {

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    [[nodiscard]] bool empty() const { return position_ >= size_; }

    std::uint8_t u8() {
        if (position_ >= size_) {
            return 0;
        }
        return data_[position_++];
    }

    // Little-endian, like the seed writer.
    template <typename Unsigned>
    Unsigned little_endian() {
        Unsigned value = 0;
        for (std::size_t i = 0; i < sizeof(Unsigned); ++i) {
            value |= static_cast<Unsigned>(static_cast<Unsigned>(u8()) << (8 * i));
        }
        return value;
    }

    std::uint16_t u16() { return little_endian<std::uint16_t>(); }
    std::uint64_t u64() { return little_endian<std::uint64_t>(); }

    // Any bit pattern: NaN, infinities and subnormals included.
    double raw_double() {
        const std::uint64_t bits = u64();
        double value = 0.0;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

}  // namespace kulvo::fuzz
