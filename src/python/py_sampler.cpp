#include "py_sampler.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "compact_result.hpp"
#include "gil.hpp"
#include "hot_paths.hpp"
#include "main_thread_capture.hpp"
#include "memory_stack_source.hpp"
#include "py_errors.hpp"
#include "py_result.hpp"
#include "sampler.hpp"
#include "spikes.hpp"
#include "stack_capture.hpp"
#include "stack_reader_check.hpp"
#include "thread_list.hpp"

namespace kulvo::py {

namespace {

constexpr const char* kStoppedMessage = "PySampler has already been stopped";
constexpr const char* kConstructorName = "PySampler.__new__()";

struct PySamplerObject {
    PyObject ob_base;                  // the object header (PyObject_HEAD)
    SamplerConfig config;              // never changed after construction
    std::unique_ptr<Sampler> sampler;  // empty once stopped
    std::int64_t access;               // GIL held: 0 idle, n > 0 shared calls, -1 one exclusive call
    // The package's sampler only: stacks read where the main thread is, weighted samples.
    std::optional<MainThreadTarget> main_thread;
    // The package's sampler only: read the main thread's stack from memory where that was
    // checked to work on the first start (kept for a run resumed after a fork).
    bool stacks_from_memory;
    std::optional<StackReaderPlace> stack_reader;
    // The package's sampler only: every Python thread's stack, not only the main thread's;
    // before 3.11, the C library's place for a thread's kernel id, found on the first start.
    bool all_threads;
    std::optional<std::size_t> tid_offset;
    // Shared with the sampler thread, which may outlive a released instance.
    std::shared_ptr<HoldCounts> hold_counts;
    std::shared_ptr<const PacingRecord> pacing;  // the engine's, kept once it is stopped
};

// The main thread's kernel id and POSIX handle, through threading; false when unreadable.
bool find_main_thread(PyObject* threading, MainThreadTarget& target) {
    if (threading == nullptr) {
        return false;
    }
    const Ref main_thread = Ref::steal(PyObject_CallMethod(threading, "main_thread", nullptr));
    const Ref native_id = main_thread ? Ref::steal(PyObject_GetAttrString(main_thread.get(), "native_id")) : Ref();
    const Ref ident = main_thread ? Ref::steal(PyObject_GetAttrString(main_thread.get(), "ident")) : Ref();
    const long id = native_id ? PyLong_AsLong(native_id.get()) : 0;
    const unsigned long handle = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    if (PyErr_Occurred() != nullptr || id <= 0 || handle == 0) {
        PyErr_Clear();
        return false;
    }
    target.thread = static_cast<pthread_t>(handle);  // threading's ident is pthread_self()
    // threading keeps the parent's kernel id for the thread that survives a fork (CPython
    // before 3.13.4): a timer or /proc read aimed there finds no thread. The caller knows its own.
    target.native_id = pthread_equal(pthread_self(), target.thread) != 0 ? gettid() : static_cast<pid_t>(id);
    return true;
}

PySamplerObject* as_sampler(PyObject* self) {
    return reinterpret_cast<PySamplerObject*>(self);
}

// Per-call access on one instance: conflicting calls fail at once instead of blocking.
class Access {
public:
    static std::optional<Access> shared(PySamplerObject* self) {
        if (self->access == -1) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return std::nullopt;
        }
        self->access += 1;
        return Access(self, false);
    }

    static std::optional<Access> exclusive(PySamplerObject* self) {
        if (self->access != 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return std::nullopt;
        }
        self->access = -1;
        return Access(self, true);
    }

