// From 3.13 the interpreter publishes where its own fields are, for debuggers and profilers
// that read it from outside: _Py_DebugOffsets, the first member of _PyRuntime. A layout
// kulvo holds for the version is checked against it at start, so that a build or a patch
// release that moved a field is caught before a stack is read through it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "interpreter_layout.hpp"

namespace kulvo::py {

// What in `layout` differs from the offsets published at `runtime` (the start of
// _PyRuntime) of an interpreter whose sys.hexversion is `hexversion`, named for a note;
// nullopt when they agree. Versions before 3.13 publish none: nothing to differ.
std::optional<std::string> debug_offsets_mismatch(const InterpreterLayout& layout, unsigned minor,
                                                  std::uint64_t hexversion, const std::uint8_t* runtime);

}  // namespace kulvo::py
