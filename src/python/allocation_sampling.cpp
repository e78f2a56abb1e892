// kulvo._native's functions for allocation sampling: start, stop, and the sampled totals per
// allocating line, live now and at the peak, for the memory watcher.
#include "allocation_sampling.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <span>

#include "allocation_hooks.hpp"
#include "line_totals.hpp"
#include "py_errors.hpp"
#include "stack_reader_check.hpp"

namespace kulvo::py {

namespace {

// Totals per line, lines in ignored files left out; null with an exception set.
PyObject* group_sites(std::span<const SiteTotal> totals, const std::vector<ResolvedSite>& sites, FileFilter& files) {
    auto grouped = std::make_unique<LineTotals>();
    for (const SiteTotal& total : totals) {
        // A site sampled after the names were read has none yet: a moment's allocations.
        if (total.site >= sites.size() || !sites[total.site].file) {
            continue;
        }
        const ResolvedSite& site = sites[total.site];
        const FileFilter::Facts* facts = files.facts_of(site.file.get(), *grouped);
        if (facts == nullptr) {
            return nullptr;
        }
        if (facts->ignored) {
            continue;
        }
        Totals& line = grouped->lines[LineKey{site.file.get(), facts->hash, site.line}];
        line.size_bytes += static_cast<std::uint64_t>(total.bytes);
        line.count += static_cast<std::uint64_t>(total.blocks);
    }
    return wrap_line_totals(std::move(grouped));
}

PyObject* start_sampling(PyObject* /*module*/, PyObject* args) {
    return translate_failures([&]() -> PyObject* {
        long long mean_interval_bytes = 0;
        if (PyArg_ParseTuple(args, "L:start_allocation_sampling", &mean_interval_bytes) == 0) {
            return nullptr;
        }
        if (mean_interval_bytes <= 0) {
            PyErr_SetString(PyExc_ValueError, "mean_interval_bytes must be positive");
            return nullptr;
        }
        const StackReaderCheck check = check_stack_reader();
        if (!check.place) {
            PyErr_SetString(PyExc_RuntimeError, check.why_not.c_str());
            return nullptr;
        }
        if (const auto why_not = start_allocation_sampling(*check.place, mean_interval_bytes)) {
            PyErr_SetString(PyExc_RuntimeError, why_not->c_str());
            return nullptr;
        }
        return Py_NewRef(Py_None);
    });
}

PyObject* stop_sampling(PyObject* /*module*/, PyObject* /*unused*/) {
    return translate_failures([&]() -> PyObject* { return PyBool_FromLong(stop_allocation_sampling() ? 1 : 0); });
}

PyObject* line_totals(PyObject* /*module*/, PyObject* args) {
    return translate_failures([&]() -> PyObject* {
        PyObject* ignored_files = nullptr;
        PyObject* ignored_prefixes = nullptr;
        if (PyArg_ParseTuple(args, "O!O!:sampled_line_totals", &PyFrozenSet_Type, &ignored_files, &PyTuple_Type,
                             &ignored_prefixes) == 0 ||
            !FileFilter::valid_prefixes(ignored_prefixes)) {
            return nullptr;
        }
        const SampledTotals totals = sampled_totals();
        FileFilter files(ignored_files, ignored_prefixes);
        const Ref live = Ref::steal(group_sites(totals.live, totals.sites, files));
        const Ref at_peak = live ? Ref::steal(group_sites(totals.at_peak.sites, totals.sites, files)) : Ref();
        if (!at_peak) {
            return nullptr;
        }
        return Py_BuildValue("(OOLLLL)", live.get(), at_peak.get(), static_cast<long long>(totals.live_bytes),
                             static_cast<long long>(totals.at_peak.time_ns),
                             static_cast<long long>(totals.at_peak.bytes), static_cast<long long>(totals.held_bytes));
    });
}

PyMethodDef start_def = {
    "start_allocation_sampling", start_sampling, METH_VARARGS,
    "start_allocation_sampling(mean_interval_bytes, /)\n--\n\n"
    "Samples the blocks Python's object and memory allocators hand out, each byte with the same\n"
    "chance, one in `mean_interval_bytes`, with the line that allocated it. RuntimeError when this\n"
    "interpreter's frames cannot be read or sampling is on already."};

PyMethodDef stop_def = {"stop_allocation_sampling", stop_sampling, METH_NOARGS,
                        "stop_allocation_sampling()\n--\n\n"
                        "Stops sampling; the totals stay readable. False when the program had put other\n"
                        "allocator hooks on top of kulvo's (they then pass every call on) or taken them off."};

PyMethodDef totals_def = {
    "sampled_line_totals", line_totals, METH_VARARGS,
    "sampled_line_totals(ignored_files, ignored_prefixes, /)\n--\n\n"
    "(live, at_peak, live_bytes, peak_time_ns, peak_bytes, held_bytes): the estimated live bytes and\n"
    "blocks per allocating line now and when their sum was highest (line totals for top_growth()),\n"
    "the sum now, that moment on the monotonic clock, the sum then, and the sampler's own memory."};

}  // namespace

bool add_allocation_sampling(PyObject* module) {
    const std::array definitions{&start_def, &stop_def, &totals_def};
    return std::ranges::all_of(definitions, [module](PyMethodDef* definition) {
        const Ref function = Ref::steal(PyCFunction_NewEx(definition, nullptr, nullptr));
        return function && PyObject_SetAttrString(module, definition->ml_name, function.get()) == 0;
    });
}

}  // namespace kulvo::py
