// tracemalloc's live traces grouped by the line that allocated them, for the memory watcher.
#pragma once

#include "pyref.hpp"

namespace kulvo::py {

// A new reference to kulvo._native.group_traces, or null with an exception set:
// group_traces(traces, ignored_files, ignored_prefixes) -> dict.
// `traces` as tracemalloc._get_traces() returns them, each (domain, size, traceback, ...)
// with the traceback's most recent frame first. Returns {(file, line): (size, count)} over
// the most recent frame of each trace, leaving out files in the set `ignored_files` or
// starting with one of the tuple `ignored_prefixes`.
PyObject* group_traces_function();

}  // namespace kulvo::py
