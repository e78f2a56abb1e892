// A code object's line table decoded into bytecode ranges and their lines, in the two
// formats of the supported interpreters. The same answers as PyCode_Addr2Line, for a
// table read from memory.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "interpreter_layout.hpp"

namespace kulvo::py {

struct LineRange {
    std::int32_t start_byte = 0;  // bytecode offsets, end excluded
    std::int32_t end_byte = 0;
    std::int32_t line = -1;  // -1: no line (compiler-made code)
};

// Ranges in bytecode order; a table that ends early yields the ranges before its end.
std::vector<LineRange> decode_line_table(LineTableFormat format, std::span<const std::uint8_t> table,
                                         std::int32_t first_line);

// The line of the instruction at `byte_offset`: the first line for an offset before the
// code (a frame not started yet), the nearest line before it for an instruction without one,
// -1 for an offset outside every range.
std::int32_t line_at(std::span<const LineRange> ranges, std::int32_t byte_offset, std::int32_t first_line);

}  // namespace kulvo::py
