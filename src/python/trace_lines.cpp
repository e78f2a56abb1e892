#include "trace_lines.hpp"

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>

#include "line_totals.hpp"
#include "py_errors.hpp"

namespace kulvo::py {

namespace {

constexpr const char* kCapsuleName = "kulvo._native.LineTotals";

void destroy_line_totals(PyObject* capsule) {
    // The name matches: only wrap_line_totals() makes these capsules.
    delete static_cast<LineTotals*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// All borrowed but what the totals keep: the traces list holds every object named here for
// the whole call, and no Python code runs meanwhile.
class LineGrouper {
public:
    LineGrouper(PyObject* ignored_files, PyObject* ignored_prefixes) : files_(ignored_files, ignored_prefixes) {}

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

    // The totals per line; null with an exception set.
    std::unique_ptr<LineTotals> by_line() {
        auto totals = std::make_unique<LineTotals>();
        for (const auto& [traceback, sum] : by_traceback_) {
            PyObject* frame =
                PyTuple_Check(traceback) && PyTuple_Size(traceback) > 0 ? PyTuple_GetItem(traceback, 0) : nullptr;
            PyObject* file = frame != nullptr && PyTuple_Check(frame) && PyTuple_Size(frame) == 2
                                 ? PyTuple_GetItem(frame, 0)
                                 : nullptr;
            // Exact strings only: hashing or comparing anything else could run Python code,
            // which could free the borrowed objects this walk holds.
            if (file == nullptr || !PyUnicode_CheckExact(file)) {
                fail("a traceback must be a non-empty tuple of (file, line) frames");
                return nullptr;
            }
            const FileFilter::Facts* facts = files_.facts_of(file, *totals);
            if (facts == nullptr) {
                return nullptr;
            }
            if (facts->ignored) {
                continue;
            }
            PyObject* line_number = PyTuple_GetItem(frame, 1);
            if (!PyLong_CheckExact(line_number)) {
                fail("a frame's line must be an int");
                return nullptr;
            }
            const long line = PyLong_AsLong(line_number);
            if (line == -1 && PyErr_Occurred() != nullptr) {
                return nullptr;
            }
            Totals& line_sum = totals->lines[LineKey{file, facts->hash, line}];
            line_sum.size_bytes += sum.size_bytes;
            line_sum.count += sum.count;
        }
        return totals;
    }

private:
    static bool fail(const char* message) {
        PyErr_SetString(PyExc_TypeError, message);
        return false;
    }

    FileFilter files_;
    std::unordered_map<PyObject*, Totals> by_traceback_;
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
        if (!FileFilter::valid_prefixes(ignored_prefixes)) {
            return nullptr;
        }
        LineGrouper grouper(ignored_files, ignored_prefixes);
        const Py_ssize_t count = PyList_Size(list.get());
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!grouper.add_trace(PyList_GetItem(list.get(), i))) {
                return nullptr;
            }
        }
        std::unique_ptr<LineTotals> totals = grouper.by_line();
        return totals ? wrap_line_totals(std::move(totals)) : nullptr;
    });
}

PyMethodDef group_traces_def = {"group_traces", group_traces, METH_VARARGS,
                                "group_traces(traces, ignored_files, ignored_prefixes, /)\n--\n\n"
                                "Live bytes and blocks per allocating line, held natively for top_growth(), from\n"
                                "tracemalloc's traces (each trace's most recent frame), leaving out the files in the\n"
                                "frozenset `ignored_files` and those starting with a string of `ignored_prefixes`."};

}  // namespace

const FileFilter::Facts* FileFilter::facts_of(PyObject* file, LineTotals& totals) {
    if (const auto found = facts_by_file_.find(file); found != facts_by_file_.end()) {
        return &found->second;
    }
    int ignored = PySet_Contains(ignored_files_, file);
    for (Py_ssize_t i = 0; ignored == 0 && i < PyTuple_Size(ignored_prefixes_); ++i) {
        const Py_ssize_t matched =
            PyUnicode_Tailmatch(file, PyTuple_GetItem(ignored_prefixes_, i), 0, PY_SSIZE_T_MAX, -1);
        ignored = matched < 0 ? -1 : static_cast<int>(matched);
    }
    const Py_hash_t hash = ignored == 0 ? PyObject_Hash(file) : 0;
    if (ignored < 0 || hash == -1) {
        return nullptr;
    }
    if (ignored == 0) {
        totals.files.push_back(Ref::borrow(file));
    }
    return &facts_by_file_.emplace(file, Facts{ignored != 0, hash}).first->second;
}

bool FileFilter::valid_prefixes(PyObject* ignored_prefixes) {
    for (Py_ssize_t i = 0; i < PyTuple_Size(ignored_prefixes); ++i) {
        if (!PyUnicode_CheckExact(PyTuple_GetItem(ignored_prefixes, i))) {
            PyErr_SetString(PyExc_TypeError, "ignored_prefixes must hold strings");
            return false;
        }
    }
    return true;
}

PyObject* wrap_line_totals(std::unique_ptr<LineTotals> totals) {
    PyObject* capsule = PyCapsule_New(totals.get(), kCapsuleName, destroy_line_totals);
    if (capsule != nullptr) {
        static_cast<void>(totals.release());  // the capsule owns it now
    }
    return capsule;
}

const LineTotals* unwrap_line_totals(PyObject* capsule) {
    if (PyCapsule_IsValid(capsule, kCapsuleName) == 0) {
        PyErr_SetString(PyExc_TypeError, "expected line totals from group_traces()");
        return nullptr;
    }
    return static_cast<const LineTotals*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

PyObject* group_traces_function() {
    return PyCFunction_NewEx(&group_traces_def, nullptr, nullptr);
}

}  // namespace kulvo::py
