#include "trace_lines.hpp"

#include <cstdint>
#include <functional>
#include <unordered_map>
#include <utility>

#include "py_errors.hpp"

namespace kulvo::py {

namespace {

struct Totals {
    std::uint64_t size_bytes = 0;
    std::uint64_t count = 0;
};

// A line: the file name object (shared by every trace from that file) and the line number.
using LineKey = std::pair<PyObject*, long>;

struct LineKeyHash {
    std::size_t operator()(const LineKey& key) const noexcept {
        return std::hash<PyObject*>()(key.first) ^ (std::hash<long>()(key.second) * 0x9E3779B97F4A7C15ULL);
    }
};

// All borrowed: the traces list holds every object named here for the whole call, and no
// Python code runs meanwhile.
class LineGrouper {
public:
    LineGrouper(PyObject* ignored_files, PyObject* ignored_prefixes)
        : ignored_files_(ignored_files), ignored_prefixes_(ignored_prefixes) {}

    // Adds one trace; false with an exception set when it is not shaped as tracemalloc's.
    bool add_trace(PyObject* trace) {
        PyObject* size = PyTuple_Check(trace) && PyTuple_Size(trace) >= 3 ? PyTuple_GetItem(trace, 1) : nullptr;
        PyObject* traceback = size != nullptr ? PyTuple_GetItem(trace, 2) : nullptr;
        if (traceback == nullptr || !PyLong_CheckExact(size)) {
            return fail("a trace must be a tuple (domain, size, traceback, ...)");
        }
        const unsigned long long size_bytes = PyLong_AsUnsignedLongLong(size);
        if (size_bytes == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
            return false;
        }
        // Traces from one place share one traceback object: most are added up here.
        Totals& totals = by_traceback_[traceback];
        totals.size_bytes += size_bytes;
        totals.count += 1;
        return true;
    }

    // The totals per line, as a new dict; null with an exception set.
    Ref by_line() {
        std::unordered_map<LineKey, Totals, LineKeyHash> lines;
        for (const auto& [traceback, totals] : by_traceback_) {
            PyObject* frame =
                PyTuple_Check(traceback) && PyTuple_Size(traceback) > 0 ? PyTuple_GetItem(traceback, 0) : nullptr;
            PyObject* file = frame != nullptr && PyTuple_Check(frame) && PyTuple_Size(frame) == 2
                                 ? PyTuple_GetItem(frame, 0)
                                 : nullptr;
            // Exact strings only: hashing or comparing anything else could run Python code,
            // which could free the borrowed objects this walk holds.
            if (file == nullptr || !PyUnicode_CheckExact(file)) {
                fail("a traceback must be a non-empty tuple of (file, line) frames");
                return {};
            }
            const int ignored = is_ignored(file);
            if (ignored < 0) {
                return {};
            }
            if (ignored != 0) {
                continue;
            }
            PyObject* line_number = PyTuple_GetItem(frame, 1);
            if (!PyLong_CheckExact(line_number)) {
                fail("a frame's line must be an int");
                return {};
            }
            const long line = PyLong_AsLong(line_number);
            if (line == -1 && PyErr_Occurred() != nullptr) {
                return {};
            }
            Totals& sum = lines[LineKey{file, line}];
            sum.size_bytes += totals.size_bytes;
            sum.count += totals.count;
        }
        Ref result = Ref::steal(PyDict_New());
        if (!result) {
            return {};
        }
        for (const auto& [key, totals] : lines) {
            const Ref line_key = Ref::steal(Py_BuildValue("(Ol)", key.first, key.second));
            const Ref value = Ref::steal(Py_BuildValue("(KK)", static_cast<unsigned long long>(totals.size_bytes),
                                                       static_cast<unsigned long long>(totals.count)));
            if (!line_key || !value || PyDict_SetItem(result.get(), line_key.get(), value.get()) != 0) {
                return {};
            }
        }
        return result;
    }

private:
    static bool fail(const char* message) {
        PyErr_SetString(PyExc_TypeError, message);
        return false;
    }

    // 1 ignored, 0 kept, -1 with an exception set; decided once per file name object.
    int is_ignored(PyObject* file) {
        if (const auto found = ignored_by_file_.find(file); found != ignored_by_file_.end()) {
            return found->second ? 1 : 0;
        }
        int ignored = PySet_Contains(ignored_files_, file);
        for (Py_ssize_t i = 0; ignored == 0 && i < PyTuple_Size(ignored_prefixes_); ++i) {
            const Py_ssize_t matched =
                PyUnicode_Tailmatch(file, PyTuple_GetItem(ignored_prefixes_, i), 0, PY_SSIZE_T_MAX, -1);
            ignored = matched < 0 ? -1 : static_cast<int>(matched);
        }
        if (ignored >= 0) {
            ignored_by_file_[file] = ignored != 0;
        }
        return ignored;
    }

    PyObject* ignored_files_;
    PyObject* ignored_prefixes_;
    std::unordered_map<PyObject*, Totals> by_traceback_;
    std::unordered_map<PyObject*, bool> ignored_by_file_;
};

PyObject* group_traces(PyObject* /*module*/, PyObject* args) {
    return translate_failures([&]() -> PyObject* {
        PyObject* traces = nullptr;
        PyObject* ignored_files = nullptr;
        PyObject* ignored_prefixes = nullptr;
        if (PyArg_ParseTuple(args, "OO!O!:group_traces", &traces, &PyFrozenSet_Type, &ignored_files, &PyTuple_Type,
                             &ignored_prefixes) == 0) {
            return nullptr;
        }
        // No Python code runs during the walk (exact types only), so a list cannot change under
        // it; any other sequence is copied into one first.
        const Ref list = PyList_CheckExact(traces) ? Ref::borrow(traces) : Ref::steal(PySequence_List(traces));
        if (!list) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < PyTuple_Size(ignored_prefixes); ++i) {
            if (!PyUnicode_CheckExact(PyTuple_GetItem(ignored_prefixes, i))) {
                PyErr_SetString(PyExc_TypeError, "ignored_prefixes must hold strings");
                return nullptr;
            }
        }
        LineGrouper grouper(ignored_files, ignored_prefixes);
        const Py_ssize_t count = PyList_Size(list.get());
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!grouper.add_trace(PyList_GetItem(list.get(), i))) {
                return nullptr;
            }
        }
        return grouper.by_line().release();
    });
}

PyMethodDef group_traces_def = {"group_traces", group_traces, METH_VARARGS,
                                "group_traces(traces, ignored_files, ignored_prefixes, /)\n--\n\n"
                                "Live bytes and blocks per allocating line, {(file, line): (size, count)}, from\n"
                                "tracemalloc's traces (each trace's most recent frame), leaving out the files in the\n"
                                "frozenset `ignored_files` and those starting with a string of `ignored_prefixes`."};

}  // namespace

PyObject* group_traces_function() {
    return PyCFunction_NewEx(&group_traces_def, nullptr, nullptr);
}

}  // namespace kulvo::py
