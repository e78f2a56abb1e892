// Arbitrary push/drain sequences through RingBuffer, checked step by step against a
// model: a std::deque that drops its front when it is full.
//
// Input layout (see make_seeds.py): u16 capacity - 1 (taken modulo 1024), then one byte
// per operation: low two bits 0 or 1: push one item; 2: drain; 3: push (byte >> 2) + 1
// items in a row, so that short inputs still wrap the ring many times.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_input.hpp"
#include "ringbuf.hpp"

namespace kulvo::fuzz {
namespace {

// Owns heap memory (too long for the small-string buffer) and counts live instances,
// so that a slot destroyed twice, never destroyed or read after destruction shows up
// here or under AddressSanitizer.
struct Item {
    static inline std::int64_t live = 0;
    std::string text;

    explicit Item(std::uint64_t n) : text("ring item number " + std::to_string(n) + " with a heap buffer") { ++live; }
    Item(Item&& other) noexcept : text(std::move(other.text)) { ++live; }
    Item(const Item&) = delete;
    Item& operator=(const Item&) = delete;
    Item& operator=(Item&&) = delete;
    ~Item() { --live; }
};

std::string expected_text(std::uint64_t n) {
    return "ring item number " + std::to_string(n) + " with a heap buffer";
}

void run(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const std::uint64_t capacity = 1 + in.u16() % 1024;
    RingBuffer<Item> ring(capacity);
    std::deque<std::uint64_t> model;  // item numbers, oldest first
    std::uint64_t pushed = 0;

    const auto push = [&] {
        ring.push(Item(pushed));
        model.push_back(pushed);
        ++pushed;
        if (model.size() > capacity) {
            model.pop_front();
        }
    };

    while (!in.empty()) {
        const std::uint8_t op = in.u8();
        switch (op & 3U) {
            case 0:
            case 1:
                push();
                break;
            case 2: {
                const std::vector<Item> drained = ring.drain();
                KULVO_FUZZ_CHECK(drained.size() == model.size());
                for (std::size_t i = 0; i < drained.size(); ++i) {
                    KULVO_FUZZ_CHECK(drained[i].text == expected_text(model[i]));
                }
                model.clear();
                break;
            }
            default:
                for (unsigned i = 0; i <= (op >> 2U); ++i) {
                    push();
                }
                break;
        }
        KULVO_FUZZ_CHECK(ring.capacity() == capacity);
        KULVO_FUZZ_CHECK(ring.len() == model.size());
        KULVO_FUZZ_CHECK(ring.write_index() == pushed);
        KULVO_FUZZ_CHECK(Item::live == static_cast<std::int64_t>(model.size()));
    }
}

}  // namespace
}  // namespace kulvo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using kulvo::fuzz::Item;
    Item::live = 0;
    kulvo::fuzz::run(data, size);  // the ring is destroyed with whatever it still holds
    KULVO_FUZZ_CHECK(Item::live == 0);
    return 0;
}