    Access(Access&& other) noexcept : self_(std::exchange(other.self_, nullptr)), exclusive_(other.exclusive_) {}
    Access(const Access&) = delete;
    Access& operator=(const Access&) = delete;
    Access& operator=(Access&&) = delete;
    ~Access() {
        if (self_ != nullptr) {
            self_->access = exclusive_ ? 0 : self_->access - 1;
        }
    }

private:
    Access(PySamplerObject* self, bool exclusive) : self_(self), exclusive_(exclusive) {}
    PySamplerObject* self_;
    bool exclusive_;
};

// --- constructor ---------------------------------------------------------------------

// Re-raises a TypeError of the exact type as "argument '{name}': {message}", chained.
void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        return;
    }
    PyObject* raw_type = nullptr;
    PyObject* raw_value = nullptr;
    PyObject* raw_traceback = nullptr;
    PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
    PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
    Ref type = Ref::steal(raw_type);
    Ref value = Ref::steal(raw_value);
    Ref traceback = Ref::steal(raw_traceback);
    if (type.get() != PyExc_TypeError || !value) {
        PyErr_Restore(type.release(), value.release(), traceback.release());
        return;
    }
    if (traceback) {
        PyException_SetTraceback(value.get(), traceback.get());
    }
    const Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %S", name, value.get()));
    if (!message) {
        return;
    }
    Ref replacement = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!replacement) {
        return;
    }
    PyException_SetCause(replacement.get(), value.release());  // steals
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

// int (or subclass) directly, anything else through the index protocol.
bool convert_u64(PyObject* value, const char* name, std::uint64_t& out) {
    Ref index;
    PyObject* integer = value;
    if (!PyLong_Check(value)) {
        index = Ref::steal(PyNumber_Index(value));
        if (!index) {
            prefix_type_error(name);
            return false;
        }
        integer = index.get();
    }
    const unsigned long long converted = PyLong_AsUnsignedLongLong(integer);
    if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        prefix_type_error(name);
        return false;
    }
    out = converted;
    return true;
}

bool parse_arguments(PyObject* args, PyObject* kwargs, SamplerConfig& config) {
    const Py_ssize_t given = PyTuple_Size(args);
    if (given != 0) {
        PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given", kConstructorName, 0, given,
                     given == 1 ? "was" : "were");
        return false;
    }
    PyObject* interval_ms = nullptr;  // borrowed from kwargs
    PyObject* top_n = nullptr;        // borrowed from kwargs
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value) != 0) {
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "interval_ms") == 0) {
                interval_ms = value;
            } else if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "top_n") == 0) {
                top_n = value;
            } else {
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", kConstructorName, key);
                return false;
            }
        }
    }
    if (interval_ms != nullptr && !convert_u64(interval_ms, "interval_ms", config.interval_ms)) {
        return false;
    }
    return top_n == nullptr || convert_u64(top_n, "top_n", config.top_n);
}

PyObject* new_sampler_object(PyTypeObject* type, const SamplerConfig& config,
                             const std::optional<MainThreadTarget>& main_thread, bool stacks_from_memory = false,
                             bool all_threads = false) {
    Result<std::unique_ptr<Sampler>> created = Sampler::create(config);
    if (const auto* error = std::get_if<Error>(&created)) {
        raise_error(*error);
        return nullptr;
    }
    std::unique_ptr<Sampler> sampler = std::move(std::get<std::unique_ptr<Sampler>>(created));
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) {
        alloc = PyType_GenericAlloc;
    }
    PyObject* self = alloc(type, 0);
    if (self == nullptr) {
        ensure_exception_set();
        return nullptr;  // `sampler` is released on the way out
    }
    auto* object = as_sampler(self);
    object->config = config;
    new (&object->sampler) std::unique_ptr<Sampler>(std::move(sampler));
    object->access = 0;
    new (&object->main_thread) std::optional<MainThreadTarget>(main_thread);
    object->stacks_from_memory = stacks_from_memory;
    new (&object->stack_reader) std::optional<StackReaderPlace>();
    object->all_threads = all_threads;
    new (&object->tid_offset) std::optional<std::size_t>();
    new (&object->hold_counts) std::shared_ptr<HoldCounts>(std::make_shared<HoldCounts>());
    new (&object->pacing) std::shared_ptr<const PacingRecord>(object->sampler->pacing());
    return self;
}

