#include "py_result.hpp"

#include <array>
#include <string_view>
#include <utility>
#include <vector>

#include "py_errors.hpp"

namespace kulvo::py {

namespace {

enum Key : std::size_t {
    kSampleCount,
    kWallTimeMs,
    kSamples,
    kSpikeEvents,
    kHotPaths,
    kTimestampMs,
    kCpuPercent,
    kRssBytes,
    kStack,
    kKind,
    kStartMs,
    kEndMs,
    kPeakValue,
    kThreshold,
    kPeakStack,
    kFile,
    kFunction,
    kLine,
    kCount,
    kPercent,
    kKeyCount,
};

constexpr std::array<const char*, kKeyCount> kKeyNames = {
    "sample_count", "wall_time_ms", "samples",  "spike_events", "hot_paths", "timestamp_ms", "cpu_percent",
    "rss_bytes",    "stack",        "kind",     "start_ms",     "end_ms",    "peak_value",   "threshold",
    "peak_stack",   "file",         "function", "line",         "count",     "percent",
};

Ref new_u64(std::uint64_t value) {
    return checked_new(PyLong_FromUnsignedLongLong(value));
}

Ref new_float(double value) {
    return checked_new(PyFloat_FromDouble(value));
}

Ref new_str(std::string_view text) {
    return checked_new(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// Builds the whole result in one pass. Every key is made once; every distinct name and
// frame once, the first time a stack needs it; names and lines are shared by all the frames
// that carry them (strings and ints are immutable). Containers are new per record.
class ResultWriter {
public:
    explicit ResultWriter(const StackTable& stacks)
        : stacks_(stacks), strings_(stacks.string_count()), frames_(stacks.frame_count()) {}

    Ref result(const ProfileResult& result) {
        if (!make_keys()) {
            return {};
        }
        Ref dict = checked_new(PyDict_New());
        if (!dict || !set(dict, kSampleCount, new_u64(result.sample_count)) ||
            !set(dict, kWallTimeMs, new_u64(result.wall_time_ms)) ||
            !set(dict, kSamples, list(result.samples, &ResultWriter::sample)) ||
            !set(dict, kSpikeEvents, list(result.spike_events, &ResultWriter::spike)) ||
            !set(dict, kHotPaths, list(result.hot_paths, &ResultWriter::hot_path))) {
            return {};
        }
        return dict;
    }

private:
    bool make_keys() {
        for (std::size_t i = 0; i < kKeyCount; ++i) {
            keys_[i] = checked_new(PyUnicode_InternFromString(kKeyNames[i]));
            if (!keys_[i]) {
                return false;
            }
        }
        return true;
    }

    // dict[key] = value; a null `value` means its constructor already failed.
    bool set(const Ref& dict, Key key, Ref value) {
        if (!value) {
            return false;
        }
        if (PyDict_SetItem(dict.get(), keys_[key].get(), value.get()) < 0) {
            ensure_exception_set();
            return false;
        }
        return true;
    }

    Ref string(StringId id) {
        Ref& slot = strings_[id];
        if (!slot) {
            slot = new_str(stacks_.string(id));
        }
        return Ref::borrow(slot.get());
    }

    // A new dict per frame of each stack (a caller may change one), copied from one made
    // per distinct frame: copying a small dict clones its table, cheaper than three inserts.
    Ref frame(FrameId id) {
        Ref& made = frames_[id];
        if (!made) {
            const FrameKey& key = stacks_.frame(id);
            Ref dict = checked_new(PyDict_New());
            if (!dict || !set(dict, kFile, string(key.file)) || !set(dict, kFunction, string(key.function)) ||
                !set(dict, kLine, checked_new(PyLong_FromLong(key.line)))) {
                return {};
            }
            made = std::move(dict);
        }
        return checked_new(PyDict_Copy(made.get()));
    }

    // None for no stack; else a list of frame dicts, outermost first.
    Ref stack(StackId id) {
        if (id == kNoStack) {
            return Ref::borrow(Py_None);
        }
        stacks_.frames_of(id, scratch_);
        Ref list = checked_new(PyList_New(static_cast<Py_ssize_t>(scratch_.size())));
        if (!list) {
            return {};
        }
        for (std::size_t i = 0; i < scratch_.size(); ++i) {
            Ref item = frame(scratch_[i]);
            if (!item) {
                return {};
            }
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());  // steals
        }
        return list;
    }

    Ref sample(const Sample& sample) {
        Ref dict = checked_new(PyDict_New());
        if (!dict || !set(dict, kTimestampMs, new_u64(sample.timestamp_ms)) ||
            !set(dict, kCpuPercent, new_float(sample.cpu_percent)) ||
            !set(dict, kRssBytes, new_u64(sample.rss_bytes)) || !set(dict, kStack, stack(sample.stack))) {
            return {};
        }
        return dict;
    }

    Ref spike(const SpikeEvent& event) {
        Ref dict = checked_new(PyDict_New());
        if (!dict || !set(dict, kKind, new_str(event.kind == SpikeKind::Cpu ? "cpu" : "memory")) ||
            !set(dict, kStartMs, new_u64(event.start_ms)) || !set(dict, kEndMs, new_u64(event.end_ms)) ||
            !set(dict, kPeakValue, new_float(event.peak_value)) || !set(dict, kThreshold, new_float(event.threshold)) ||
            !set(dict, kPeakStack, stack(event.peak_stack))) {
            return {};
        }
        return dict;
    }

    Ref hot_path(const HotPath& hot_path) {
        Ref dict = checked_new(PyDict_New());
        if (!dict || !set(dict, kFile, new_str(hot_path.file)) || !set(dict, kFunction, new_str(hot_path.function)) ||
            !set(dict, kLine, checked_new(PyLong_FromLong(hot_path.line))) ||
            !set(dict, kCount, new_u64(hot_path.count)) || !set(dict, kPercent, new_float(hot_path.percent))) {
            return {};
        }
        return dict;
    }

    // A list made at its final size.
    template <typename Record>
    Ref list(const std::vector<Record>& records, Ref (ResultWriter::*convert)(const Record&)) {
        Ref list = checked_new(PyList_New(static_cast<Py_ssize_t>(records.size())));
        if (!list) {
            return {};
        }
        for (std::size_t i = 0; i < records.size(); ++i) {
            Ref item = (this->*convert)(records[i]);
            if (!item) {
                return {};
            }
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());  // steals
        }
        return list;
    }

    const StackTable& stacks_;
    std::array<Ref, kKeyCount> keys_;
    std::vector<Ref> strings_;  // per StringId
    std::vector<Ref> frames_;   // per FrameId: the dict each frame's dicts are copied from
    std::vector<FrameId> scratch_;
};

}  // namespace

Ref result_to_py(const ProfileResult& result) {
    static const StackTable no_stacks;
    return ResultWriter(result.stacks ? *result.stacks : no_stacks).result(result);
}

}  // namespace kulvo::py
