#include "thread_list.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cstring>

namespace kulvo::py {

ThreadList::ThreadList(const InterpreterLayout& layout, std::uintptr_t known_thread_state,
                       std::optional<std::size_t> tid_offset)
    : layout_(layout), known_(known_thread_state), tid_offset_(tid_offset) {}

bool ThreadList::read(std::vector<ThreadEntry>& out) const {
    out.clear();
    std::uintptr_t first = known_;
    for (std::size_t steps = 0;; ++steps) {
        std::uintptr_t previous = 0;
        if (steps >= kMaxThreads || !memory_.read_value(first + layout_.thread_previous, previous)) {
            return false;
        }
        if (previous == 0) {
            break;
        }
        first = previous;
    }
    bool met_known = false;
    for (std::uintptr_t at = first; at != 0;) {
        ThreadEntry entry{at, 0, 0};
        std::uintptr_t next = 0;
        if (out.size() >= kMaxThreads || !memory_.read_value(at + layout_.thread_next, next) ||
            !memory_.read_value(at + layout_.thread_handle, entry.handle)) {
            return false;
        }
        entry.native_id = native_id_of(at, entry.handle).value_or(0);
        met_known = met_known || at == known_;
        out.push_back(entry);
        at = next;
    }
    return met_known;  // a walk that missed the known thread read a list that changed
}

std::optional<pid_t> ThreadList::native_id_of(std::uintptr_t thread_state, std::uint64_t handle) const {
    std::uint64_t id = 0;
    if (layout_.thread_native_id) {
        if (!memory_.read_value(thread_state + *layout_.thread_native_id, id)) {
            return std::nullopt;
        }
    } else {
        std::int32_t tid = 0;
        if (!tid_offset_ || handle == 0 || !memory_.read_value(handle + *tid_offset_, tid) || tid <= 0) {
            return std::nullopt;
        }
        id = static_cast<std::uint64_t>(tid);
    }
    return id > 0 ? std::optional<pid_t>(static_cast<pid_t>(id)) : std::nullopt;
}

std::optional<std::size_t> pthread_tid_offset() {
    constexpr std::size_t kSearchedBytes = 2048;
    const auto tid = static_cast<std::int32_t>(gettid());
    std::vector<std::uint8_t> bytes(kSearchedBytes);
    if (!ProcessMemory().read(static_cast<std::uintptr_t>(pthread_self()), bytes.data(), bytes.size())) {
        return std::nullopt;
    }
    std::optional<std::size_t> found;
    for (std::size_t offset = 0; offset + sizeof(tid) <= kSearchedBytes; offset += sizeof(tid)) {
        std::int32_t value = 0;
        std::memcpy(&value, bytes.data() + offset, sizeof(value));
        if (value == tid) {
            if (found) {
                return std::nullopt;
            }
            found = offset;
        }
    }
    return found;
}

}  // namespace kulvo::py
