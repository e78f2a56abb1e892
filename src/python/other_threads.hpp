// The stacks of the program's Python threads other than the main one, read from memory at
// each sample. They are read as they run, never held: a walk is checked against the frames
// it read and read again where they changed (memory_stack_reader.hpp). A thread that has
// not run since its last read stands where it stood then, without a read.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "memory_stack_reader.hpp"
#include "thread_list.hpp"
#include "thread_run_state.hpp"
#include "thread_sets.hpp"

namespace kulvo::py {

// The file name of the frame each thread's stacks are rooted at; its function is the thread's
// ident (threading's), its line the thread's kernel id (0 when not known).
inline constexpr const char* kThreadRootFile = "<thread>";

class OtherThreads {
public:
    // `place` is the main thread's; `tid_offset` as ThreadList takes it.
    OtherThreads(const StackReaderPlace& place, std::optional<std::size_t> tid_offset);

    // The other threads' stacks now, in the run's table.
    ThreadSetId capture(StackTable& stacks);

    static constexpr std::size_t kMostThreadsRead = 256;

private:
    struct Watched {
        std::unique_ptr<ThreadRunWatch> watch;  // none without a kernel id
        FrameId root = kOtherFrame;
        StackId last_stack = kNoStack;
        std::uint64_t last_cpu_ns = 0;
        bool last_waiting = false;
        bool seen = false;  // in this sample's list
    };
    Watched& watched(StackTable& stacks, const ThreadEntry& entry);
    ThreadStack read(StackTable& stacks, const ThreadEntry& entry, Watched& thread);

    std::uintptr_t main_thread_state_;
    ThreadList list_;
    MemoryStackReader reader_;
    std::vector<ThreadEntry> entries_;
    std::map<std::pair<std::uint64_t, pid_t>, Watched> threads_;  // by handle and kernel id
    std::vector<ThreadStack> set_;
    const StackTable* roots_in_ = nullptr;  // the table the roots belong to
};

}  // namespace kulvo::py