PyObject* py_sampler_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return translate_failures([&]() -> PyObject* {
        SamplerConfig config;
        if (!parse_arguments(args, kwargs, config)) {
            return nullptr;
        }
        return new_sampler_object(type, config, std::nullopt);
    });
}

PyObject* weighted_sampler_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return translate_failures([&]() -> PyObject* {
        static const char* keywords[] = {"interval_ms",        "top_n",         "kick_signal", "entry_to_caller",
                                         "stacks_from_memory", "ring_capacity", "all_threads", nullptr};
        SamplerConfig config;
        unsigned long long interval_ms = kDefaultIntervalMs;
        unsigned long long top_n = kDefaultTopN;
        unsigned long long ring_capacity = config.ring_capacity;
        int kick_signal = 0;
        int entry_to_caller = 1;
        int stacks_from_memory = 1;
        int all_threads = 0;
        if (PyArg_ParseTupleAndKeywords(args, kwargs, "|$KKippKp:Sampler", const_cast<char**>(keywords), &interval_ms,
                                        &top_n, &kick_signal, &entry_to_caller, &stacks_from_memory, &ring_capacity,
                                        &all_threads) == 0) {
            return nullptr;
        }
        if (ring_capacity == 0) {
            PyErr_SetString(PyExc_ValueError, "ring_capacity must be at least 1");
            return nullptr;
        }
        config.interval_ms = interval_ms;
        config.top_n = top_n;
        config.ring_capacity = ring_capacity;
        MainThreadTarget target;
        target.kick_signal = kick_signal;
        target.entry_to_caller = entry_to_caller != 0;
        return new_sampler_object(type, config, target, stacks_from_memory != 0, all_threads != 0);
    });
}

void py_sampler_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* object = as_sampler(self);
    // Release never blocks: a running thread is told to stop and detached.
    object->sampler.~unique_ptr<Sampler>();
    object->main_thread.~optional<MainThreadTarget>();
    object->stack_reader.~optional<StackReaderPlace>();
    object->tid_offset.~optional<std::size_t>();
    object->hold_counts.~shared_ptr<HoldCounts>();
    object->pacing.~shared_ptr<const PacingRecord>();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

// --- methods -------------------------------------------------------------------------

// The main thread's stack read from memory, when the instance asks for it and a read was
// checked to work on the main thread; checked on the first start only.
std::unique_ptr<StackSource> memory_source(PySamplerObject* object, PyObject* threading, bool resume) {
    MainThreadTarget target = *object->main_thread;
    if (!object->stacks_from_memory || !find_main_thread(threading, target)) {
        return nullptr;
    }
    if (!resume && !object->stack_reader && pthread_equal(pthread_self(), target.thread) != 0) {
        object->stack_reader = check_stack_reader().place;
        object->tid_offset = pthread_tid_offset();
    }
    if (!object->stack_reader) {
        return nullptr;
    }
    std::unique_ptr<OtherThreads> others;
    if (object->all_threads) {
        others = std::make_unique<OtherThreads>(*object->stack_reader, object->tid_offset);
    }
    constexpr std::int64_t kNsPerMs = 1'000'000;
    return memory_stack_source(*object->stack_reader, target.native_id, target.thread,
                               static_cast<std::int64_t>(object->config.interval_ms) * kNsPerMs, FreezeSignal::take(),
                               object->hold_counts, std::move(others));
}

// Stacks the main thread reads itself when asked; read at lock hand-overs without the
// main thread's identity.
std::unique_ptr<StackSource> answered_source(MainThreadTarget target, PyObject* threading,
                                             PyThreadState* thread_state) {
    if (target.kick_signal != 0 && !restart_after_kick(target.kick_signal)) {
        target.kick_signal = 0;
    }
    target.answers_requests = target.kick_signal != 0 || pending_calls_reach_main_thread();
    return find_main_thread(threading, target) ? main_thread_source(target, thread_state)
                                               : main_stack_source(thread_state);
}

