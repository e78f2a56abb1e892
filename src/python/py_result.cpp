#include "py_result.hpp"

#include <utility>

#include "py_errors.hpp"
#include "stack_to_py.hpp"

namespace kulvo::py {

namespace {

Ref new_u64(std::uint64_t value) {
    return checked_new(PyLong_FromUnsignedLongLong(value));
}

Ref new_float(double value) {
    return checked_new(PyFloat_FromDouble(value));
}

Ref optional_stack_to_py(const std::optional<StackSnapshot>& stack) {
    if (!stack) {
        return Ref::borrow(Py_None);
    }
    return stack_to_py(stack->frames);
}

Ref sample_to_py(const Sample& sample) {
    Ref dict = checked_new(PyDict_New());
    if (!dict || !set_item(dict.get(), "timestamp_ms", new_u64(sample.timestamp_ms)) ||
        !set_item(dict.get(), "cpu_percent", new_float(sample.cpu_percent)) ||
        !set_item(dict.get(), "rss_bytes", new_u64(sample.rss_bytes)) ||
        !set_item(dict.get(), "stack", optional_stack_to_py(sample.stack))) {
        return {};
    }
    return dict;
}

Ref weighted_sample_to_py(const Sample& sample) {
    Ref dict = sample_to_py(sample);
    if (!dict || !set_item(dict.get(), "weight_us", new_u64(sample.weight_us)) ||
        !set_item(dict.get(), "main_thread_waiting", Ref::borrow(sample.main_thread_waiting ? Py_True : Py_False))) {
        return {};
    }
    return dict;
}

Ref spike_to_py(const SpikeEvent& event) {
    Ref dict = checked_new(PyDict_New());
    if (!dict || !set_item(dict.get(), "kind", new_str(event.kind == SpikeKind::Cpu ? "cpu" : "memory")) ||
        !set_item(dict.get(), "start_ms", new_u64(event.start_ms)) ||
        !set_item(dict.get(), "end_ms", new_u64(event.end_ms)) ||
        !set_item(dict.get(), "peak_value", new_float(event.peak_value)) ||
        !set_item(dict.get(), "threshold", new_float(event.threshold)) ||
        !set_item(dict.get(), "peak_stack", optional_stack_to_py(event.peak_stack))) {
        return {};
    }
    return dict;
}

Ref hot_path_to_py(const HotPath& hot_path) {
    Ref dict = checked_new(PyDict_New());
    if (!dict || !set_item(dict.get(), "file", new_str(hot_path.file)) ||
        !set_item(dict.get(), "function", new_str(hot_path.function)) ||
        !set_item(dict.get(), "line", checked_new(PyLong_FromLong(hot_path.line))) ||
        !set_item(dict.get(), "count", new_u64(hot_path.count)) ||
        !set_item(dict.get(), "percent", new_float(hot_path.percent))) {
        return {};
    }
    return dict;
}

template <typename Record, typename Convert>
Ref list_to_py(const std::vector<Record>& records, Convert convert) {
    Ref list = checked_new(PyList_New(0));
    if (!list) {
        return {};
    }
    for (const Record& record : records) {
        if (!append(list.get(), convert(record))) {
            return {};
        }
    }
    return list;
}

}  // namespace

Ref new_str(std::string_view text) {
    return checked_new(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

bool set_item(PyObject* dict, const char* key, Ref value) {
    if (!value) {
        return false;
    }
    const Ref key_object = checked_new(PyUnicode_FromString(key));
    if (!key_object) {
        return false;
    }
    if (PyDict_SetItem(dict, key_object.get(), value.get()) < 0) {
        ensure_exception_set();
        return false;
    }
    return true;
}

bool append(PyObject* list, Ref item) {
    if (!item) {
        return false;
    }
    if (PyList_Append(list, item.get()) < 0) {
        ensure_exception_set();
        return false;
    }
    return true;
}

Ref result_to_py(const ProfileResult& result, bool sample_weights) {
    Ref dict = checked_new(PyDict_New());
    if (!dict || !set_item(dict.get(), "sample_count", new_u64(result.sample_count)) ||
        !set_item(dict.get(), "wall_time_ms", new_u64(result.wall_time_ms)) ||
        !set_item(dict.get(), "samples",
                  sample_weights ? list_to_py(result.samples, weighted_sample_to_py)
                                 : list_to_py(result.samples, sample_to_py)) ||
        !set_item(dict.get(), "spike_events", list_to_py(result.spike_events, spike_to_py)) ||
        !set_item(dict.get(), "hot_paths", list_to_py(result.hot_paths, hot_path_to_py))) {
        return {};
    }
    return dict;
}

}  // namespace kulvo::py
