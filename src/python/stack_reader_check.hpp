// Whether the main thread's stack can be read from memory on this interpreter: its
// layout is known, and a read of the calling thread's own stack gives what the
// interpreter itself says, frame by frame.
#pragma once

#include <optional>

#include "memory_stack_reader.hpp"
#include "pyref.hpp"

namespace kulvo::py {

struct InterpreterVersion {
    unsigned major = 0;
    unsigned minor = 0;
};

// The running interpreter's version, from Py_GetVersion.
std::optional<InterpreterVersion> running_interpreter_version();

// GIL held, on the thread to be read. None when the layout is unknown or the read of the
// caller's stack differs from the interpreter's answer (a debug build, a patched layout).
std::optional<StackReaderPlace> checked_stack_reader_place();

// kulvo._native.stacks_readable(): that check, on the calling thread.
PyObject* stacks_readable_function();

}  // namespace kulvo::py