// Starts a thread for the instance's run: its first, or one that resumes it after pause().
// GIL held; raises and returns false on failure.
bool spawn_sampler_thread(PySamplerObject* object, bool resume) {
    // Imported here, on the caller's thread: imported first on the sampler thread,
    // threading would take that thread for the program's main thread.
    const Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    if (!threading) {
        PyErr_Clear();  // the capture falls back to the deepest stack
    }
    remember_main_thread_function(threading.get());
    std::unique_ptr<StackSource> source;
    LoopOptions options;
    if (object->main_thread) {
        options.absolute_deadlines = true;
        options.precise_cpu = true;
        options.prompt_wakeups = true;
        options.keep_whole_run = true;
        MainThreadTarget target = *object->main_thread;
        clockid_t main_clock{};
        if (find_main_thread(threading.get(), target) && pthread_getcpuclockid(target.thread, &main_clock) == 0) {
            options.worker_clock = main_clock;
        }
        source = memory_source(object, threading.get(), resume);
    }
    PyThreadState* thread_state = nullptr;  // only for a sampler thread that takes the lock
    if (!source) {
        thread_state = make_sampler_thread_state();
        if (thread_state == nullptr) {
            raise_api_call_failed();
            return false;
        }
        source = object->main_thread ? answered_source(*object->main_thread, threading.get(), thread_state)
                                     : main_stack_source(thread_state);
    }
    auto error = resume ? object->sampler->resume(std::move(source), options)
                        : object->sampler->start(std::move(source), options);
    if (error) {
        if (thread_state != nullptr) {
            free_unused_thread_state(thread_state);
        }
        raise_error(*error);
        return false;
    }
    return true;
}

PyObject* py_sampler_start(PyObject* self, PyObject* /*unused*/) {
    return translate_failures([&]() -> PyObject* {
        auto* object = as_sampler(self);
        const auto access = Access::exclusive(object);
        if (!access) {
            return nullptr;
        }
        if (!object->sampler) {
            PyErr_SetString(PyExc_RuntimeError, kStoppedMessage);
            return nullptr;
        }
        if (object->sampler->has_thread()) {
            return Py_NewRef(Py_None);
        }
        if (!spawn_sampler_thread(object, false)) {
            return nullptr;
        }
        return Py_NewRef(Py_None);
    });
}

// pause() and resume(): the package's sampler only, around a fork.
PyObject* weighted_sampler_pause(PyObject* self, PyObject* /*unused*/) {
    return translate_failures([&]() -> PyObject* {
        auto* object = as_sampler(self);
        const auto access = Access::exclusive(object);
        if (!access) {
            return nullptr;
        }
        if (!object->sampler) {
            return Py_NewRef(Py_None);
        }
        // The thread may be waiting for the lock: it is given up while joining.
        PyThreadState* saved = PyEval_SaveThread();
        const std::optional<Error> error = object->sampler->pause();
        PyEval_RestoreThread(saved);
        if (error) {
            raise_error(*error);
            return nullptr;
        }
        return Py_NewRef(Py_None);
    });
}

PyObject* weighted_sampler_resume(PyObject* self, PyObject* /*unused*/) {
    return translate_failures([&]() -> PyObject* {
        auto* object = as_sampler(self);
        const auto access = Access::exclusive(object);
        if (!access) {
            return nullptr;
        }
        if (object->sampler && !object->sampler->has_thread() && !spawn_sampler_thread(object, true)) {
            return nullptr;
        }
        return Py_NewRef(Py_None);
    });
}

