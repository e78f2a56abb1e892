#include "main_thread_capture.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "stack_capture.hpp"
#include "stack_reader_check.hpp"
#include "stack_record.hpp"
#include "thread_run_state.hpp"

namespace kulvo::py {

namespace {

// Requests from sampler threads and the main thread's answers. One per process, never
// destroyed: a pending call may still be queued when every sampler is gone.
struct Board {
    std::mutex mutex;
    std::condition_variable answered_cv;
    std::uint64_t asked = 0;               // guarded by mutex: the newest request's number
    std::uint64_t answered = 0;            // guarded by mutex: the newest request answered
    int waiters = 0;                       // guarded by mutex: sampler threads waiting for an answer
    std::optional<StackSnapshot> answer;   // guarded by mutex: the stack for `answered`
    std::uint64_t answer_cpu_ns = 0;       // guarded by mutex: the main thread's CPU time then
    std::atomic<bool> call_queued{false};  // atomic: at most one pending call in the queue
    // Whether kick signals may be sent; checked and sent under kick_mutex, so that once a
    // call to allow_kicks(false) returns, no signal is on its way.
    std::mutex kick_mutex;
    bool kicks_allowed = true;  // guarded by kick_mutex
};

Board& board() {
    static auto* instance = new Board();
    return *instance;
}

// Restores the error indicator that was set when the pending call began (normally none).
class ErrorStash {
public:
    ErrorStash() { PyErr_Fetch(&type_, &value_, &traceback_); }
    ErrorStash(const ErrorStash&) = delete;
    ErrorStash& operator=(const ErrorStash&) = delete;
    ~ErrorStash() {
        PyErr_Clear();
        PyErr_Restore(type_, value_, traceback_);
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// The first line of the frame's code: where a function just entered stands.
bool is_at_function_entry(PyObject* frame, int line) {
    const Ref code = Ref::steal(PyObject_GetAttrString(frame, "f_code"));
    if (!code) {
        return false;
    }
    const Ref first_line = Ref::steal(PyObject_GetAttrString(code.get(), "co_firstlineno"));
    if (!first_line) {
        return false;
    }
    return PyLong_AsLong(first_line.get()) == line;
}

bool entry_to_caller_enabled = true;  // main thread only (GIL held)

std::vector<FrameInfo> read_own_stack() {
    std::vector<FrameInfo> frames;
    // Borrowed: the frame that was running when the pending call began.
    auto* frame = reinterpret_cast<PyObject*>(PyEval_GetFrame());
    if (frame == nullptr) {
        return frames;
    }
    frames = walk_frame_chain(frame);
    if (entry_to_caller_enabled && frames.size() > 1 && is_at_function_entry(frame, frames.back().line)) {
        frames.pop_back();
    }
    return frames;
}

std::uint64_t own_cpu_time_ns() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000 + static_cast<std::uint64_t>(now.tv_nsec);
}

// The pending call, on the main thread with the lock held. Never raises.
int answer_on_main_thread(void* /*unused*/) {
    Board& requests = board();
    requests.call_queued.store(false, std::memory_order_relaxed);
    {
        const std::lock_guard lock(requests.mutex);
        if (requests.waiters == 0 || requests.answered >= requests.asked) {
            return 0;  // every request was answered or given up meanwhile
        }
    }
    std::optional<StackSnapshot> stack;
    try {
        const ErrorStash keep_errors;
        std::vector<FrameInfo> frames = read_own_stack();
        if (!frames.empty()) {
            stack = make_snapshot(std::move(frames));
        }
        const std::uint64_t cpu_ns = own_cpu_time_ns();
        {
            const std::lock_guard lock(requests.mutex);
            requests.answered = requests.asked;
            requests.answer = std::move(stack);
            requests.answer_cpu_ns = cpu_ns;
        }
    } catch (const std::bad_alloc&) {
        return 0;  // unanswered: the sampler thread reads the stack itself
    }
    requests.answered_cv.notify_all();
    return 0;
}

struct Answer {
    std::optional<StackSnapshot> stack;
    std::uint64_t main_cpu_ns = 0;  // the main thread's CPU time when it read the stack
};

// One request for the main thread's stack, withdrawn when it goes out of scope.
class Request {
public:
    explicit Request(const MainThreadTarget& target) : requests_(board()) {
        {
            const std::lock_guard lock(requests_.mutex);
            number_ = ++requests_.asked;
            ++requests_.waiters;
        }
        if (!requests_.call_queued.exchange(true, std::memory_order_relaxed)) {
            if (Py_AddPendingCall(answer_on_main_thread, nullptr) != 0) {
                requests_.call_queued.store(false, std::memory_order_relaxed);  // queue full: try next cycle
            }
        }
        if (target.kick_signal != 0) {
            const std::lock_guard lock(requests_.kick_mutex);
            if (requests_.kicks_allowed) {
                syscall(SYS_tgkill, getpid(), target.native_id, target.kick_signal);
            }
        }
    }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    ~Request() {
        const std::lock_guard lock(requests_.mutex);
        --requests_.waiters;
    }

    // The answer, if it comes within `timeout`.
    std::optional<Answer> wait_for(Duration timeout) const {
        std::unique_lock lock(requests_.mutex);
        if (!requests_.answered_cv.wait_for(lock, std::chrono::nanoseconds(as_nanoseconds(timeout)),
                                            [&] { return requests_.answered >= number_; })) {
            return std::nullopt;
        }
        return Answer{requests_.answer, requests_.answer_cpu_ns};  // copied: other samplers may read it too
    }

private:
    Board& requests_;
    std::uint64_t number_ = 0;
};

class MainThreadSource final : public StackSource {
public:
    MainThreadSource(const MainThreadTarget& target, PyThreadState* sampler_thread_state, Duration poll)
        : target_(target), poll_(poll), watch_(target.native_id, target.thread), capture_(sampler_thread_state) {}

