#include "compact_result.hpp"

#include <cstring>
#include <string_view>
#include <vector>

#include "py_errors.hpp"

namespace kulvo::py {

namespace {

// Bytes holding `count` values, the i-th read through `value_at(i)`.
template <typename Value, typename ValueAt>
Ref packed(std::size_t count, ValueAt value_at) {
    Ref bytes = checked_new(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(Value))));
    if (!bytes) {
        return {};
    }
    char* out = PyBytes_AsString(bytes.get());
    for (std::size_t i = 0; i < count; ++i) {
        const Value value = value_at(i);
        std::memcpy(out + i * sizeof(Value), &value, sizeof(Value));
    }
    return bytes;
}

bool set(PyObject* dict, const char* key, Ref value) {
    if (!value) {
        return false;
    }
    if (PyDict_SetItemString(dict, key, value.get()) < 0) {
        ensure_exception_set();
        return false;
    }
    return true;
}

Ref strings(const StackTable& stacks) {
    const std::size_t count = stacks.string_count();
    Ref list = checked_new(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) {
        return {};
    }
    for (std::size_t id = 0; id < count; ++id) {
        const std::string_view text = stacks.string(static_cast<StringId>(id));
        Ref item = checked_new(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!item) {
            return {};
        }
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(id), item.release());  // steals
    }
    return list;
}

Ref spike_events(const std::vector<SpikeEvent>& events) {
    Ref list = checked_new(PyList_New(static_cast<Py_ssize_t>(events.size())));
    if (!list) {
        return {};
    }
    for (std::size_t i = 0; i < events.size(); ++i) {
        const SpikeEvent& event = events[i];
        Ref dict = checked_new(PyDict_New());
        if (!dict ||
            !set(dict.get(), "kind",
                 checked_new(PyUnicode_FromString(event.kind == SpikeKind::Cpu ? "cpu" : "memory"))) ||
            !set(dict.get(), "start_ms", checked_new(PyLong_FromUnsignedLongLong(event.start_ms))) ||
            !set(dict.get(), "end_ms", checked_new(PyLong_FromUnsignedLongLong(event.end_ms))) ||
            !set(dict.get(), "peak_value", checked_new(PyFloat_FromDouble(event.peak_value))) ||
            !set(dict.get(), "threshold", checked_new(PyFloat_FromDouble(event.threshold))) ||
            !set(dict.get(), "peak_stack", checked_new(PyLong_FromUnsignedLong(event.peak_stack)))) {
            return {};
        }
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), dict.release());  // steals
    }
    return list;
}

}  // namespace

Ref compact_result_to_py(const ProfileResult& result, std::uint64_t kulvo_bytes) {
    static const StackTable no_stacks;
    const StackTable& stacks = result.stacks ? *result.stacks : no_stacks;
    const std::size_t frames = stacks.frame_count();
    const std::size_t nodes = stacks.node_count();
    const std::vector<Sample>& samples = result.samples;
    const std::size_t count = samples.size();
    const ThreadSetTable& sets = stacks.thread_sets();
    const auto frame = [&](std::size_t id) { return stacks.frame(static_cast<FrameId>(id)); };
    const auto node = [&](std::size_t id) { return stacks.node(static_cast<StackId>(id)); };
    Ref dict = checked_new(PyDict_New());
    if (!dict || !set(dict.get(), "sample_count", checked_new(PyLong_FromUnsignedLongLong(result.sample_count))) ||
        !set(dict.get(), "wall_time_ms", checked_new(PyLong_FromUnsignedLongLong(result.wall_time_ms))) ||
        !set(dict.get(), "kulvo_bytes", checked_new(PyLong_FromUnsignedLongLong(kulvo_bytes))) ||
        !set(dict.get(), "strings", strings(stacks)) ||
        !set(dict.get(), "frame_files",
             packed<std::int32_t>(frames, [&](std::size_t i) { return static_cast<std::int32_t>(frame(i).file); })) ||
        !set(dict.get(), "frame_functions",
             packed<std::int32_t>(frames,
                                  [&](std::size_t i) { return static_cast<std::int32_t>(frame(i).function); })) ||
        !set(dict.get(), "frame_lines", packed<std::int32_t>(frames, [&](std::size_t i) { return frame(i).line; })) ||
        !set(dict.get(), "stack_parents",
             packed<std::uint32_t>(nodes, [&](std::size_t i) { return node(i).parent; })) ||
        !set(dict.get(), "stack_frames", packed<std::uint32_t>(nodes, [&](std::size_t i) { return node(i).frame; })) ||
        !set(dict.get(), "timestamp_ms",
             packed<std::uint64_t>(count, [&](std::size_t i) { return samples[i].timestamp_ms; })) ||
        !set(dict.get(), "cpu_percent", packed<double>(count, [&](std::size_t i) { return samples[i].cpu_percent; })) ||
        !set(dict.get(), "rss_bytes",
             packed<std::uint64_t>(count, [&](std::size_t i) { return samples[i].rss_bytes; })) ||
        !set(dict.get(), "stack", packed<std::uint32_t>(count, [&](std::size_t i) { return samples[i].stack; })) ||
        !set(dict.get(), "weight_us",
             packed<std::uint64_t>(count, [&](std::size_t i) { return samples[i].weight_us; })) ||
        !set(dict.get(), "main_thread_waiting",
             packed<std::uint8_t>(
                 count, [&](std::size_t i) { return static_cast<std::uint8_t>(samples[i].main_thread_waiting); })) ||
        !set(dict.get(), "other_threads",
             packed<std::uint32_t>(count, [&](std::size_t i) { return samples[i].other_threads; })) ||
        !set(dict.get(), "thread_set_starts",
             packed<std::uint32_t>(sets.starts().size(), [&](std::size_t i) { return sets.starts()[i]; })) ||
        !set(dict.get(), "thread_stacks",
             packed<std::uint32_t>(sets.entries().size(), [&](std::size_t i) { return sets.entries()[i].stack; })) ||
        !set(dict.get(), "thread_waiting",
             packed<std::uint8_t>(
                 sets.entries().size(),
                 [&](std::size_t i) { return static_cast<std::uint8_t>(sets.entries()[i].waiting); })) ||
        !set(dict.get(), "spike_events", spike_events(result.spike_events))) {
        return {};
    }
    return dict;
}

}  // namespace kulvo::py