PyObject* py_sampler_stop(PyObject* self, PyObject* /*unused*/) {
    return translate_failures([&]() -> PyObject* {
        auto* object = as_sampler(self);
        const auto access = Access::exclusive(object);
        if (!access) {
            return nullptr;
        }
        // Taken out first: the instance is stopped for good, whatever happens next.
        const std::unique_ptr<Sampler> sampler = std::move(object->sampler);
        if (!sampler) {
            PyErr_SetString(PyExc_RuntimeError, kStoppedMessage);
            return nullptr;
        }
        // The sampler thread takes the GIL once per cycle: joining while holding it would
        // deadlock. Restored explicitly, never from a destructor: at interpreter exit the
        // restore may end this thread with a forced unwind.
        // A failure is held until the lock is back, then goes to the translator.
        PyThreadState* saved = PyEval_SaveThread();
        StopResult stopped;
        std::exception_ptr failure;
        try {
            stopped = sampler->stop_and_drain();
        } catch (const std::exception&) {
            failure = std::current_exception();
        }
        PyEval_RestoreThread(saved);
        if (failure) {
            std::rethrow_exception(failure);
        }
        if (stopped.error) {
            raise_error(*stopped.error);
            return nullptr;
        }
        ProfileResult result;
        result.sample_count = stopped.samples.size();
        result.wall_time_ms = stopped.wall_time_ms;
        result.samples = std::move(stopped.samples);
        result.stacks = stopped.stacks ? std::move(stopped.stacks) : std::make_shared<const StackTable>();
        result.spike_events = detect_spikes(result.samples, object->config);
        // Up to millions of new containers: a collection midway would walk them all again.
        const GcPause no_collection;
        if (object->main_thread) {
            // The package ranks its hot paths itself, by time, on the stacks it keeps.
            return compact_result_to_py(result, stopped.held_bytes).release();
        }
        result.hot_paths = aggregate_hot_paths(result.samples, *result.stacks, object->config.top_n);
        return result_to_py(result).release();
    });
}

PyObject* py_sampler_is_running(PyObject* self, PyObject* /*unused*/) {
    return translate_failures([&]() -> PyObject* {
        auto* object = as_sampler(self);
        const auto access = Access::shared(object);
        if (!access) {
            return nullptr;
        }
        return PyBool_FromLong(object->sampler && object->sampler->has_thread() ? 1 : 0);
    });
}

PyObject* weighted_sampler_unheld_reads(PyObject* self, PyObject* /*unused*/) {
    return translate_failures([&]() -> PyObject* {
        switch (as_sampler(self)->hold_counts->reason.load()) {
            case HeldReads::NoFreeSignal:
                return PyUnicode_FromString("no free signal");
            case HeldReads::SignalTaken:
                return PyUnicode_FromString("signal taken");
            case HeldReads::Held:
                break;
        }
        return Py_NewRef(Py_None);
    });
}

// The hold time below which `share` of the held reads fall, in microseconds.
std::size_t hold_percentile_us(const HoldCounts& counts, std::uint64_t held, double share) {
    const auto wanted = static_cast<std::uint64_t>(static_cast<double>(held) * share);
    std::uint64_t seen = 0;
    for (std::size_t us = 0; us < HoldCounts::kHoldBuckets; ++us) {
        seen += counts.hold_us[us].load(std::memory_order_relaxed);
        if (seen > wanted) {
            return us;
        }
    }
    return HoldCounts::kHoldBuckets - 1;
}

PyObject* weighted_sampler_hold_counts(PyObject* self, PyObject* /*unused*/) {
    return translate_failures([&]() -> PyObject* {
        const HoldCounts& counts = *as_sampler(self)->hold_counts;
        std::uint64_t held = 0;
        std::size_t longest_us = 0;
        for (std::size_t us = 0; us < HoldCounts::kHoldBuckets; ++us) {
            const std::uint32_t count = counts.hold_us[us].load(std::memory_order_relaxed);
            held += count;
            longest_us = count > 0 ? us : longest_us;
        }
        return Py_BuildValue("{sKsKsKsKsKsKsKsKsKsnsnsn}", "running", counts.running.load(), "blocked",
                             counts.blocked.load(), "unanswered", counts.unanswered.load(), "uncopied",
                             counts.uncopied.load(), "copied", counts.copied.load(), "reused", counts.reused.load(),
                             "changed", counts.changed.load(), "dropped", counts.dropped.load(), "held", held,
                             "hold_p50_us", static_cast<Py_ssize_t>(hold_percentile_us(counts, held, 0.5)),
                             "hold_p99_us", static_cast<Py_ssize_t>(hold_percentile_us(counts, held, 0.99)),
                             "hold_max_us", static_cast<Py_ssize_t>(longest_us));
    });
}

