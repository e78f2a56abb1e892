// _kulvo_bench: timing entry points around the core's own code, for the benchmarks only.
//
// stop() of a full ring needs 100,000 samples; a real run takes 100 s at 1 ms to fill one,
// so these entry points build synthetic samples with the shape a real capture leaves
// (every frame owns its strings) and time each stage that stop() runs after the join:
// detect_spikes, aggregate_hot_paths, result_to_py and freeing the engine records. The
// baseline for the conversion is the same dict/list tree built by a plain C API loop.
// capture_many() times capture_main_stack() itself, called from a native thread without a
// thread state (as the sampler thread is) against the waiting main thread.

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "hot_paths.hpp"
#include "py_result.hpp"
#include "pyref.hpp"
#include "records.hpp"
#include "sampler.hpp"
#include "spikes.hpp"
#include "stack_capture.hpp"

namespace {

using kulvo::FrameInfo;
using kulvo::ProfileResult;
using kulvo::Sample;
using kulvo::StackId;
using kulvo::StackSnapshot;
using kulvo::StackTable;
using kulvo::py::Ref;

std::int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::vector<Sample> g_samples;            // the synthetic ring content
std::shared_ptr<StackTable> g_stacks;     // what its stack ids name
std::optional<ProfileResult> g_prepared;  // samples plus analysis, for the conversion timings

// Stacks drawn from a call tree: a few shared outer paths, then frames from a pool of
// distinct (file, function, line) triples, so hot-path keys repeat as in a real profile.
std::vector<StackSnapshot> make_templates(std::size_t depth, std::mt19937_64& rng) {
    constexpr std::size_t kPrefixes = 5;
    constexpr std::size_t kPool = 500;
    constexpr std::size_t kTemplates = 200;
    std::vector<FrameInfo> pool;
    for (std::size_t i = 0; i < kPool; ++i) {
        pool.push_back(FrameInfo{"/home/user/project/src/app/package_" + std::to_string(i % 12) + "/module_" +
                                     std::to_string(i % 37) + ".py",
                                 "function_" + std::to_string(i), static_cast<std::int32_t>(10 + (i * 7) % 900)});
    }
    const std::size_t shared = depth / 2;
    std::vector<std::vector<FrameInfo>> prefixes(kPrefixes);
    for (std::size_t p = 0; p < kPrefixes; ++p) {
        for (std::size_t i = 0; i < shared; ++i) {
            prefixes[p].push_back(
                FrameInfo{"/usr/lib/python3.11/site-packages/framework/layer_" + std::to_string(i) + ".py",
                          "dispatch_" + std::to_string(p), static_cast<std::int32_t>(100 + i)});
        }
    }
    std::vector<StackSnapshot> templates;
    std::uniform_int_distribution<std::size_t> pick_pool(0, kPool - 1);
    std::uniform_int_distribution<std::size_t> pick_prefix(0, kPrefixes - 1);
    for (std::size_t t = 0; t < kTemplates; ++t) {
        StackSnapshot stack;
        stack.frames = prefixes[pick_prefix(rng)];
        while (stack.frames.size() < depth) {
            stack.frames.push_back(pool[pick_pool(rng)]);
        }
        templates.push_back(std::move(stack));
    }
    return templates;
}

// make_samples(n, depth, seed): replaces the synthetic ring content.
PyObject* make_samples(PyObject*, PyObject* args) {
    unsigned long long n = 0;
    unsigned long long depth = 0;
    unsigned long long seed = 1;
    if (!PyArg_ParseTuple(args, "KK|K", &n, &depth, &seed)) {
        return nullptr;
    }
    g_prepared.reset();
    std::vector<Sample>().swap(g_samples);
    g_stacks = std::make_shared<StackTable>();
    std::mt19937_64 rng(seed);
    std::vector<StackId> templates;
    for (const StackSnapshot& stack : make_templates(depth, rng)) {
        templates.push_back(g_stacks->intern(stack));
    }
    std::uniform_int_distribution<std::size_t> pick(0, templates.size() - 1);
    std::normal_distribution<double> noise(0.0, 3.0);
    g_samples.reserve(n);
    std::uint64_t rss = 60ULL << 20;
    for (std::uint64_t i = 0; i < n; ++i) {
        // A steady 40% with a burst of 200 samples near 95% every 10,000, and a resident
        // size that creeps up with a 40 MiB step every 25,000 samples.
        double cpu = 40.0 + noise(rng);
        if (i % 10000 >= 5000 && i % 10000 < 5200) {
            cpu = 95.0 + noise(rng);
        }
        rss += 1024;
        if (i % 25000 == 12500) {
            rss += 40ULL << 20;
        }
        g_samples.push_back(Sample{i + 1, cpu, rss, templates[pick(rng)]});
    }
    return PyLong_FromSize_t(g_samples.size());
}

// time_analysis(top_n): the two analysis passes over the samples in place.
PyObject* time_analysis(PyObject*, PyObject* args) {
    unsigned long long top_n = 20;
    if (!PyArg_ParseTuple(args, "|K", &top_n)) {
        return nullptr;
    }
    kulvo::SamplerConfig config;
    config.top_n = top_n;
    const std::int64_t t0 = now_ns();
    const auto events = kulvo::detect_spikes(g_samples, config);
    const std::int64_t t1 = now_ns();
    const auto hot = kulvo::aggregate_hot_paths(g_samples, *g_stacks, top_n);
    const std::int64_t t2 = now_ns();
    return Py_BuildValue("{s:L,s:L,s:n,s:n}", "spikes_ns", static_cast<long long>(t1 - t0), "hot_paths_ns",
                         static_cast<long long>(t2 - t1), "events", static_cast<Py_ssize_t>(events.size()), "hot_paths",
                         static_cast<Py_ssize_t>(hot.size()));
}

// stop_body(top_n): what stop() does once the thread is joined and the ring drained, on
// the samples moved in (they are consumed): analysis, conversion, freeing the records.
// Returns (timings, result).
PyObject* stop_body(PyObject*, PyObject* args) {
    unsigned long long top_n = 20;
    if (!PyArg_ParseTuple(args, "|K", &top_n)) {
        return nullptr;
    }
    kulvo::SamplerConfig config;
    config.top_n = top_n;
    std::int64_t t_spikes = 0;
    std::int64_t t_hot = 0;
    std::int64_t t_convert = 0;
    const std::int64_t t0 = now_ns();
    Ref converted;
    {
        ProfileResult result;
        result.sample_count = g_samples.size();
        result.wall_time_ms = g_samples.empty() ? 0 : g_samples.back().timestamp_ms;
        result.samples = std::move(g_samples);
        result.stacks = std::move(g_stacks);
        g_samples = {};
        std::int64_t mark = now_ns();
        result.spike_events = kulvo::detect_spikes(result.samples, config);
        t_spikes = now_ns() - mark;
        mark = now_ns();
        result.hot_paths = kulvo::aggregate_hot_paths(result.samples, *result.stacks, config.top_n);
        t_hot = now_ns() - mark;
        mark = now_ns();
        converted = kulvo::py::result_to_py(result);
        t_convert = now_ns() - mark;
        if (!converted) {
            return nullptr;
        }
    }
    const std::int64_t t_total = now_ns() - t0;
    const std::int64_t t_free = t_total - t_spikes - t_hot - t_convert;
    return Py_BuildValue("({s:L,s:L,s:L,s:L,s:L}N)", "spikes_ns", static_cast<long long>(t_spikes), "hot_paths_ns",
                         static_cast<long long>(t_hot), "convert_ns", static_cast<long long>(t_convert), "free_ns",
                         static_cast<long long>(t_free), "total_ns", static_cast<long long>(t_total),
                         converted.release());
}

// prepare_result(top_n): a copy of the samples with their analysis, kept for the
// conversion timings below.
PyObject* prepare_result(PyObject*, PyObject* args) {
    unsigned long long top_n = 20;
    if (!PyArg_ParseTuple(args, "|K", &top_n)) {
        return nullptr;
    }
    kulvo::SamplerConfig config;
    config.top_n = top_n;
    ProfileResult result;
    result.sample_count = g_samples.size();
    result.wall_time_ms = g_samples.empty() ? 0 : g_samples.back().timestamp_ms;
    result.samples = g_samples;
    result.stacks = g_stacks;
    result.spike_events = kulvo::detect_spikes(result.samples, config);
    result.hot_paths = kulvo::aggregate_hot_paths(result.samples, *result.stacks, config.top_n);
    g_prepared = std::move(result);
    std::vector<Sample>().swap(g_samples);
    return Py_NewRef(Py_None);
}

// time_result_to_py(): the core's conversion of the prepared result. Returns (ns, result).
PyObject* time_result_to_py(PyObject*, PyObject*) {
    if (!g_prepared) {
        PyErr_SetString(PyExc_RuntimeError, "call prepare_result() first");
        return nullptr;
    }
    const std::int64_t t0 = now_ns();
    Ref converted = kulvo::py::result_to_py(*g_prepared);
    const std::int64_t t1 = now_ns();
    if (!converted) {
        return nullptr;
    }
    return Py_BuildValue("(LN)", static_cast<long long>(t1 - t0), converted.release());
}

// --- the plain C API loop --------------------------------------------------------------
// The same tree built the way a plain extension would: key objects made once, each list
// allocated at its final size, each value created and stored, no helpers.

struct Keys {
    PyObject* sample_count;
    PyObject* wall_time_ms;
    PyObject* samples;
    PyObject* spike_events;
    PyObject* hot_paths;
    PyObject* timestamp_ms;
    PyObject* cpu_percent;
    PyObject* rss_bytes;
    PyObject* stack;
    PyObject* file;
    PyObject* function;
    PyObject* line;
    PyObject* kind;
    PyObject* start_ms;
    PyObject* end_ms;
    PyObject* peak_value;
    PyObject* threshold;
    PyObject* peak_stack;
    PyObject* count;
    PyObject* percent;
};

Keys* keys() {
    static Keys* made = nullptr;
    if (made == nullptr) {
        made = new Keys{
            PyUnicode_InternFromString("sample_count"), PyUnicode_InternFromString("wall_time_ms"),
            PyUnicode_InternFromString("samples"),      PyUnicode_InternFromString("spike_events"),
            PyUnicode_InternFromString("hot_paths"),    PyUnicode_InternFromString("timestamp_ms"),
            PyUnicode_InternFromString("cpu_percent"),  PyUnicode_InternFromString("rss_bytes"),
            PyUnicode_InternFromString("stack"),        PyUnicode_InternFromString("file"),
            PyUnicode_InternFromString("function"),     PyUnicode_InternFromString("line"),
            PyUnicode_InternFromString("kind"),         PyUnicode_InternFromString("start_ms"),
            PyUnicode_InternFromString("end_ms"),       PyUnicode_InternFromString("peak_value"),
            PyUnicode_InternFromString("threshold"),    PyUnicode_InternFromString("peak_stack"),
            PyUnicode_InternFromString("count"),        PyUnicode_InternFromString("percent"),
        };
    }
    return made;
}

// Stores and drops the reference; false when the value could not be made.
bool put(PyObject* dict, PyObject* key, PyObject* value) {
    if (value == nullptr) {
        return false;
    }
    const int rc = PyDict_SetItem(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
}

PyObject* plain_str(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// Every frame's values made anew, as a loop without a table of made objects would.
PyObject* plain_stack(const StackTable& stacks, StackId stack) {
    if (stack == kulvo::kNoStack) {
        Py_INCREF(Py_None);
        return Py_None;
    }
    const Keys& k = *keys();
    std::vector<kulvo::FrameId> frames;
    stacks.frames_of(stack, frames);
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(frames.size()));
    if (list == nullptr) {
        return nullptr;
    }
    Py_ssize_t i = 0;
    for (const kulvo::FrameId id : frames) {
        const kulvo::FrameKey& frame = stacks.frame(id);
        PyObject* dict = PyDict_New();
        if (dict == nullptr || !put(dict, k.file, plain_str(stacks.string(frame.file))) ||
            !put(dict, k.function, plain_str(stacks.string(frame.function))) ||
            !put(dict, k.line, PyLong_FromLong(frame.line))) {
            Py_XDECREF(dict);
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SetItem(list, i++, dict);
    }
    return list;
}

PyObject* plain_result(const ProfileResult& result) {
    const Keys& k = *keys();
    PyObject* samples = PyList_New(static_cast<Py_ssize_t>(result.samples.size()));
    if (samples == nullptr) {
        return nullptr;
    }
    Py_ssize_t i = 0;
    for (const Sample& sample : result.samples) {
        PyObject* dict = PyDict_New();
        if (dict == nullptr || !put(dict, k.timestamp_ms, PyLong_FromUnsignedLongLong(sample.timestamp_ms)) ||
            !put(dict, k.cpu_percent, PyFloat_FromDouble(sample.cpu_percent)) ||
            !put(dict, k.rss_bytes, PyLong_FromUnsignedLongLong(sample.rss_bytes)) ||
            !put(dict, k.stack, plain_stack(*result.stacks, sample.stack))) {
            Py_XDECREF(dict);
            Py_DECREF(samples);
            return nullptr;
        }
        PyList_SetItem(samples, i++, dict);
    }
    PyObject* events = PyList_New(static_cast<Py_ssize_t>(result.spike_events.size()));
    i = 0;
    for (const auto& event : result.spike_events) {
        PyObject* dict = PyDict_New();
        put(dict, k.kind, PyUnicode_FromString(event.kind == kulvo::SpikeKind::Cpu ? "cpu" : "memory"));
        put(dict, k.start_ms, PyLong_FromUnsignedLongLong(event.start_ms));
        put(dict, k.end_ms, PyLong_FromUnsignedLongLong(event.end_ms));
        put(dict, k.peak_value, PyFloat_FromDouble(event.peak_value));
        put(dict, k.threshold, PyFloat_FromDouble(event.threshold));
        put(dict, k.peak_stack, plain_stack(*result.stacks, event.peak_stack));
        PyList_SetItem(events, i++, dict);
    }
    PyObject* hot = PyList_New(static_cast<Py_ssize_t>(result.hot_paths.size()));
    i = 0;
    for (const auto& path : result.hot_paths) {
        PyObject* dict = PyDict_New();
        put(dict, k.file, plain_str(path.file));
        put(dict, k.function, plain_str(path.function));
        put(dict, k.line, PyLong_FromLong(path.line));
        put(dict, k.count, PyLong_FromUnsignedLongLong(path.count));
        put(dict, k.percent, PyFloat_FromDouble(path.percent));
        PyList_SetItem(hot, i++, dict);
    }
    PyObject* out = PyDict_New();
    put(out, k.sample_count, PyLong_FromUnsignedLongLong(result.sample_count));
    put(out, k.wall_time_ms, PyLong_FromUnsignedLongLong(result.wall_time_ms));
    put(out, k.samples, samples);
    put(out, k.spike_events, events);
    put(out, k.hot_paths, hot);
    return out;
}

// time_plain_to_py(): the plain loop over the prepared result. Returns (ns, result).
PyObject* time_plain_to_py(PyObject*, PyObject*) {
    if (!g_prepared) {
        PyErr_SetString(PyExc_RuntimeError, "call prepare_result() first");
        return nullptr;
    }
    keys();
    const std::int64_t t0 = now_ns();
    PyObject* converted = plain_result(*g_prepared);
    const std::int64_t t1 = now_ns();
    if (converted == nullptr) {
        return nullptr;
    }
    return Py_BuildValue("(LN)", static_cast<long long>(t1 - t0), converted);
}

// Runs `body(i)` `reps` times on a new native thread that has no interpreter thread state,
// as the sampler thread does, while the calling thread waits with the lock released; the
// caller's own stack is what a capture sees. Returns the per-call times in ns.
template <typename Body>
std::vector<std::int64_t> time_on_native_thread(Py_ssize_t reps, Body body) {
    std::vector<std::int64_t> times(static_cast<std::size_t>(reps));
    PyThreadState* saved = PyEval_SaveThread();
    std::thread worker([&] {
        for (Py_ssize_t i = 0; i < reps; ++i) {
            const std::int64_t t0 = now_ns();
            body(i);
            times[static_cast<std::size_t>(i)] = now_ns() - t0;
        }
    });
    worker.join();
    PyEval_RestoreThread(saved);
    return times;
}

PyObject* ns_list(const std::vector<std::int64_t>& times) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(times.size()));
    if (list == nullptr) {
        return nullptr;
    }
    for (std::size_t i = 0; i < times.size(); ++i) {
        PyList_SetItem(list, static_cast<Py_ssize_t>(i), PyLong_FromLongLong(times[i]));
    }
    return list;
}

bool parse_reps(PyObject* args, Py_ssize_t& reps) {
    if (!PyArg_ParseTuple(args, "n", &reps)) {
        return false;
    }
    if (reps <= 0) {
        PyErr_SetString(PyExc_ValueError, "reps must be positive");
        return false;
    }
    return true;
}

// capture_many(reps, keep_thread_state=False): capture_main_stack() timed call by call.
// With keep_thread_state the native thread makes its thread state once and keeps it, so
// each capture's PyGILState_Ensure reuses it instead of making a new one (the sampler
// thread makes a new one every cycle). Returns (ns list, frames).
PyObject* capture_many(PyObject*, PyObject* args) {
    Py_ssize_t reps = 0;
    int keep = 0;
    if (!PyArg_ParseTuple(args, "n|p", &reps, &keep)) {
        return nullptr;
    }
    if (reps <= 0) {
        PyErr_SetString(PyExc_ValueError, "reps must be positive");
        return nullptr;
    }
    std::size_t frames = 0;
    PyGILState_STATE outer{};
    PyThreadState* kept = nullptr;
    const auto times = time_on_native_thread(reps, [&](Py_ssize_t i) {
        if (keep && i == 0) {
            outer = PyGILState_Ensure();
            kept = PyEval_SaveThread();
        }
        kulvo::CaptureOutcome outcome = kulvo::py::capture_main_stack();
        frames = outcome.stack ? outcome.stack->frames.size() : 0;
        if (keep && i == reps - 1) {
            PyEval_RestoreThread(kept);
            PyGILState_Release(outer);
        }
    });
    return Py_BuildValue("(Nn)", ns_list(times), static_cast<Py_ssize_t>(frames));
}

// gil_round_trip_many(reps): PyGILState_Ensure + PyGILState_Release alone, the part of a
// capture that creates and deletes a thread state on a thread without one.
PyObject* gil_round_trip_many(PyObject*, PyObject* args) {
    Py_ssize_t reps = 0;
    if (!parse_reps(args, reps)) {
        return nullptr;
    }
    const auto times = time_on_native_thread(reps, [](Py_ssize_t) {
        const PyGILState_STATE state = PyGILState_Ensure();
        PyGILState_Release(state);
    });
    return ns_list(times);
}

PyMethodDef methods[] = {
    {"make_samples", make_samples, METH_VARARGS, "make_samples(n, depth, seed=1)"},
    {"time_analysis", time_analysis, METH_VARARGS, "time_analysis(top_n=20) -> dict"},
    {"stop_body", stop_body, METH_VARARGS, "stop_body(top_n=20) -> (timings, result); consumes the samples"},
    {"prepare_result", prepare_result, METH_VARARGS, "prepare_result(top_n=20)"},
    {"time_result_to_py", time_result_to_py, METH_NOARGS, "time_result_to_py() -> (ns, result)"},
    {"time_plain_to_py", time_plain_to_py, METH_NOARGS, "time_plain_to_py() -> (ns, result)"},
    {"capture_many", capture_many, METH_VARARGS, "capture_many(reps) -> (ns list, frames)"},
    {"gil_round_trip_many", gil_round_trip_many, METH_VARARGS, "gil_round_trip_many(reps) -> ns list"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_kulvo_bench",
    "Bench-only timing hooks around kulvo's core.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__kulvo_bench() {
    PyObject* module = PyModule_Create(&module_def);
    if (module == nullptr) {
        return nullptr;
    }
    // capture_main_stack() walks frames only once it knows the frame type.
    if (!kulvo::py::init_frame_type()) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
