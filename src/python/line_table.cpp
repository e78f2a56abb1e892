#include "line_table.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace kulvo::py {

namespace {

constexpr std::int32_t kCodeUnitBytes = 2;
constexpr std::int8_t kNoLineDelta = -128;  // 3.10: a range without a line

// A line moved by a delta read from the table. A table read while it was freed can hold any
// bytes: the sum wraps as the interpreter's own arithmetic would, rather than overflow.
std::int32_t moved_line(std::int32_t line, std::int32_t delta) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(line) + static_cast<std::uint32_t>(delta));
}

// 3.10 (Objects/lnotab_notes.txt of that version): each pair advances the bytecode offset
// by an unsigned byte and the line by a signed one, -128 meaning "no line here".
std::vector<LineRange> decode_start_line_pairs(std::span<const std::uint8_t> table, std::int32_t first_line) {
    std::vector<LineRange> ranges;
    ranges.reserve(table.size() / 2);
    std::int32_t offset = 0;
    std::int32_t line = first_line;
    for (std::size_t i = 0; i + 1 < table.size(); i += 2) {
        const std::int32_t end = offset + table[i];
        const auto delta = static_cast<std::int8_t>(table[i + 1]);
        std::int32_t range_line = -1;
        if (delta != kNoLineDelta) {
            line = moved_line(line, delta);
            range_line = line;
        }
        if (end > offset) {
            ranges.push_back(LineRange{offset, end, range_line});
        }
        offset = end;
    }
    return ranges;
}

// 3.11+ (Objects/locations.md): an entry starts with a byte 1CCCCLLL: code C, length L+1
// code units. Codes 0-9 keep the line (one byte of columns follows), 10-12 add C-10 (two
// bytes of columns), 13 adds a signed varint, 14 the same followed by three varints, and
// 15 has no location.
class LocationReader {
public:
    explicit LocationReader(std::span<const std::uint8_t> table) : table_(table) {}

    bool at_end() const { return position_ >= table_.size(); }
    std::uint8_t next_byte() { return at_end() ? 0 : table_[position_++]; }
    void skip(std::size_t bytes) { position_ = std::min(table_.size(), position_ + bytes); }
    bool at_entry_start() const { return !at_end() && (table_[position_] & 0x80U) != 0; }

    std::uint32_t varint() {
        std::uint32_t value = 0;
        unsigned shift = 0;
        for (;;) {
            const std::uint8_t byte = next_byte();
            value |= static_cast<std::uint32_t>(byte & 0x3FU) << shift;
            shift += 6;
            if ((byte & 0x40U) == 0 || at_end() || shift > 30) {
                return value;
            }
        }
    }

    std::int32_t signed_varint() {
        const std::uint32_t value = varint();
        const auto magnitude = static_cast<std::int32_t>(value >> 1U);
        return (value & 1U) != 0 ? -magnitude : magnitude;
    }

private:
    std::span<const std::uint8_t> table_;
    std::size_t position_ = 0;
};

std::vector<LineRange> decode_locations(std::span<const std::uint8_t> table, std::int32_t first_line) {
    constexpr unsigned kNoLocation = 15;
    constexpr unsigned kLongForm = 14;
    constexpr unsigned kNoColumns = 13;
    constexpr unsigned kOneLineFirst = 10;
    std::vector<LineRange> ranges;
    LocationReader reader(table);
    std::int32_t offset = 0;
    std::int32_t line = first_line;
    while (reader.at_entry_start()) {
        const std::uint8_t first = reader.next_byte();
        const unsigned code = (first >> 3U) & 0x0FU;
        const std::int32_t end = offset + (static_cast<std::int32_t>(first & 0x07U) + 1) * kCodeUnitBytes;
        std::int32_t range_line = -1;
        if (code == kNoLocation) {
            range_line = -1;
        } else if (code == kLongForm) {
            line = moved_line(line, reader.signed_varint());
            range_line = line;
            reader.varint();  // end line
            reader.varint();  // start column
            reader.varint();  // end column
        } else if (code == kNoColumns) {
            line = moved_line(line, reader.signed_varint());
            range_line = line;
        } else if (code >= kOneLineFirst) {
            line = moved_line(line, static_cast<std::int32_t>(code - kOneLineFirst));
            range_line = line;
            reader.skip(2);
        } else {
            range_line = line;
            reader.skip(1);
        }
        ranges.push_back(LineRange{offset, end, range_line});
        offset = end;
    }
    return ranges;
}

}  // namespace

std::vector<LineRange> decode_line_table(LineTableFormat format, std::span<const std::uint8_t> table,
                                         std::int32_t first_line) {
    return format == LineTableFormat::StartLinePairs ? decode_start_line_pairs(table, first_line)
                                                     : decode_locations(table, first_line);
}

std::int32_t line_at(std::span<const LineRange> ranges, std::int32_t byte_offset, std::int32_t first_line) {
    if (byte_offset < 0) {
        return first_line;
    }
    const auto after =
        std::upper_bound(ranges.begin(), ranges.end(), byte_offset,
                         [](std::int32_t offset, const LineRange& range) { return offset < range.start_byte; });
    if (after == ranges.begin()) {
        return -1;
    }
    const LineRange& range = *(after - 1);
    if (byte_offset >= range.end_byte) {
        return -1;
    }
    // An instruction the compiler gave no line (the set-up of an exception handler, a
    // `finally` block's copy): the line of the nearest instruction before it that has one,
    // where the interpreter was last seen, as a profile shows it.
    const auto located = std::find_if(std::make_reverse_iterator(after), ranges.rend(),
                                      [](const LineRange& candidate) { return candidate.line >= 0; });
    return located != ranges.rend() ? located->line : first_line;
}

}  // namespace kulvo::py
