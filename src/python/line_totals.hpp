// Live bytes and blocks per allocating line, held natively between two memory snapshots so
// that only the lines a report shows ever become Python objects.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "pyref.hpp"

namespace kulvo::py {

struct Totals {
    std::uint64_t size_bytes = 0;
    std::uint64_t count = 0;
};

// A line by its file's text, not its object: tracemalloc interns file names, but a window
// that clears its traces clears them too, and the same name may come back as another object.
struct LineKey {
    PyObject* file;  // an exact str, kept alive by the LineTotals holding the key
    Py_hash_t file_hash;
    long line;
};

struct LineKeyHash {
    std::size_t operator()(const LineKey& key) const noexcept {
        return static_cast<std::size_t>(key.file_hash) ^ (static_cast<std::size_t>(key.line) * 0x9E3779B97F4A7C15ULL);
    }
};

// Exact strings only, so the comparison runs no Python code and cannot fail.
struct LineKeyEqual {
    bool operator()(const LineKey& a, const LineKey& b) const noexcept {
        return a.line == b.line && a.file_hash == b.file_hash &&
               (a.file == b.file || PyUnicode_Compare(a.file, b.file) == 0);
    }
};

// Touched only with the GIL held: its references are released in its destructor.
struct LineTotals {
    std::unordered_map<LineKey, Totals, LineKeyHash, LineKeyEqual> lines;
    std::vector<Ref> files;  // a strong reference to each file object used in a key
};

// A new capsule that owns `totals`, or null with an exception set.
PyObject* wrap_line_totals(std::unique_ptr<LineTotals> totals);

// The totals a capsule from wrap_line_totals() holds; null with TypeError set for anything else.
const LineTotals* unwrap_line_totals(PyObject* capsule);

}  // namespace kulvo::py