    InternedCapture capture(StackTable& stacks) override {
        RunState state = watch_.read();
        if (!target_.answers_requests) {
            InternedCapture outcome = capture_.capture_with_gil(stacks);
            outcome.main_thread_waiting = state == RunState::Waiting;
            return outcome;
        }
        // A thread that has not run since the last capture stands where it stood then: a
        // sleep, a lock wait, or a wait for a CPU on a busy machine.
        if (last_stack_ != kNoStack && watch_.cpu_time_ns() - last_cpu_ns_ < kStillNs) {
            return InternedCapture{last_stack_, std::nullopt, state != RunState::Running};
        }
        InternedCapture outcome;
        std::optional<Answer> answer;
        if (state != RunState::Waiting) {
            answer = wait_for_answer(state);
        }
        if (answer) {
            // Interned here, not on the main thread: the table is the sampler thread's.
            outcome.stack = answer->stack ? stacks.intern(*answer->stack) : kNoStack;
            last_cpu_ns_ = answer->main_cpu_ns;
        } else {
            outcome = capture_.capture_with_gil_then(stacks, [this] { last_cpu_ns_ = watch_.cpu_time_ns(); });
            outcome.main_thread_waiting = state == RunState::Waiting;
        }
        last_stack_ = outcome.stack;
        return outcome;
    }

    void finish() override { capture_.finish(); }

private:
    // The main thread answers at its next check between bytecodes once it runs. While it
    // is runnable but not running (a loaded machine) its place does not change, so the
    // wait goes on. It ends without an answer when the main thread leaves the CPU (a
    // blocking call, a lock), or runs on without checking (a long call that may have given
    // the lock up): then the stack is read here, from the sampler thread.
    std::optional<Answer> wait_for_answer(RunState& state) {
        const Request request(target_);
        const std::uint64_t cpu_at_request_ns = watch_.cpu_time_ns();
        const std::uint64_t give_up_ns = as_nanoseconds(monotonic_now()) + kMaxWaitNs;
        for (;;) {
            if (auto answer = request.wait_for(poll_)) {
                return answer;
            }
            state = watch_.read();
            if (state == RunState::Waiting) {
                return std::nullopt;
            }
            const std::uint64_t ran_ns = watch_.cpu_time_ns() - cpu_at_request_ns;
            if (ran_ns > 2 * as_nanoseconds(poll_) || as_nanoseconds(monotonic_now()) >= give_up_ns) {
                return std::nullopt;
            }
        }
    }

    // A main thread kept off the CPU longer than this is not waited for.
    static constexpr std::uint64_t kMaxWaitNs = 100'000'000;
    // CPU time a thread may use without running Python: a wake-up, a signal's delivery.
    static constexpr std::uint64_t kStillNs = 20'000;

    MainThreadTarget target_;
    Duration poll_;
    ThreadRunWatch watch_;
    SamplerThreadCapture capture_;
    StackId last_stack_ = kNoStack;  // sampler thread only
    std::uint64_t last_cpu_ns_ = 0;  // the main thread's CPU time at that capture
};

PyObject* ignore_kick(PyObject* /*module*/, PyObject* /*args*/) {
    return Py_NewRef(Py_None);
}

PyObject* set_kicks_allowed(PyObject* /*module*/, PyObject* allowed) {
    const int value = PyObject_IsTrue(allowed);
    if (value < 0) {
        return nullptr;
    }
    Board& requests = board();
    Py_BEGIN_ALLOW_THREADS;  // a sampler thread may wait for the lock while it holds the mutex
    {
        const std::lock_guard lock(requests.kick_mutex);
        requests.kicks_allowed = value != 0;
    }
    Py_END_ALLOW_THREADS;
    return Py_NewRef(Py_None);
}

PyMethodDef allow_kicks_def = {
    "allow_kicks", set_kicks_allowed, METH_O,
    "allow_kicks(allowed, /)\n--\n\n"
    "Whether samplers may send their kick signal from now on. Once it returns False's call, no\n"
    "kick is on its way."};

PyMethodDef kick_handler_def = {"kick_handler", ignore_kick, METH_VARARGS,
                                "Handler of kulvo's sampling signal: does nothing; its arrival is what counts."};

}  // namespace

bool pending_calls_reach_main_thread() {
    const std::optional<InterpreterVersion> version = running_interpreter_version();
    return version && (version->major > 3 || (version->major == 3 && version->minor >= 13));
}

bool restart_after_kick(int signal_number) {
    struct sigaction action {};
    if (sigaction(signal_number, nullptr, &action) != 0) {
        return false;
    }
    action.sa_flags |= SA_RESTART;
    return sigaction(signal_number, &action, nullptr) == 0;
}

std::unique_ptr<StackSource> main_thread_source(const MainThreadTarget& target, PyThreadState* sampler_thread_state) {
    entry_to_caller_enabled = target.entry_to_caller;
    // Often enough to notice the main thread leaving the CPU within a fraction of the
    // shortest interval.
    constexpr std::uint64_t kPollNs = 200'000;
    return std::make_unique<MainThreadSource>(target, sampler_thread_state, duration_from_ns(kPollNs));
}

PyObject* kick_handler_function() {
    return PyCFunction_NewEx(&kick_handler_def, nullptr, nullptr);
}

PyObject* allow_kicks_function() {
    return PyCFunction_NewEx(&allow_kicks_def, nullptr, nullptr);
}

}  // namespace kulvo::py
