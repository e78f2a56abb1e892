#include "stack_reader_check.hpp"

#include <dlfcn.h>

#include <charconv>
#include <string_view>
#include <vector>

#include "debug_offsets.hpp"
#include "pyref.hpp"
#include "stack_capture.hpp"

namespace kulvo::py {

// "3.13.0 (main, ...": major, a dot, minor.
std::optional<InterpreterVersion> running_interpreter_version() {
    const std::string_view text(Py_GetVersion());
    InterpreterVersion version;
    const char* end = text.data() + text.size();
    const auto [dot, major_error] = std::from_chars(text.data(), end, version.major);
    if (major_error != std::errc() || dot == end || *dot != '.') {
        return std::nullopt;
    }
    const auto [after, minor_error] = std::from_chars(dot + 1, end, version.minor);
    if (minor_error != std::errc()) {
        return std::nullopt;
    }
    return version;
}

namespace {

std::optional<ReadableTypes> readable_types() {
    const Ref code = Ref::steal(Py_CompileString("0", "<kulvo>", Py_eval_input));
    if (!code) {
        PyErr_Clear();
        return std::nullopt;
    }
    ReadableTypes types;
    types.code = reinterpret_cast<std::uintptr_t>(Py_TYPE(code.get()));
    types.str = reinterpret_cast<std::uintptr_t>(&PyUnicode_Type);
    types.bytes = reinterpret_cast<std::uintptr_t>(&PyBytes_Type);
    return types;
}

bool same_frames(const std::vector<FrameInfo>& read, const std::vector<FrameInfo>& told) {
    if (read.size() != told.size()) {
        return false;
    }
    for (std::size_t i = 0; i < read.size(); ++i) {
        if (read[i].file != told[i].file || read[i].function != told[i].function || read[i].line != told[i].line) {
            return false;
        }
    }
    return true;
}

// The interpreter's published layout (3.13+), as it lies at the start of _PyRuntime.
const std::uint8_t* published_runtime() {
    return static_cast<const std::uint8_t*>(dlsym(RTLD_DEFAULT, "_PyRuntime"));
}

std::uint64_t running_hexversion() {
    PyObject* hexversion = PySys_GetObject("hexversion");  // borrowed
    const unsigned long value = hexversion != nullptr ? PyLong_AsUnsignedLong(hexversion) : 0;
    if (PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        return 0;
    }
    return value;
}

}  // namespace

StackReaderCheck check_stack_reader() {
    const std::optional<InterpreterVersion> version = running_interpreter_version();
    if (!version) {
        return {std::nullopt, "the interpreter's version is unreadable"};
    }
    const std::string named = "CPython " + std::to_string(version->major) + "." + std::to_string(version->minor);
    std::optional<InterpreterLayout> layout = interpreter_layout(version->major, version->minor);
    if (!layout || !MemoryStackReader::fits(*layout)) {
        return {std::nullopt, "kulvo knows no memory layout for " + named};
    }
    if (const std::optional<std::string> mismatch =
            debug_offsets_mismatch(*layout, version->minor, running_hexversion(), published_runtime())) {
        return {std::nullopt, named + ": " + *mismatch};
    }
    std::optional<ReadableTypes> types = readable_types();
    auto* frame = reinterpret_cast<PyObject*>(PyEval_GetFrame());
    if (!types || frame == nullptr) {
        return {std::nullopt, "no Python frame to check the layout against"};
    }
    StackReaderPlace place{*layout, *types, reinterpret_cast<std::uintptr_t>(PyThreadState_Get())};
    MemoryStackReader reader(place);
    const std::vector<FrameInfo> told = walk_frame_chain(frame);
    if (told.empty() || !same_frames(reader.read_frames(), told)) {
        return {std::nullopt, "a stack read from memory differed from the interpreter's own on " + named};
    }
    // Copies on the thread itself read its stack chunks directly where the chunks, looked for
    // here with system calls, hold its innermost frame.
    if (place.layout.thread_stack_chunk) {
        MemoryStackReader own(place);
        own.look_for_own_chunks();
        place.own_chunks = same_frames(own.read_frames(), told) && own.innermost_in_own_chunk();
    }
    return {place, {}};
}

namespace {

PyObject* stacks_readable(PyObject* /*module*/, PyObject* /*unused*/) {
    return PyBool_FromLong(check_stack_reader().place ? 1 : 0);
}

PyObject* stacks_unreadable_why(PyObject* /*module*/, PyObject* /*unused*/) {
    const StackReaderCheck check = check_stack_reader();
    if (check.place) {
        return Py_NewRef(Py_None);
    }
    return PyUnicode_FromStringAndSize(check.why_not.data(), static_cast<Py_ssize_t>(check.why_not.size()));
}

PyMethodDef stacks_readable_def = {
    "stacks_readable", stacks_readable, METH_NOARGS,
    "stacks_readable()\n--\n\nWhether the calling thread's stack can be read from memory: this interpreter's\n"
    "layout is known and a read of the caller's own stack matches the interpreter's frames."};

PyMethodDef stacks_unreadable_why_def = {
    "stacks_unreadable_why", stacks_unreadable_why, METH_NOARGS,
    "stacks_unreadable_why()\n--\n\nNone when stacks_readable() is true, else why the calling thread's stack cannot\n"
    "be read from memory."};

}  // namespace

PyObject* stacks_readable_function() {
    return PyCFunction_NewEx(&stacks_readable_def, nullptr, nullptr);
}

PyObject* stacks_unreadable_why_function() {
    return PyCFunction_NewEx(&stacks_unreadable_why_def, nullptr, nullptr);
}

}  // namespace kulvo::py
