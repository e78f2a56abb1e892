#include "stack_to_py.hpp"

#include <utility>

#include "py_errors.hpp"
#include "py_result.hpp"

namespace kulvo::py {

Ref stack_to_py(std::span<const FrameInfo> frames) {
    Ref list = checked_new(PyList_New(0));
    if (!list) {
        return {};
    }
    for (const FrameInfo& frame : frames) {
        Ref dict = checked_new(PyDict_New());
        if (!dict) {
            return {};
        }
        if (!set_item(dict.get(), "file", new_str(frame.file)) ||
            !set_item(dict.get(), "function", new_str(frame.function)) ||
            !set_item(dict.get(), "line", checked_new(PyLong_FromLong(frame.line)))) {
            return {};
        }
        if (!append(list.get(), std::move(dict))) {
            return {};
        }
    }
    return list;
}

}  // namespace kulvo::py
