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

// Which files the totals leave out (kulvo's own, the import system's), decided once per file
// name object. The arguments are borrowed: a frozenset of names and a tuple of exact str
// prefixes (checked by valid_prefixes()).
class FileFilter {
public:
    FileFilter(PyObject* ignored_files, PyObject* ignored_prefixes)
        : ignored_files_(ignored_files), ignored_prefixes_(ignored_prefixes) {}

    struct Facts {
        bool ignored = false;
        Py_hash_t hash = 0;
    };
    // `file` must be an exact str. A kept file gets a reference in `totals`. Null with an
    // exception set.
    const Facts* facts_of(PyObject* file, LineTotals& totals);

    // False with TypeError set unless every prefix is an exact str.
    static bool valid_prefixes(PyObject* ignored_prefixes);

private:
    PyObject* ignored_files_;
    PyObject* ignored_prefixes_;
    std::unordered_map<PyObject*, Facts> facts_by_file_;
};

// A new capsule that owns `totals`, or null with an exception set.
PyObject* wrap_line_totals(std::unique_ptr<LineTotals> totals);

// The totals a capsule from wrap_line_totals() holds; null with TypeError set for anything else.
const LineTotals* unwrap_line_totals(PyObject* capsule);

}  // namespace kulvo::py