PyObject* weighted_sampler_pacing(PyObject* self, PyObject* /*unused*/) {
    return translate_failures([&]() -> PyObject* {
        const PacingRecord& pacing = *as_sampler(self)->pacing;
        constexpr std::uint64_t kNsPerUs = 1000;
        return Py_BuildValue("{sKsI}", "unobserved_us", pacing.unobserved_ns.load() / kNsPerUs, "halvings",
                             pacing.halvings.load());
    });
}

PyObject* py_sampler_mem_spike_flag(PyObject* self, PyObject* /*unused*/) {
    return translate_failures([&]() -> PyObject* {
        auto* object = as_sampler(self);
        const auto access = Access::shared(object);
        if (!access) {
            return nullptr;
        }
        return PyBool_FromLong(object->sampler && object->sampler->mem_spike() ? 1 : 0);
    });
}

// Runs `action` on the engine's sampler under shared access, if not stopped; returns None.
template <typename Action>
PyObject* on_sampler_if_not_stopped(PyObject* self, Action action) {
    return translate_failures([&]() -> PyObject* {
        auto* object = as_sampler(self);
        const auto access = Access::shared(object);
        if (!access) {
            return nullptr;
        }
        if (object->sampler) {
            action(*object->sampler);
        }
        return Py_NewRef(Py_None);
    });
}

PyObject* py_sampler_notify_snapshot_taken(PyObject* self, PyObject* /*unused*/) {
    return on_sampler_if_not_stopped(self, [](Sampler& sampler) { sampler.clear_mem_spike(); });
}

// The longest wait accepted: a day, well inside what the clock's nanoseconds can hold.
constexpr double kMaxMemWaitS = 86400.0;

// Blocks, without the interpreter lock, until the memory-spike flag rises, the timeout
// passes or the wait is ended (stop_mem_wait() or stop()): the watcher needs no polling.
PyObject* py_sampler_wait_mem_spike(PyObject* self, PyObject* timeout) {
    return translate_failures([&]() -> PyObject* {
        const double timeout_s = PyFloat_AsDouble(timeout);
        if (timeout_s == -1.0 && PyErr_Occurred() != nullptr) {
            return nullptr;
        }
        if (!(timeout_s >= 0.0 && timeout_s <= kMaxMemWaitS)) {
            PyErr_Format(PyExc_ValueError, "timeout_s must be between 0 and %d seconds",
                         static_cast<int>(kMaxMemWaitS));
            return nullptr;
        }
        std::shared_ptr<SpikeWaiters> waiters;
        {
            // Not held during the wait: stop() from another thread must not find it borrowed.
            const auto access = Access::shared(as_sampler(self));
            if (!access) {
                return nullptr;
            }
            if (!as_sampler(self)->sampler) {
                return Py_NewRef(Py_False);
            }
            waiters = as_sampler(self)->sampler->spike_waiters();
        }
        const auto wait = duration_from_ns(static_cast<std::uint64_t>(timeout_s * 1e9));
        PyThreadState* saved = PyEval_SaveThread();
        bool raised = false;
        std::exception_ptr failure;
        try {
            raised = waiters->wait_for(wait);
        } catch (const std::exception&) {
            failure = std::current_exception();
        }
        PyEval_RestoreThread(saved);
        if (failure) {
            std::rethrow_exception(failure);
        }
        return PyBool_FromLong(raised ? 1 : 0);
    });
}

