// tracemalloc's live traces grouped by the line that allocated them, for the memory watcher.
#pragma once

#include "pyref.hpp"

namespace kulvo::py {

// A new reference to kulvo._native.group_traces, or null with an exception set:
// group_traces(traces, ignored_files, ignored_prefixes) -> LineTotals (an opaque capsule).
// `traces` as tracemalloc._get_traces() returns them, each (domain, size, traceback, ...)
// with the traceback's most recent frame first. Totals the most recent frame of each trace,
// leaving out files in the set `ignored_files` or starting with one of the tuple
// `ignored_prefixes`.
PyObject* group_traces_function();

// A new reference to kulvo._native.top_growth, or null with an exception set:
// top_growth(current, previous, limit) -> ((file, line, size, size_diff, count, count_diff), ...)
// for the lines whose size grew most from `previous` (None: from nothing) to `current`.
PyObject* top_growth_function();

}  // namespace kulvo::py
