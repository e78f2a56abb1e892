#include "debug_offsets.hpp"

#include <cstring>
#include <string_view>
#include <vector>

namespace kulvo::py {

namespace {

constexpr std::string_view kCookie = "xdebugpy";
constexpr std::size_t kVersionIndex = 1;
constexpr std::size_t kFreeThreadedIndex = 2;
constexpr std::uint64_t kObjectTypeOffset = 8;

// Where, counted in 64-bit words from the start of _Py_DebugOffsets, each field the reader
// relies on is published (from each version's internal/pycore_debug_offsets.h; 3.13:
// pycore_runtime.h). The struct grows between versions, so the places move.
struct PublishedPlaces {
    std::size_t thread_next;
    std::size_t thread_current_frame;
    std::size_t thread_handle;
    std::size_t thread_native_id;
    std::size_t frame_size;
    std::size_t frame_previous;
    std::size_t frame_executable;
    std::size_t frame_instruction;
    std::size_t frame_owner;
    std::size_t code_filename;
    std::size_t code_name;
    std::size_t code_line_table;
    std::size_t code_first_line;
    std::size_t code_bytecode;
    std::size_t object_type;
    std::size_t bytes_size;
    std::size_t bytes_data;
    std::size_t unicode_state;
    std::size_t unicode_length;
    std::size_t ascii_header_size;
    std::optional<std::size_t> compact_header_size;  // 3.15+
};

std::optional<PublishedPlaces> published_places(unsigned minor) {
    switch (minor) {
        case 13:
            return PublishedPlaces{21, 23, 24, 25, 28, 29, 30, 31, 33, 35,          36,
                                   38, 39, 43, 45, 65, 66, 68, 69, 70, std::nullopt};
        case 14:
            return PublishedPlaces{24, 26, 27, 28, 31, 32, 33, 34, 36, 40,          41,
                                   43, 44, 48, 51, 75, 76, 78, 79, 80, std::nullopt};
        case 15:
            return PublishedPlaces{24, 26, 30, 31, 39, 40, 41, 42, 44, 48, 49, 51, 52, 56, 59, 87, 88, 90, 91, 92, 93};
        default:
            return std::nullopt;
    }
}

std::uint64_t word_at(const std::uint8_t* runtime, std::size_t index) {
    std::uint64_t value = 0;
    std::memcpy(&value, runtime + index * sizeof(value), sizeof(value));
    return value;
}

}  // namespace

std::optional<std::string> debug_offsets_mismatch(const InterpreterLayout& layout, unsigned minor,
                                                  std::uint64_t hexversion, const std::uint8_t* runtime) {
    const std::optional<PublishedPlaces> places = published_places(minor);
    if (!places) {
        return std::nullopt;
    }
    if (runtime == nullptr) {
        return "the interpreter does not publish its layout (_PyRuntime not found)";
    }
    if (std::memcmp(runtime, kCookie.data(), kCookie.size()) != 0 || word_at(runtime, kVersionIndex) != hexversion) {
        return "the interpreter's published layout is not of this version";
    }
    if (word_at(runtime, kFreeThreadedIndex) != 0) {
        return "a free-threaded build";
    }
    // Every field the reader uses, where the interpreter says it is and where kulvo reads it.
    struct Field {
        std::string_view name;
        std::size_t published_at;
        std::uint64_t read_at;
    };
    std::vector<Field> fields{
        {"PyThreadState.next", places->thread_next, layout.thread_next},
        {"PyThreadState.current_frame", places->thread_current_frame, layout.thread_frame},
        {"PyThreadState.thread_id", places->thread_handle, layout.thread_handle},
        {"PyThreadState.native_thread_id", places->thread_native_id, layout.thread_native_id.value_or(0)},
        {"sizeof(_PyInterpreterFrame)", places->frame_size, layout.frame_size},
        {"_PyInterpreterFrame.previous", places->frame_previous, layout.frame_previous},
        {"_PyInterpreterFrame.f_executable", places->frame_executable, layout.frame_code},
        {"_PyInterpreterFrame.instr_ptr", places->frame_instruction, layout.frame_instruction},
        {"_PyInterpreterFrame.owner", places->frame_owner, layout.frame_owner.value_or(0)},
        {"PyCodeObject.co_filename", places->code_filename, layout.code_filename},
        {"PyCodeObject.co_name", places->code_name, layout.code_name},
        {"PyCodeObject.co_linetable", places->code_line_table, layout.code_line_table},
        {"PyCodeObject.co_firstlineno", places->code_first_line, layout.code_first_line},
        {"PyCodeObject.co_code_adaptive", places->code_bytecode, layout.code_bytecode.value_or(0)},
        {"PyObject.ob_type", places->object_type, kObjectTypeOffset},
        {"PyBytesObject.ob_size", places->bytes_size, layout.bytes_size},
        {"PyBytesObject.ob_sval", places->bytes_data, layout.bytes_data},
        {"PyASCIIObject.state", places->unicode_state, layout.unicode_state},
        {"PyASCIIObject.length", places->unicode_length, layout.unicode_length},
        {"sizeof(PyASCIIObject)", places->ascii_header_size, layout.ascii_header_size},
    };
    if (places->compact_header_size) {
        fields.push_back({"sizeof(PyCompactUnicodeObject)", *places->compact_header_size, layout.compact_header_size});
    }
    for (const Field& field : fields) {
        const std::uint64_t published = word_at(runtime, field.published_at);
        if (published != field.read_at) {
            return std::string(field.name) + " is " + std::to_string(published) + " in this interpreter, " +
                   std::to_string(field.read_at) + " in kulvo's layout";
        }
    }
    return std::nullopt;
}

}  // namespace kulvo::py