PyObject* py_sampler_stop_mem_wait(PyObject* self, PyObject* /*unused*/) {
    return on_sampler_if_not_stopped(self, [](Sampler& sampler) { sampler.spike_waiters()->release(); });
}

constexpr const char* kClassDocBody =
    "Drives the background sampler thread that profiles the running program.\n"
    "\n"
    "Usage from Python::\n"
    "\n"
    "    s = kulvo._core.PySampler()\n"
    "    s.start()\n"
    "    # ... code under profiling ...\n"
    "    result = s.stop()   # returns a dict with all profiling data";

constexpr const char* kStopDoc =
    "stop($self)\n--\n\n"
    "Stop the sampler, run analysis, and return a profile-result dict.\n"
    "\n"
    "The returned dict contains:\n"
    "\n"
    "- ``sample_count`` \u2014 number of samples collected\n"
    "- ``wall_time_ms`` \u2014 wall-clock duration in milliseconds\n"
    "- ``samples`` \u2014 list of per-sample dicts\n"
    "- ``spike_events`` \u2014 list of detected spike dicts\n"
    "- ``hot_paths`` \u2014 list of top-N frame dicts\n"
    "\n"
    "Releases the GIL while joining the sampler thread to prevent\n"
    "deadlocks with the sampler's own brief GIL acquisitions (stack\n"
    "capture).";

PyMethodDef py_sampler_methods[] = {
    {"start", py_sampler_start, METH_NOARGS, "start($self)\n--\n\nStart the background sampling thread."},
    {"stop", py_sampler_stop, METH_NOARGS, kStopDoc},
    {"mem_spike_flag", py_sampler_mem_spike_flag, METH_NOARGS,
     "mem_spike_flag($self)\n--\n\n"
     "Return `True` if a memory spike has been detected since the last\n"
     "call to `notify_snapshot_taken()`."},
    {"notify_snapshot_taken", py_sampler_notify_snapshot_taken, METH_NOARGS,
     "notify_snapshot_taken($self)\n--\n\n"
     "Clear the memory spike flag after the Python watcher has taken a\n"
     "tracemalloc snapshot."},
    {"is_running", py_sampler_is_running, METH_NOARGS,
     "is_running($self)\n--\n\nReturn `True` if the sampler thread is currently running."},
    {nullptr, nullptr, 0, nullptr},
};

// The signature line names the engine's defaults.
std::string class_doc() {
    return "PySampler(*, interval_ms=" + std::to_string(kDefaultIntervalMs) +
           ", top_n=" + std::to_string(kDefaultTopN) + ")\n--\n\n" + kClassDocBody;
}

