#include "other_threads.hpp"

#include <string>

namespace kulvo::py {

namespace {

// CPU time a thread may use without running Python: a signal's delivery, a wake-up that finds
// nothing to do. Small, since a pool's worker that wakes, takes a task and goes to sleep in it
// runs for only some tens of microseconds, and its sleep belongs to the task.
constexpr std::uint64_t kStillNs = 2'000;

}  // namespace

OtherThreads::OtherThreads(const StackReaderPlace& place, std::optional<std::size_t> tid_offset)
    : main_thread_state_(place.thread_state), list_(place.layout, place.thread_state, tid_offset), reader_(place) {
    entries_.reserve(ThreadList::kMaxThreads);
}

ThreadSetId OtherThreads::capture(StackTable& stacks) {
    if (roots_in_ != &stacks) {
        threads_.clear();  // their roots and stacks are ids of another table
        roots_in_ = &stacks;
    }
    set_.clear();
    if (!list_.read(entries_)) {
        return kNoThreads;
    }
    for (auto& [key, thread] : threads_) {
        thread.seen = false;
    }
    std::size_t read_count = 0;
    for (const ThreadEntry& entry : entries_) {
        // A thread state with no thread bound to it is being started or torn down: its frames,
        // if any are read, are not a running thread's, and it has no name to show them under.
        if (entry.thread_state == main_thread_state_ || entry.handle == 0 || read_count >= kMostThreadsRead) {
            continue;
        }
        ++read_count;
        Watched& thread = watched(stacks, entry);
        thread.seen = true;
        const ThreadStack stack = read(stacks, entry, thread);
        if (stack.stack != kNoStack) {
            set_.push_back(stack);
        }
    }
    std::erase_if(threads_, [](const auto& item) { return !item.second.seen; });
    return stacks.thread_sets().intern(set_);
}

OtherThreads::Watched& OtherThreads::watched(StackTable& stacks, const ThreadEntry& entry) {
    const auto [found, added] = threads_.try_emplace({entry.handle, entry.native_id});
    Watched& thread = found->second;
    if (added) {
        if (entry.native_id > 0) {
            thread.watch = std::make_unique<ThreadRunWatch>(entry.native_id);
        }
        thread.root = stacks.intern_frame(kThreadRootFile, std::to_string(entry.handle), entry.native_id);
    }
    return thread;
}

ThreadStack OtherThreads::read(StackTable& stacks, const ThreadEntry& entry, Watched& thread) {
    const std::uint64_t cpu_ns = thread.watch ? thread.watch->cpu_time_ns() : 0;
    RunState state = RunState::Unknown;
    if (thread.watch) {
        if (thread.last_stack != kNoStack && cpu_ns - thread.last_cpu_ns < kStillNs) {
            // Not run since: where it stood, waiting unless it waits for a CPU.
            const bool runnable = thread.watch->read() == RunState::Running;
            thread.last_waiting = runnable ? thread.last_waiting : true;
            return ThreadStack{thread.last_stack, thread.last_waiting};
        }
        state = thread.watch->read();
    }
    reader_.read_thread(entry.thread_state, thread.root);
    const std::optional<StackId> stack = reader_.read(stacks, state != RunState::Waiting);
    thread.last_stack = stack.value_or(thread.last_stack);
    thread.last_cpu_ns = cpu_ns;
    thread.last_waiting = state == RunState::Waiting;
    return ThreadStack{thread.last_stack, thread.last_waiting};
}

}  // namespace kulvo::py
