#include "stack_reader_check.hpp"

#include <charconv>
#include <string_view>
#include <vector>

#include "pyref.hpp"
#include "stack_capture.hpp"

namespace kulvo::py {

namespace {}  // namespace

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

}  // namespace

std::optional<StackReaderPlace> checked_stack_reader_place() {
    const std::optional<InterpreterVersion> version = running_interpreter_version();
    if (!version) {
        return std::nullopt;
    }
    std::optional<InterpreterLayout> layout = interpreter_layout(version->major, version->minor);
    std::optional<ReadableTypes> types = readable_types();
    auto* frame = reinterpret_cast<PyObject*>(PyEval_GetFrame());
    if (!layout || !MemoryStackReader::fits(*layout) || !types || frame == nullptr) {
        return std::nullopt;
    }
    StackReaderPlace place{*layout, *types, reinterpret_cast<std::uintptr_t>(PyThreadState_Get())};
    MemoryStackReader reader(place);
    const std::vector<FrameInfo> told = walk_frame_chain(frame);
    if (told.empty() || !same_frames(reader.read_frames(), told)) {
        return std::nullopt;
    }
    return place;
}

namespace {

PyObject* stacks_readable(PyObject* /*module*/, PyObject* /*unused*/) {
    return PyBool_FromLong(checked_stack_reader_place() ? 1 : 0);
}

PyMethodDef stacks_readable_def = {
    "stacks_readable", stacks_readable, METH_NOARGS,
    "stacks_readable()\n--\n\nWhether the calling thread's stack can be read from memory: this interpreter's\n"
    "layout is known and a read of the caller's own stack matches the interpreter's frames."};

}  // namespace

PyObject* stacks_readable_function() {
    return PyCFunction_NewEx(&stacks_readable_def, nullptr, nullptr);
}

}  // namespace kulvo::py
