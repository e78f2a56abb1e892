#include "interpreter_layout.hpp"

namespace kulvo::py {

namespace {

// Shared by every version here (x86-64 and other LP64 targets): the object header, str's
// length and state, and bytes.
InterpreterLayout common_layout() {
    InterpreterLayout layout;
    layout.code_units = 16;
    layout.unicode_length = 16;
    layout.unicode_state = 32;
    layout.bytes_size = 16;
    layout.bytes_data = 32;
    return layout;
}

InterpreterLayout layout_3_10() {
    InterpreterLayout layout = common_layout();
    layout.thread_frame = 24;
    layout.thread_handle = 176;
    layout.frames_are_objects = true;
    layout.frame_size = 104;
    layout.frame_previous = 24;
    layout.frame_code = 32;
    layout.frame_instruction = 96;
    layout.code_header_size = 128;
    layout.code_filename = 104;
    layout.code_name = 112;
    layout.code_first_line = 40;
    layout.code_line_table = 120;
    layout.line_table_format = LineTableFormat::StartLinePairs;
    layout.ascii_header_size = 48;
    layout.compact_header_size = 72;
    return layout;
}

InterpreterLayout layout_3_11() {
    InterpreterLayout layout = common_layout();
    layout.thread_frame = 8;  // _PyCFrame.current_frame
    layout.thread_c_frame = 56;
    layout.thread_stack_chunk = 296;
    layout.thread_handle = 152;
    layout.thread_native_id = 160;
    layout.frame_size = 80;
    layout.frame_previous = 48;
    layout.frame_code = 32;
    layout.frame_instruction = 56;
    layout.frame_owner = 69;
    layout.owner_generator = 1;
    layout.code_header_size = 176;
    layout.code_filename = 112;
    layout.code_name = 120;
    layout.code_first_line = 72;
    layout.code_line_table = 136;
    layout.code_bytecode = 184;
    layout.code_first_traceable = 168;
    layout.ascii_header_size = 48;
    layout.compact_header_size = 72;
    return layout;
}

InterpreterLayout layout_3_12() {
    InterpreterLayout layout = common_layout();
    layout.thread_frame = 0;  // _PyCFrame.current_frame
    layout.thread_c_frame = 56;
    layout.thread_stack_chunk = 232;
    layout.thread_handle = 136;
    layout.thread_native_id = 144;
    layout.frame_size = 80;
    layout.frame_previous = 8;
    layout.frame_code = 0;
    layout.frame_instruction = 56;
    layout.frame_owner = 70;
    layout.owner_not_python_from = 3;
    layout.owner_generator = 1;
    layout.code_header_size = 184;
    layout.code_filename = 112;
    layout.code_name = 120;
    layout.code_first_line = 68;
    layout.code_line_table = 136;
    layout.code_bytecode = 192;
    layout.code_first_traceable = 176;
    layout.code_version = 92;
    layout.ascii_header_size = 40;
    layout.compact_header_size = 56;
    return layout;
}

InterpreterLayout layout_3_13() {
    InterpreterLayout layout = layout_3_12();
    layout.thread_frame = 72;
    layout.thread_c_frame.reset();
    layout.thread_handle = 152;
    layout.thread_native_id = 160;
    layout.code_bytecode = 200;
    layout.code_first_traceable = 184;
    layout.code_header_size = 192;
    return layout;
}

// 3.14 and 3.15 alike: a longer frame with the owner after a return offset, a tagged code
// reference, a longer code header. From 3.14 the interpreter's own entry frames (owner 3)
// come before the C stack's (3.14: 4; 3.15 has none).
InterpreterLayout layout_3_14() {
    InterpreterLayout layout = layout_3_13();
    layout.frame_size = 88;
    layout.frame_owner = 74;
    layout.frame_code_tag_bits = 3;
    layout.code_bytecode = 208;
    layout.code_first_traceable = 192;
    layout.code_header_size = 200;
    return layout;
}

}  // namespace

std::optional<InterpreterLayout> interpreter_layout(unsigned major, unsigned minor) {
    // The layouts are those of 64-bit builds.
    if (sizeof(void*) != 8 || major != 3) {
        return std::nullopt;
    }
    switch (minor) {
        case 10:
            return layout_3_10();
        case 11:
            return layout_3_11();
        case 12:
            return layout_3_12();
        case 13:
            return layout_3_13();
        case 14:
            return layout_3_14();
        case 15: {
            InterpreterLayout layout = layout_3_14();
            layout.thread_stack_chunk = 256;
            layout.thread_handle = 176;
            layout.thread_native_id = 184;
            return layout;
        }
        default:
            return std::nullopt;
    }
}

std::int64_t bytecode_offset(const InterpreterLayout& layout, std::uintptr_t code_address, std::uintptr_t instruction) {
    constexpr std::int64_t kCodeUnitBytes = 2;
    if (layout.frames_are_objects) {
        const auto last_instruction = static_cast<std::int32_t>(instruction);
        return last_instruction < 0 ? -1 : std::int64_t{last_instruction} * kCodeUnitBytes;
    }
    if (!layout.code_bytecode || instruction < code_address + *layout.code_bytecode) {
        return -1;
    }
    return static_cast<std::int64_t>(instruction - code_address - *layout.code_bytecode);
}

bool before_first_traceable(const InterpreterLayout& layout, std::uintptr_t code_address, std::uintptr_t instruction,
                            std::int32_t first_traceable) {
    constexpr std::uintptr_t kCodeUnitBytes = 2;
    if (!layout.code_first_traceable || !layout.code_bytecode || first_traceable <= 0) {
        return false;
    }
    return instruction <
           code_address + *layout.code_bytecode + static_cast<std::uintptr_t>(first_traceable) * kCodeUnitBytes;
}

}  // namespace kulvo::py
