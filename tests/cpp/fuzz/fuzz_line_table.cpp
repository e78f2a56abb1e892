// Line tables as they may be read from memory that is being freed: any bytes, decoded in
// both formats, must give ordered ranges and lines that line_at answers without fault
// (AddressSanitizer and UBSan watch the arithmetic).
//
// Input layout (see make_seeds.py): one byte, even for 3.10's pairs and odd for the
// location table; the first line as a little-endian 32-bit integer; the table.
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_input.hpp"
#include "line_table.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using kulvo::py::LineRange;
    kulvo::fuzz::Reader input(data, size);
    const auto format =
        (input.u8() & 1U) != 0 ? kulvo::py::LineTableFormat::Locations : kulvo::py::LineTableFormat::StartLinePairs;
    const auto first_line = static_cast<std::int32_t>(input.little_endian<std::uint32_t>());
    constexpr std::size_t kHeaderBytes = 5;
    const std::span<const std::uint8_t> table =
        size > kHeaderBytes ? std::span(data + kHeaderBytes, size - kHeaderBytes) : std::span<const std::uint8_t>();

    const std::vector<LineRange> ranges = kulvo::py::decode_line_table(format, table, first_line);
    std::int32_t previous_end = 0;
    for (const LineRange& range : ranges) {
        KULVO_FUZZ_CHECK(range.start_byte >= previous_end);
        KULVO_FUZZ_CHECK(range.end_byte > range.start_byte);
        const std::int32_t line = kulvo::py::line_at(ranges, range.start_byte, first_line);
        KULVO_FUZZ_CHECK(range.line < 0 ? line != -1 || first_line == -1 : line == range.line);
        KULVO_FUZZ_CHECK(kulvo::py::line_at(ranges, range.end_byte - 1, first_line) == line);
        previous_end = range.end_byte;
    }
    KULVO_FUZZ_CHECK(kulvo::py::line_at(ranges, -1, first_line) == first_line);
    KULVO_FUZZ_CHECK(kulvo::py::line_at(ranges, previous_end, first_line) == -1);
    return 0;
}
