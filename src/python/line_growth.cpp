#include <algorithm>
#include <cstdint>
#include <vector>

#include "line_totals.hpp"
#include "py_errors.hpp"
#include "trace_lines.hpp"

namespace kulvo::py {

namespace {

// Lines that grew by less than this share of the total growth are crumbs that any span of
// time leaves.
constexpr std::uint64_t kCrumbDivisor = 1000;

struct Growth {
    const LineKey* key;
    Totals now;
    Totals before;

    [[nodiscard]] std::uint64_t size_diff_bytes() const { return now.size_bytes - before.size_bytes; }
};

// Most growth first; ties by file, then line, so that reports do not change from run to run.
bool grew_more(const Growth& a, const Growth& b) {
    if (a.size_diff_bytes() != b.size_diff_bytes()) {
        return a.size_diff_bytes() > b.size_diff_bytes();
    }
    if (a.key->file != b.key->file) {
        const int order = PyUnicode_Compare(a.key->file, b.key->file);  // exact strings: cannot fail
        if (order != 0) {
            return order < 0;
        }
    }
    return a.key->line < b.key->line;
}

std::vector<Growth> grown_lines(const LineTotals& current, const LineTotals* previous) {
    std::vector<Growth> grown;
    std::uint64_t total_bytes = 0;
    for (const auto& [key, now] : current.lines) {
        Totals before;
        if (previous != nullptr) {
            if (const auto found = previous->lines.find(key); found != previous->lines.end()) {
                before = found->second;
            }
        }
        if (now.size_bytes > before.size_bytes) {
            grown.push_back(Growth{&key, now, before});
            total_bytes += now.size_bytes - before.size_bytes;
        }
    }
    std::erase_if(grown, [&](const Growth& g) { return g.size_diff_bytes() * kCrumbDivisor < total_bytes; });
    return grown;
}

Ref site_tuple(const Growth& growth) {
    const auto count_diff = static_cast<long long>(growth.now.count) - static_cast<long long>(growth.before.count);
    return Ref::steal(Py_BuildValue("(OlKKKL)", growth.key->file, growth.key->line,
                                    static_cast<unsigned long long>(growth.now.size_bytes),
                                    static_cast<unsigned long long>(growth.size_diff_bytes()),
                                    static_cast<unsigned long long>(growth.now.count), count_diff));
}

PyObject* top_growth(PyObject* /*module*/, PyObject* args) {
    return translate_failures([&]() -> PyObject* {
        PyObject* current_capsule = nullptr;
        PyObject* previous_capsule = nullptr;
        Py_ssize_t limit = 0;
        if (PyArg_ParseTuple(args, "OOn:top_growth", &current_capsule, &previous_capsule, &limit) == 0) {
            return nullptr;
        }
        const LineTotals* current = unwrap_line_totals(current_capsule);
        const LineTotals* previous = previous_capsule == Py_None ? nullptr : unwrap_line_totals(previous_capsule);
        if (current == nullptr || (previous == nullptr && previous_capsule != Py_None)) {
            return nullptr;
        }
        if (limit < 0) {
            PyErr_SetString(PyExc_ValueError, "limit must not be negative");
            return nullptr;
        }
        std::vector<Growth> grown = grown_lines(*current, previous);
        const auto shown = std::min(grown.size(), static_cast<std::size_t>(limit));
        std::partial_sort(grown.begin(), grown.begin() + static_cast<std::ptrdiff_t>(shown), grown.end(), grew_more);
        Ref sites = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(shown)));
        if (!sites) {
            return nullptr;
        }
        for (std::size_t i = 0; i < shown; ++i) {
            Ref site = site_tuple(grown[i]);
            if (!site || PyTuple_SetItem(sites.get(), static_cast<Py_ssize_t>(i), site.release()) != 0) {
                return nullptr;
            }
        }
        return sites.release();
    });
}

PyMethodDef top_growth_def = {
    "top_growth", top_growth, METH_VARARGS,
    "top_growth(current, previous, limit, /)\n--\n\n"
    "The `limit` lines whose live size grew most from `previous` (line totals, or None for\n"
    "nothing) to `current`, as (file, line, size, size_diff, count, count_diff) tuples, most\n"
    "growth first. Lines that grew by less than a thousandth of the total growth are left out."};

}  // namespace

PyObject* top_growth_function() {
    return PyCFunction_NewEx(&top_growth_def, nullptr, nullptr);
}

}  // namespace kulvo::py
