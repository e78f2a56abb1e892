// The interpreter's Python threads, read from memory as the stack reader reads frames: the
// list of thread states, linked both ways, walked from one known to be in it (the main
// thread's, which lives as long as the interpreter). A thread state freed while it is read
// yields a stale value, never a crash; the list is read again at every sample.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "interpreter_layout.hpp"
#include "process_memory.hpp"

namespace kulvo::py {

struct ThreadEntry {
    std::uintptr_t thread_state = 0;
    std::uint64_t handle = 0;  // threading's ident: the thread's pthread_t
    pid_t native_id = 0;       // 0 when not known
};

class ThreadList {
public:
    // `tid_offset`: where a pthread_t's thread keeps its kernel id (before 3.11 the
    // interpreter does not keep it), from pthread_tid_offset().
    ThreadList(const InterpreterLayout& layout, std::uintptr_t known_thread_state,
               std::optional<std::size_t> tid_offset);

    // Every thread state in the list, first to last; false when the list could not be read
    // whole (it changed under the walk, or is longer than kMaxThreads).
    bool read(std::vector<ThreadEntry>& out) const;

    static constexpr std::size_t kMaxThreads = 1024;

private:
    std::optional<pid_t> native_id_of(std::uintptr_t thread_state, std::uint64_t handle) const;

    InterpreterLayout layout_;
    std::uintptr_t known_;
    std::optional<std::size_t> tid_offset_;
    ProcessMemory memory_;
};

// Where this C library keeps a thread's kernel id in the memory a pthread_t points to, found
// on the calling thread: the one place near the start that holds its id. nullopt when that
// is not exactly one place.
std::optional<std::size_t> pthread_tid_offset();

}  // namespace kulvo::py
