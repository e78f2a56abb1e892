// Fixed-capacity ring of items: storage allocated once, push evicts the oldest.
// No lock: one writer (the sampler thread) and a drain only after that writer
// has been joined.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

namespace kulvo {

template <typename T>
class RingBuffer {
public:
    explicit RingBuffer(std::uint64_t capacity) : capacity_(checked_capacity(capacity)) {
        slots_ = std::allocator<Slot>{}.allocate(static_cast<std::size_t>(capacity_));
    }

    RingBuffer(const RingBuffer&) = delete;
    RingBuffer& operator=(const RingBuffer&) = delete;

    ~RingBuffer() {
        for (std::uint64_t i = read_index_; i < write_index_; ++i) {
            std::destroy_at(item_at(i));
        }
        std::allocator<Slot>{}.deallocate(slots_, static_cast<std::size_t>(capacity_));
    }

    [[nodiscard]] std::uint64_t capacity() const { return capacity_; }
    [[nodiscard]] std::uint64_t len() const { return write_index_ - read_index_; }
    [[nodiscard]] std::uint64_t write_index() const { return write_index_; }

    // Constant time and allocation-free; a full buffer evicts its oldest item.
    void push(T item) {
        if (len() >= capacity_) {
            std::destroy_at(item_at(read_index_));
            ++read_index_;
        }
        ::new (slot_storage(write_index_)) T(std::move(item));
        ++write_index_;
    }

    // Makes each two neighbouring items one, `merge(older, newer)`, oldest first (an odd last
    // item stays as it is): a full buffer then holds the same span in half the items.
    // Allocation-free; the indices keep counting on, the items now at the newest positions.
    template <typename Merge>
    void halve(Merge merge) {
        const std::uint64_t n = len();
        const std::uint64_t kept = (n + 1) / 2;
        const std::uint64_t freed = n - kept;
        // Newest first, each into a position no later pair reads: pair j's items lie at
        // 2j and 2j + 1, below its target freed + j for every pair but an odd last one,
        // which already stands at its target.
        for (std::uint64_t j = n / 2; j-- > 0;) {
            T merged = merge(std::move(*item_at(read_index_ + 2 * j)), std::move(*item_at(read_index_ + 2 * j + 1)));
            T* target = item_at(read_index_ + freed + j);
            std::destroy_at(target);
            ::new (static_cast<void*>(target)) T(std::move(merged));
        }
        for (std::uint64_t i = 0; i < freed; ++i) {
            std::destroy_at(item_at(read_index_ + i));
        }
        read_index_ += freed;
    }

    // Moves every live item out, oldest first; the indices keep counting on.
    std::vector<T> drain() {
        std::vector<T> out;
        const std::uint64_t n = len();
        out.reserve(static_cast<std::size_t>(n));
        for (std::uint64_t i = 0; i < n; ++i) {
            T* item = item_at(read_index_ + i);
            out.push_back(std::move(*item));
            std::destroy_at(item);
        }
        read_index_ = write_index_;
        return out;
    }

private:
    struct Slot {
        alignas(T) unsigned char bytes[sizeof(T)];
    };

    static std::uint64_t checked_capacity(std::uint64_t capacity) {
        if (capacity == 0) {
            throw std::invalid_argument("RingBuffer capacity must be > 0");
        }
        return capacity;
    }

    void* slot_storage(std::uint64_t logical_index) { return slots_[logical_index % capacity_].bytes; }

    // Only for logical indices in [read_index_, write_index_), whose slots hold a live item.
    T* item_at(std::uint64_t logical_index) { return std::launder(static_cast<T*>(slot_storage(logical_index))); }

    Slot* slots_ = nullptr;
    std::uint64_t capacity_;
    std::uint64_t write_index_ = 0;  // items ever pushed
    std::uint64_t read_index_ = 0;   // items ever evicted or drained
};

}  // namespace kulvo
