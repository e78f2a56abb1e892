// Whether the main thread's stack can be read from memory on this interpreter: its
// layout is known, and a read of the calling thread's own stack gives what the
// interpreter itself says, frame by frame.
#pragma once

#include <optional>
#include <string>

#include "memory_stack_reader.hpp"
#include "pyref.hpp"

namespace kulvo::py {

struct InterpreterVersion {
    unsigned major = 0;
    unsigned minor = 0;
};

// The running interpreter's version, from Py_GetVersion.
std::optional<InterpreterVersion> running_interpreter_version();

// Whether the calling thread's stack can be read from memory, and where not, why (for the
// profile's note).
struct StackReaderCheck {
    std::optional<StackReaderPlace> place;
    std::string why_not;
};

// GIL held, on the thread to be read. No place when the layout is unknown, differs from the
// one the interpreter publishes, or a read of the caller's stack differs from the
// interpreter's answer (a debug build, a patched layout).
StackReaderCheck check_stack_reader();

// kulvo._native.stacks_readable() and stacks_unreadable_why(): that check, on the calling
// thread.
PyObject* stacks_readable_function();
PyObject* stacks_unreadable_why_function();

}  // namespace kulvo::py
