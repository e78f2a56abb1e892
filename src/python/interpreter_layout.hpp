// Where CPython keeps a thread's frames, their code and a code object's names and line
// table, per minor version: what the stack reader needs to read a running thread's stack
// from memory, as out-of-process profilers do. The figures come from each version's own
// headers (scripts/interpreter_layout.c prints them); a reader checks them against the
// interpreter's own answers before it is used, and versions not listed here are not read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kulvo::py {

enum class LineTableFormat {
    StartLinePairs,  // 3.10: (bytecode advance, line advance) byte pairs
    Locations,       // 3.11+: the location table
};

struct InterpreterLayout {
    // PyThreadState: the innermost frame, directly or (3.11, 3.12) through the C frame.
    std::size_t thread_frame = 0;
    std::optional<std::size_t> thread_c_frame;  // offset of the C frame pointer, when there is one
    // 3.11+: the newest chunk of the thread's frame stack (_PyStackChunk: previous, size in
    // bytes, top, then the frames), where every frame but a generator's or an entry shim's lies.
    std::optional<std::size_t> thread_stack_chunk;

    // PyThreadState's place in the interpreter's list of threads, and the thread's POSIX
    // handle (an unsigned long) and, 3.11+, kernel id.
    std::size_t thread_previous = 0;
    std::size_t thread_next = 8;
    std::size_t thread_handle = 0;
    std::optional<std::size_t> thread_native_id;

    // The frame: PyFrameObject before 3.11, _PyInterpreterFrame from 3.11.
    bool frames_are_objects = false;
    std::size_t frame_size = 0;  // bytes read per frame, every field below included
    std::size_t frame_previous = 0;
    std::size_t frame_code = 0;
    // 3.14+: the code is a tagged reference whose low bits are not part of the address.
    std::uintptr_t frame_code_tag_bits = 0;
    std::size_t frame_instruction = 0;       // 3.10: f_lasti (int, in code units); else a pointer
    std::optional<std::size_t> frame_owner;  // one byte
    // 3.12+: owners from this value on (the C stack's, the interpreter's entry frames) own
    // frames that are not Python code's, and that the interpreter's own walk leaves out.
    std::optional<unsigned char> owner_not_python_from;
    std::optional<unsigned char> owner_generator;

    // PyCodeObject.
    std::size_t code_header_size = 0;  // bytes read per code object, every field below included
    std::size_t code_units = 0;        // ob_size: the bytecode's length in code units (3.11+)
    std::size_t code_filename = 0;
    std::size_t code_name = 0;
    std::size_t code_first_line = 0;  // int
    std::size_t code_line_table = 0;
    std::optional<std::size_t> code_bytecode;  // 3.11+: the bytecode, inline in the code object
    // 3.11+ (int): the first instruction a frame is complete at. A frame that has not reached
    // it (just entered, or the interpreter's shim for a class's __init__) is left out of
    // every stack the interpreter shows, unless a generator owns it.
    std::optional<std::size_t> code_first_traceable;
    // 3.12+ (uint32): a number each new code object takes from a counter (0 once it has run
    // out), so that one made where another was freed is told apart from it.
    std::optional<std::size_t> code_version;
    LineTableFormat line_table_format = LineTableFormat::Locations;

    // str and bytes.
    std::size_t unicode_length = 0;
    std::size_t unicode_state = 0;
    std::size_t ascii_header_size = 0;    // sizeof(PyASCIIObject): ASCII text follows
    std::size_t compact_header_size = 0;  // sizeof(PyCompactUnicodeObject): other text follows
    std::size_t bytes_size = 0;
    std::size_t bytes_data = 0;
};

// The layout for CPython 3.`minor` on this platform, if it is known.
std::optional<InterpreterLayout> interpreter_layout(unsigned major, unsigned minor);

// Where a frame stands in its code, as `frame_instruction` holds it (3.10: f_lasti, in code
// units; later, a pointer into the code object's bytecode): a byte offset into the bytecode,
// or -1 before its start (a frame made but not started).
std::int64_t bytecode_offset(const InterpreterLayout& layout, std::uintptr_t code_address, std::uintptr_t instruction);

// 3.11+: whether a frame at `instruction` has not reached its code's first traceable
// instruction (`first_traceable`, in code units), so that the interpreter's own walk leaves it
// out (unless a generator owns it). Always false where the layout has no such place.
bool before_first_traceable(const InterpreterLayout& layout, std::uintptr_t code_address, std::uintptr_t instruction,
                            std::int32_t first_traceable);

}  // namespace kulvo::py