PyMethodDef weighted_sampler_methods[] = {
    {"start", py_sampler_start, METH_NOARGS, "start($self)\n--\n\nStart the background sampling thread."},
    {"stop", py_sampler_stop, METH_NOARGS, kStopDoc},
    {"mem_spike_flag", py_sampler_mem_spike_flag, METH_NOARGS, "mem_spike_flag($self)\n--\n\nThe memory-spike flag."},
    {"notify_snapshot_taken", py_sampler_notify_snapshot_taken, METH_NOARGS,
     "notify_snapshot_taken($self)\n--\n\nClear the memory-spike flag."},
    {"is_running", py_sampler_is_running, METH_NOARGS,
     "is_running($self)\n--\n\nWhether a thread was started and not stopped."},
    {"pause", weighted_sampler_pause, METH_NOARGS,
     "pause($self)\n--\n\nEnd the sampler thread, keeping the run (before a fork)."},
    {"resume", weighted_sampler_resume, METH_NOARGS,
     "resume($self)\n--\n\nContinue a paused run with a new thread (after a fork, in the parent)."},
    {"wait_mem_spike", py_sampler_wait_mem_spike, METH_O,
     "wait_mem_spike($self, timeout_s, /)\n--\n\n"
     "Block, without the interpreter lock, until the memory-spike flag is up (True), the\n"
     "timeout passes or `stop_mem_wait()` or `stop()` ends the wait (False)."},
    {"stop_mem_wait", py_sampler_stop_mem_wait, METH_NOARGS,
     "stop_mem_wait($self)\n--\n\nEnd every `wait_mem_spike()`, now and later."},
    {"unheld_reads", weighted_sampler_unheld_reads, METH_NOARGS,
     "unheld_reads($self)\n--\n\n"
     "Why stacks read from memory were read while the main thread ran on, not held still:\n"
     "'no free signal', 'signal taken' (the program put a handler on kulvo's signal), or None."},
    {"hold_counts", weighted_sampler_hold_counts, METH_NOARGS,
     "hold_counts($self)\n--\n\n"
     "Reads of the main thread while it was on a CPU ('running'), those not signalled because it\n"
     "blocked kulvo's signal ('blocked'), those it was not held still for throughout\n"
     "('unanswered'), those read as it ran before its timer copied its stack ('uncopied'), the\n"
     "copies it made ('copied'), reads answered by a copy an earlier read had used ('reused'),\n"
     "reads whose frames changed under them ('changed') and, of those, the ones that changed at\n"
     "every attempt ('dropped'), and how long it stood still for each copy or held read (median,\n"
     "99th percentile and longest, in microseconds; 4095 means longer)."},
    {"pacing", weighted_sampler_pacing, METH_NOARGS,
     "pacing($self)\n--\n\n"
     "Time no sample stands for because the sampler thread ran late ('unobserved_us'), and how\n"
     "often a full ring made each two samples one and halved the rate ('halvings')."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kWeightedClassDoc =
    "Sampler(*, interval_ms=50, top_n=20, kick_signal=0, entry_to_caller=True, stacks_from_memory=True,\n"
    "        ring_capacity=100000, all_threads=False)\n--\n\n"
    "The package's sampler: the main thread's stack read from memory while it runs (when\n"
    "started on the main thread of an interpreter whose layout is known and checked), else\n"
    "read where the main thread is (a pending call the main thread answers; before 3.13 with\n"
    "`kick_signal`, whose Python handler must be `kick_handler`); one sample at a random point\n"
    "of each slot of the interval, and samples that carry `weight_us` (the time they stand\n"
    "for, two intervals at most) and `main_thread_waiting`. A full ring of `ring_capacity`\n"
    "samples halves: the samples always cover the whole run. With `all_threads` (and stacks read\n"
    "from memory), each sample also holds the other Python threads' stacks ('other_threads'),\n"
    "each rooted at a frame of file '<thread>' naming the thread (its ident, and its kernel id as\n"
    "the line).";

}  // namespace

PyObject* weighted_sampler_type() {
    static PyObject* type = nullptr;  // GIL held; created once, kept for the process
    if (type == nullptr) {
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(weighted_sampler_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(py_sampler_dealloc)},
            {Py_tp_methods, weighted_sampler_methods},
            {Py_tp_doc, const_cast<char*>(kWeightedClassDoc)},
            {0, nullptr},
        };
        static PyType_Spec type_spec = {
            "kulvo._native.Sampler", sizeof(PySamplerObject), 0, Py_TPFLAGS_DEFAULT, slots,
        };
        type = PyType_FromSpec(&type_spec);
    }
    return type;
}

PyObject* py_sampler_type() {
    static PyObject* type = nullptr;  // GIL held; created once, kept for the process
    if (type == nullptr) {
        // The interpreter copies the docstring; the name and the method table must stay.
        const std::string doc = class_doc();
        PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(py_sampler_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(py_sampler_dealloc)},
            {Py_tp_methods, py_sampler_methods},
            {Py_tp_doc, const_cast<char*>(doc.c_str())},
            {0, nullptr},
        };
        PyType_Spec type_spec = {
            "builtins.PySampler", sizeof(PySamplerObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots,
        };
        type = PyType_FromSpec(&type_spec);
    }
    return type;
}

}  // namespace kulvo::py
