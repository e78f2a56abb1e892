#include "memory_stack_reader.hpp"

#include <sys/uio.h>

#include <algorithm>
#include <cstring>
#include <span>
#include <utility>

namespace kulvo::py {

namespace {

constexpr std::size_t kMaxDepth = 20000;  // deeper stacks keep their innermost frames
// Code objects whose names and lines are kept between reads (a few hundred bytes each): more
// than a program's busy code, few enough that kulvo's own memory stays small.
constexpr std::size_t kMaxCodes = 8192;
constexpr std::int64_t kMaxTextChars = 4096;  // longer names and paths are cut
constexpr std::int64_t kMaxLineTableBytes = 1 << 20;
constexpr int kReadAttempts = 3;
constexpr int kChangedAttempts = 16;  // walks of a running thread, each some microseconds
constexpr int kMaxGrowths = 16;       // doublings of the scratch within one read
// Frames followed in one walk, shim frames included: a cycle read from changing memory ends.
constexpr std::size_t kMaxSteps = 2 * kMaxDepth + 64;
// Scratch to start with; it doubles, outside any hold, when a stack needs more.
constexpr std::size_t kInitialFrames = 256;
constexpr std::size_t kInitialCodes = 64;
constexpr std::size_t kReferenceCountOffset = 0;
constexpr std::size_t kObjectTypeOffset = 8;  // ob_type, after the reference count
constexpr std::size_t kMaxLinesPerCode = 64;  // frame ids remembered per code object
constexpr std::int64_t kCodeUnitBytes = 2;
constexpr std::uint32_t kMaxCodePoint = 0x10FFFF;
// Calls a running thread may have made on from a walk's innermost frame by the time the walk
// is checked: a few microseconds' worth.
constexpr std::size_t kMaxCallsSinceWalk = 64;

template <typename T>
T load(std::span<const std::uint8_t> bytes, std::size_t offset) {
    T value{};
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

void append_utf8(std::string& out, std::uint32_t code_point) {
    if (code_point >= 0xD800 && code_point <= 0xDFFF) {
        out.push_back('?');  // a lone surrogate, as the "replace" error handler writes it
    } else if (code_point < 0x80) {
        out.push_back(static_cast<char>(code_point));
    } else if (code_point < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else if (code_point < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    }
}

// Text up to its first NUL, as the interpreter's own capture keeps it.
std::string cut_at_nul(std::string text) {
    const std::size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        text.resize(nul);
    }
    return text;
}

// Whether an object whose reference count was `copied` is still alive now. A live object
// from the heap counts its references in the low 32 bits, the rest zero; an immortal one's
// count never changes. The allocators link a freed block into their free lists through its
// first word, where the count was: a pointer, or zero.
bool still_alive(std::uint64_t now, std::uint64_t copied) {
    constexpr std::uint64_t kLiveCountLimit = std::uint64_t{1} << 32U;
    return now != 0 && (now < kLiveCountLimit || now == copied);
}

// A cycle read from frames that changed under a walk ends at once: the walk remembers a frame
// at each power of two steps and stops when it meets it again (Brent's method).
class CycleGuard {
public:
    bool meets_again(std::uintptr_t frame) {
        if (frame == remembered_) {
            return true;
        }
        if (++since_remembered_ == remember_every_) {
            remembered_ = frame;
            since_remembered_ = 0;
            remember_every_ *= 2;
        }
        return false;
    }

private:
    std::uintptr_t remembered_ = 0;
    std::size_t since_remembered_ = 0;
    std::size_t remember_every_ = 1;
};

}  // namespace

MemoryStackReader::MemoryStackReader(const StackReaderPlace& place)
    : layout_(place.layout),
      types_(place.types),
      thread_state_(place.thread_state),
      pages_(std::make_unique<std::array<Page, kCachedPages>>()),
      raw_slots_(kInitialFrames),
      link_slots_(kInitialFrames),
      unique_codes_(kInitialCodes),
      code_slots_(kInitialCodes * 2),
      reads_(kInitialCodes),
      place_own_chunks_(place.own_chunks),
      fields_(frame_fields(place.layout)) {
    unique_codes_.clear();
    reads_.clear();
}

MemoryStackReader::Page* MemoryStackReader::find_page(std::uintptr_t base) {
    // The next frame is most often on the page of the last one, or the page below.
    for (const std::size_t near : {last_page_, (last_page_ + 1) % kCachedPages}) {
        Page& candidate = (*pages_)[near];
        if (candidate.valid && candidate.base == base) {
            last_page_ = near;
            return &candidate;
        }
    }
    for (std::size_t i = 0; i < kCachedPages; ++i) {
        Page& candidate = (*pages_)[i];
        if (candidate.valid && candidate.base == base) {
            last_page_ = i;
            return &candidate;
        }
    }
    return nullptr;
}

MemoryStackReader::Page* MemoryStackReader::fill_pages(std::uintptr_t base) {
    // Where the next frames lie. From 3.11 the interpreter keeps frames in chunks of 16 KiB,
    // each mapped below the last: a walk goes down through a chunk, then up to the next older
    // one, so a miss reads the rest of its chunk below and a run of pages above. Frame objects
    // (3.10) are carved from the allocator's pools in rising order, so a walk goes down: the
    // run is below, and starts at one page, since a short stack's frames lie apart. The run
    // doubles at each miss near the last one (a deep stack) and starts short again after a
    // jump (the outermost frames, made before a recursion). A transfer stops at the first
    // page that is not mapped.
    const std::uintptr_t distance = base > last_miss_ ? base - last_miss_ : last_miss_ - base;
    if (distance > 2 * kPagesPerMiss * kPageBytes) {
        run_pages_ = first_run_pages();
    }
    last_miss_ = base;
    const std::size_t run = run_pages_;
    run_pages_ = std::min(run_pages_ * 2, kPagesPerMiss);
    const std::size_t down = layout_.frames_are_objects ? run - run / 4 : kChunkPages;
    std::array<iovec, kPagesPerMiss> local{};
    std::array<iovec, kPagesPerMiss> remote{};
    std::size_t count = 0;
    for (std::size_t i = 0; i < run; ++i) {
        const bool below = i < down;
        if (below && i * kPageBytes > base) {
            continue;
        }
        const std::uintptr_t wanted = below ? base - i * kPageBytes : base + (i - down + 1) * kPageBytes;
        Page& slot = (*pages_)[(next_page_ + count) % kCachedPages];
        slot.valid = false;
        slot.base = wanted;
        local[count] = iovec{slot.bytes.data(), kPageBytes};
        remote[count] = iovec{reinterpret_cast<void*>(wanted), kPageBytes};  // NOLINT(performance-no-int-to-ptr)
        ++count;
    }
    const std::size_t pages_read =
        memory_.read_vectors(std::span(local.data(), count), std::span(remote.data(), count)) / kPageBytes;
    for (std::size_t i = 0; i < pages_read; ++i) {
        (*pages_)[(next_page_ + i) % kCachedPages].valid = true;
    }
    Page* page = &(*pages_)[next_page_];
    last_page_ = next_page_;
    next_page_ = (next_page_ + std::max<std::size_t>(pages_read, 1)) % kCachedPages;
    return page->valid ? page : nullptr;
}

bool MemoryStackReader::read_cached(std::uintptr_t address, void* out, std::size_t size) {
    auto* target = static_cast<std::uint8_t*>(out);
    while (size > 0) {
        const std::uintptr_t base = address & ~(std::uintptr_t{kPageBytes} - 1);
        Page* page = find_page(base);
        if (page == nullptr && (page = fill_pages(base)) == nullptr) {
            return false;
        }
        const std::size_t offset = address - base;
        const std::size_t count = std::min(size, kPageBytes - offset);
        std::memcpy(target, page->bytes.data() + offset, count);
        target += count;
        address += count;
        size -= count;
    }
    return true;
}

std::optional<std::uintptr_t> MemoryStackReader::innermost_frame() {
    std::uintptr_t holder = thread_state_;
    if (layout_.thread_c_frame) {
        std::uintptr_t c_frame = 0;
        if (!memory_.read_value(thread_state_ + *layout_.thread_c_frame, c_frame) || c_frame == 0) {
            return std::nullopt;
        }
        holder = c_frame;
    }
    std::uintptr_t frame = 0;
    if (!memory_.read_value(holder + layout_.thread_frame, frame)) {
        return std::nullopt;
    }
    return frame;
}

bool MemoryStackReader::fits(const InterpreterLayout& layout) {
    return layout.frame_size <= kFrameBytes && layout.code_header_size <= kCodeHeaderBytes &&
           layout.compact_header_size <= kObjectHeaderBytes && layout.bytes_data <= kObjectHeaderBytes;
}

const std::uint8_t* MemoryStackReader::read_frame(std::uintptr_t address,
                                                  std::array<std::uint8_t, kFrameBytes>& scratch) {
    if (address % alignof(void*) != 0) {
        return nullptr;
    }
    if (own_chunks_ == OwnChunks::Trusted) {
        if (in_own_chunk(address, layout_.frame_size)) {
            return reinterpret_cast<const std::uint8_t*>(address);  // NOLINT(performance-no-int-to-ptr)
        }
        // An entry shim on the C stack, a generator's frame: few, and apart from the rest.
        return memory_.read(address, scratch.data(), layout_.frame_size) ? scratch.data() : nullptr;
    }
    return read_cached(address, scratch.data(), layout_.frame_size) ? scratch.data() : nullptr;
}

bool MemoryStackReader::find_own_chunks() {
    // Chunks are mapped whole, page-aligned, in multiples of 16 KiB: a header that is not
    // so was not read from a chunk, and the search ends there.
    constexpr std::uintptr_t kPageAlign = 4096;
    constexpr std::uint64_t kChunkUnitBytes = 16 * 1024;
    constexpr std::uint64_t kLargestChunkBytes = std::uint64_t{1} << 32U;
    constexpr std::size_t kChunkDataOffset = 24;  // after previous, size and top, on 3.11-3.15
    chunk_count_ = 0;
    last_chunk_ = 0;
    const bool trusted = own_chunks_ == OwnChunks::Trusted;
    const auto read = [&](std::uintptr_t address, void* out, std::size_t size) {
        if (trusted) {
            std::memcpy(out, reinterpret_cast<const void*>(address), size);  // NOLINT(performance-no-int-to-ptr)
            return true;
        }
        return memory_.read(address, out, size);
    };
    std::uintptr_t chunk = 0;
    if (!read(thread_state_ + *layout_.thread_stack_chunk, &chunk, sizeof chunk)) {
        return false;
    }
    while (chunk != 0 && chunk_count_ < kMaxChunks) {
        std::array<std::uint64_t, 2> header{};  // previous, size
        if (chunk % kPageAlign != 0 || !read(chunk, header.data(), sizeof header) || header[1] % kChunkUnitBytes != 0 ||
            header[1] == 0 || header[1] > kLargestChunkBytes) {
            break;
        }
        chunks_[chunk_count_++] = ChunkRange{chunk + kChunkDataOffset, chunk + header[1]};
        chunk = header[0];
    }
    return chunk_count_ > 0;
}

bool MemoryStackReader::in_own_chunk(std::uintptr_t address, std::size_t size) {
    const auto holds = [&](const ChunkRange& range) {
        return address >= range.begin && address < range.end && range.end - address >= size;
    };
    if (chunk_count_ > 0 && holds(chunks_[last_chunk_])) [[likely]] {
        return true;
    }
    // A walk goes from each chunk to the next older one.
    if (last_chunk_ + 1 < chunk_count_ && holds(chunks_[last_chunk_ + 1])) {
        ++last_chunk_;
        return true;
    }
    for (std::size_t i = 0; i < chunk_count_; ++i) {
        if (holds(chunks_[i])) {
            last_chunk_ = i;
            return true;
        }
    }
    return false;
}

bool MemoryStackReader::read_source(std::uintptr_t address, void* out, std::size_t size, std::size_t unkept) {
    if (!memory_.read(address, out, size)) {
        return false;
    }
    if (recording_ != nullptr && size > unkept) {
        recording_->pieces.push_back(SourcePiece{address + unkept, size - unkept});
        const auto* bytes = static_cast<const std::uint8_t*>(out);
        recording_->piece_bytes.insert(recording_->piece_bytes.end(), bytes + unkept, bytes + size);
    }
    return true;
}

std::optional<std::string> MemoryStackReader::read_str(std::uintptr_t address) {
    std::array<std::uint8_t, kObjectHeaderBytes> header{};
    if (address == 0 || !read_source(address, header.data(), layout_.ascii_header_size, kObjectTypeOffset) ||
        load<std::uintptr_t>(header, kObjectTypeOffset) != types_.str) {
        return std::nullopt;
    }
    const auto length = load<std::int64_t>(header, layout_.unicode_length);
    if (length < 0) {
        return std::nullopt;
    }
    const auto chars = static_cast<std::size_t>(std::min(length, kMaxTextChars));
    const auto state = load<std::uint32_t>(header, layout_.unicode_state);
    const unsigned kind = (state >> 2U) & 7U;
    const bool compact = ((state >> 5U) & 1U) != 0;
    const bool ascii = ((state >> 6U) & 1U) != 0;
    if (!compact) {
        return std::string("<unknown>");  // a string made by the legacy API: not in the object
    }
    if (ascii) {
        std::string text(chars, '\0');
        // Text that is not what its flag says was read while the string was being made or
        // after it was freed: the read fails rather than keep invalid UTF-8.
        if (!read_source(address + layout_.ascii_header_size, text.data(), chars) ||
            std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
            return std::nullopt;
        }
        return cut_at_nul(std::move(text));
    }
    if (kind != 1 && kind != 2 && kind != 4) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> data(chars * kind);
    if (!read_source(address + layout_.compact_header_size, data.data(), data.size())) {
        return std::nullopt;
    }
    std::string text;
    text.reserve(chars);
    for (std::size_t i = 0; i < chars; ++i) {
        std::uint32_t code_point = 0;
        if (kind == 1) {
            code_point = data[i];
        } else if (kind == 2) {
            code_point = load<std::uint16_t>(data, i * 2);
        } else {
            code_point = load<std::uint32_t>(data, i * 4);
        }
        if (code_point > kMaxCodePoint) {
            return std::nullopt;
        }
        append_utf8(text, code_point);
    }
    return cut_at_nul(std::move(text));
}

std::optional<std::vector<std::uint8_t>> MemoryStackReader::read_bytes(std::uintptr_t address) {
    std::array<std::uint8_t, kObjectHeaderBytes> header{};
    if (address == 0 || !read_source(address, header.data(), layout_.bytes_data, kObjectTypeOffset) ||
        load<std::uintptr_t>(header, kObjectTypeOffset) != types_.bytes) {
        return std::nullopt;
    }
    const auto size = load<std::int64_t>(header, layout_.bytes_size);
    if (size < 0 || size > kMaxLineTableBytes) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> data(static_cast<std::size_t>(size));
    if (!read_source(address + layout_.bytes_data, data.data(), data.size())) {
        return std::nullopt;
    }
    return data;
}

MemoryStackReader::CodeInfo* MemoryStackReader::code_info(std::uintptr_t address, const CodeHeader& header,
                                                          std::uint64_t copied_reference_count) {
    auto found = codes_.find(address);
    if (found != codes_.end() && found->second.header == header) {
        return &found->second;
    }
    CodeInfo info;
    recording_ = &info;
    auto file = read_str(header.filename);
    auto name = read_str(header.name);
    auto table = read_bytes(header.line_table);
    recording_ = nullptr;
    // The copy may be older than this read, and the code object freed since, its line table's
    // memory given to another object: what was read is the copied code object's only if that
    // is still alive where it was, unchanged (3.12+: the same one, by its version).
    std::array<std::uint8_t, kCodeHeaderBytes> now{};
    if (!file || !name || !table || !memory_.read(address, now.data(), layout_.code_header_size) ||
        parse_header(now) != header ||
        !still_alive(load<std::uint64_t>(now, kReferenceCountOffset), copied_reference_count)) {
        return nullptr;
    }
    info.header = header;
    info.file_text = std::move(*file);
    info.name_text = std::move(*name);
    info.lines = decode_line_table(layout_.line_table_format, *table, header.first_line);
    // From 3.11 a table starts with an entry (one made empty on purpose has none): bytes that
    // do not are another object's.
    if (layout_.line_table_format == LineTableFormat::Locations && !table->empty() && info.lines.empty()) {
        return nullptr;
    }
    CodeInfo& kept = codes_[address];
    kept = std::move(info);
    return &kept;
}

std::int32_t MemoryStackReader::line_of(const CodeInfo& code, std::uintptr_t code_address,
                                        std::uintptr_t instruction) const {
    std::int64_t offset = bytecode_offset(layout_, code_address, instruction);
    if (!layout_.frames_are_objects && offset >= code.header.code_units * kCodeUnitBytes) {
        offset = -1;  // not this code's: read while the frame changed
    }
    return line_at(code.lines, static_cast<std::int32_t>(offset), code.header.first_line);
}

std::optional<std::uint32_t> MemoryStackReader::code_index(std::uintptr_t address) {
    const std::size_t mask = code_slots_.size() - 1;
    std::size_t slot = (address >> 4U) * 0x9E3779B97F4A7C15ULL & mask;
    for (;;) {
        const std::uint32_t entry = code_slots_[slot];
        if (entry == 0) {
            break;
        }
        if (unique_codes_[entry - 1].address == address) {
            last_code_ = entry - 1;
            return last_code_;
        }
        slot = (slot + 1) & mask;
    }
    // Half full at most, so that probes stay short; and no growth here.
    if (unique_codes_.size() == unique_codes_.capacity() || unique_codes_.size() * 2 >= code_slots_.size()) {
        return std::nullopt;
    }
    unique_codes_.push_back(UniqueCode{address, {}, nullptr});
    last_code_ = static_cast<std::uint32_t>(unique_codes_.size() - 1);
    code_slots_[slot] = last_code_ + 1;
    return last_code_;
}

MemoryStackReader::FrameFields MemoryStackReader::frame_fields(const InterpreterLayout& layout) {
    FrameFields fields;
    fields.size = layout.frame_size;
    fields.previous = layout.frame_previous;
    fields.code = layout.frame_code;
    fields.instruction = layout.frame_instruction;
    fields.code_tag_bits = layout.frame_code_tag_bits;
    fields.objects = layout.frames_are_objects;
    if (layout.frame_owner) {
        fields.owner = *layout.frame_owner;
        // Not value_or: it would give an unsigned char, and kNoByte does not fit one.
        fields.not_python_from = layout.owner_not_python_from ? *layout.owner_not_python_from : FrameFields::kNoByte;
        fields.generator_owner = layout.owner_generator ? *layout.owner_generator : FrameFields::kNoByte;
    }
    return fields;
}

bool MemoryStackReader::keep_frame(std::uintptr_t address, const std::uint8_t* frame_bytes, const FrameFields& fields) {
    if (raw_count_ == raw_slots_.size()) {
        return false;
    }
    const std::span<const std::uint8_t> bytes(frame_bytes, fields.size);
    const auto code_word = load<std::uintptr_t>(bytes, fields.code);
    const std::uintptr_t code = code_word & ~fields.code_tag_bits;
    std::uint32_t index = last_code_;
    // A recursion repeats the frame before: no call for it.
    if (unique_codes_.empty() || unique_codes_[last_code_].address != code) {
        const std::optional<std::uint32_t> found = code_index(code);
        if (!found) {
            return false;
        }
        index = *found;
    }
    const bool has_owner = fields.owner != FrameFields::kNoField;
    link_slots_[raw_count_] = FrameLink{address, load<std::uintptr_t>(bytes, fields.previous), code_word};
    raw_slots_[raw_count_++] = RawFrame{
        .instruction = fields.objects ? static_cast<std::uintptr_t>(load<std::int32_t>(bytes, fields.instruction))
                                      : load<std::uintptr_t>(bytes, fields.instruction),
        .code_index = index,
        .generator = has_owner && bytes[fields.owner] == fields.generator_owner,
    };
    return true;
}

std::uintptr_t MemoryStackReader::walk_own_chunk(std::uintptr_t frame, const FrameFields& chosen_fields,
                                                 std::size_t& steps) {
    // A deep stack spends its hold here, so the loop does no more than it must: the fields
    // are read in place, and the frame's caller must lie below it in the same chunk (each
    // step goes down, so no cycle), or the general walk takes over at that frame.
    constexpr std::uintptr_t kLineBytes = 64;
    constexpr std::uintptr_t kAheadBytes = 4096;
    const FrameFields fields = chosen_fields;  // a copy no store can alias: kept in registers
    const ChunkRange chunk = chunks_[last_chunk_];
    const std::uintptr_t highest = chunk.end - fields.size;
    const std::size_t room = std::min(raw_slots_.size(), kMaxDepth);
    std::uintptr_t code_address = unique_codes_.empty() ? 0 : unique_codes_[last_code_].address;
    std::uint32_t index = last_code_;
    // Lines below the walk are asked for ahead of it: it learns where the next frame is only
    // from the frame before, and would otherwise wait out a cache miss at each.
    std::uintptr_t prefetched = frame & ~(kLineBytes - 1);
    std::size_t count = raw_count_;
    while (frame >= chunk.begin && frame <= highest && frame % alignof(void*) == 0 && count < room) {
        if (prefetched > chunk.begin && prefetched + kAheadBytes / 2 > frame) {
            const std::uintptr_t target = frame > chunk.begin + kAheadBytes ? frame - kAheadBytes : chunk.begin;
            for (; prefetched > target; prefetched -= kLineBytes) {
                __builtin_prefetch(
                    reinterpret_cast<const void*>(prefetched - kLineBytes));  // NOLINT(performance-no-int-to-ptr)
            }
        }
        const std::span<const std::uint8_t> bytes(
            reinterpret_cast<const std::uint8_t*>(frame),  // NOLINT(performance-no-int-to-ptr)
            fields.size);
        const auto previous = load<std::uintptr_t>(bytes, fields.previous);
        const auto code_word = load<std::uintptr_t>(bytes, fields.code);
        const unsigned owner = bytes[fields.owner];
        if (owner >= fields.not_python_from || previous >= frame) {
            break;
        }
        const std::uintptr_t code = code_word & ~fields.code_tag_bits;
        if (code != code_address || unique_codes_.empty()) {
            const std::optional<std::uint32_t> found = code_index(code);
            if (!found) {
                break;
            }
            index = *found;
            code_address = code;
        }
        raw_slots_[count++] = RawFrame{
            .instruction = load<std::uintptr_t>(bytes, fields.instruction),
            .code_index = index,
            .generator = owner == fields.generator_owner,
        };
        frame = previous;
        ++steps;
    }
    raw_count_ = count;
    return frame;
}

void MemoryStackReader::start_walk() {
    raw_count_ = 0;
    unique_codes_.clear();
    std::fill(code_slots_.begin(), code_slots_.end(), 0);
    for (Page& page : *pages_) {
        page.valid = false;
    }
    run_pages_ = first_run_pages();
    last_miss_ = 0;
}

MemoryStackReader::RawCopy MemoryStackReader::copy_raw(bool running) {
    start_walk();
    const std::optional<std::uintptr_t> innermost = innermost_frame();
    if (!innermost) {
        return RawCopy::Failed;
    }
    std::array<std::uint8_t, kFrameBytes> scratch{};
    std::uintptr_t frame = *innermost;
    innermost_ = frame;
    innermost_in_chunk_ = own_chunks_ != OwnChunks::No && find_own_chunks() && in_own_chunk(frame, layout_.frame_size);
    const FrameFields fields = fields_;
    const bool in_place = own_chunks_ == OwnChunks::Trusted && fields.owner != FrameFields::kNoField;
    // Bounded in frames read, not only in frames kept: a cycle of shim frames ends too.
    CycleGuard cycle;
    for (std::size_t steps = 0; frame != 0 && raw_count_ < kMaxDepth; ++steps) {
        if (in_place && in_own_chunk(frame, fields.size) &&
            ((frame = walk_own_chunk(frame, fields, steps)) == 0 || raw_count_ >= kMaxDepth)) {
            break;
        }
        const std::uint8_t* frame_bytes = nullptr;
        if (steps >= kMaxSteps || cycle.meets_again(frame) || (frame_bytes = read_frame(frame, scratch)) == nullptr) {
            return RawCopy::Failed;
        }
        const std::span<const std::uint8_t> bytes(frame_bytes, fields.size);
        // A frame object that has returned goes back to a free list (its next field
        // then links free frames) or waits as its code's spare: either way its reference
        // count is zero, while every frame on a stack is referenced.
        if (fields.objects && load<std::int64_t>(bytes, kReferenceCountOffset) <= 0) {
            return RawCopy::Failed;
        }
        const auto previous = load<std::uintptr_t>(bytes, fields.previous);
        const bool not_python = fields.owner != FrameFields::kNoField && bytes[fields.owner] >= fields.not_python_from;
        if (!not_python && !keep_frame(frame, frame_bytes, fields)) {
            return RawCopy::NeedsRoom;
        }
        frame = previous;
    }
    // Frames read one after another while the thread returned and called again can join a
    // caller to a callee it never called: checked before anything else is read, twice, since
    // a program that repeats a short pattern of calls can be caught at the same point of it
    // once. (A frame object that returned has no references, which the walk checks as it goes.)
    if (running && !layout_.frames_are_objects && !unchanged_since_walk()) {
        return RawCopy::Changed;
    }
    return read_code_headers() ? RawCopy::Done : RawCopy::Failed;
}

bool MemoryStackReader::read_code_headers() {
    // Every code object's header in one system call.
    reads_.resize(unique_codes_.size());  // within the capacity code_index keeps
    for (std::size_t i = 0; i < unique_codes_.size(); ++i) {
        reads_[i] = MemoryRead{unique_codes_[i].address, unique_codes_[i].header.data(), layout_.code_header_size};
    }
    memory_.read_many(reads_);
    return std::all_of(reads_.begin(), reads_.end(), [](const MemoryRead& read) { return read.done; });
}

void MemoryStackReader::make_room() {
    if (raw_count_ == raw_slots_.size()) {
        raw_slots_.resize(std::min(raw_slots_.size() * 2, kMaxDepth));
        link_slots_.resize(raw_slots_.size());
    }
    if (unique_codes_.size() == unique_codes_.capacity() || unique_codes_.size() * 2 >= code_slots_.size()) {
        unique_codes_.reserve(unique_codes_.capacity() * 2);
        code_slots_.assign(code_slots_.size() * 2, 0);
        reads_.reserve(unique_codes_.capacity());
    }
}

std::optional<MemoryStackReader::CodeHeader> MemoryStackReader::parse_header(
    std::span<const std::uint8_t> bytes) const {
    if (load<std::uintptr_t>(bytes, kObjectTypeOffset) != types_.code) {
        return std::nullopt;
    }
    CodeHeader header;
    header.filename = load<std::uintptr_t>(bytes, layout_.code_filename);
    header.name = load<std::uintptr_t>(bytes, layout_.code_name);
    header.line_table = load<std::uintptr_t>(bytes, layout_.code_line_table);
    header.first_line = load<std::int32_t>(bytes, layout_.code_first_line);
    header.code_units = load<std::int64_t>(bytes, layout_.code_units);
    if (layout_.code_first_traceable) {
        header.first_traceable = load<std::int32_t>(bytes, *layout_.code_first_traceable);
    }
    if (layout_.code_version) {
        header.version = load<std::uint32_t>(bytes, *layout_.code_version);
    }
    return header;
}

void MemoryStackReader::forget_changed_codes() {
    // The names and line tables of every cached code object this walk met, read again in
    // one system call. A code object's version (3.12+, until the counter runs out) tells it
    // apart on its own.
    const auto checked = [this](std::uintptr_t address) {
        const auto found = codes_.find(address);
        return found != codes_.end() && found->second.header.version == 0 ? found : codes_.end();
    };
    std::size_t total_bytes = 0;
    for (const UniqueCode& unique : unique_codes_) {
        const auto found = checked(unique.address);
        if (found != codes_.end()) {
            total_bytes += found->second.piece_bytes.size();
        }
    }
    check_bytes_.resize(total_bytes);
    check_reads_.clear();
    std::size_t offset = 0;
    for (const UniqueCode& unique : unique_codes_) {
        const auto found = checked(unique.address);
        if (found == codes_.end()) {
            continue;
        }
        for (const SourcePiece& piece : found->second.pieces) {
            check_reads_.push_back(MemoryRead{piece.address, check_bytes_.data() + offset, piece.size});
            offset += piece.size;
        }
    }
    memory_.read_many(check_reads_);
    std::size_t read_index = 0;
    offset = 0;
    for (const UniqueCode& unique : unique_codes_) {
        const auto found = checked(unique.address);
        if (found == codes_.end()) {
            continue;
        }
        const CodeInfo& code = found->second;
        const bool all_read =
            std::all_of(check_reads_.begin() + static_cast<std::ptrdiff_t>(read_index),
                        check_reads_.begin() + static_cast<std::ptrdiff_t>(read_index + code.pieces.size()),
                        [](const MemoryRead& read) { return read.done; });
        const bool same = all_read && std::equal(code.piece_bytes.begin(), code.piece_bytes.end(),
                                                 check_bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
        read_index += code.pieces.size();
        offset += code.piece_bytes.size();
        if (!same) {
            codes_.erase(found);
        }
    }
}

bool MemoryStackReader::resolve() {
    resolved_.clear();
    forget_changed_codes();
    for (UniqueCode& unique : unique_codes_) {
        const std::optional<CodeHeader> header = parse_header(unique.header);
        if (!header) {
            return false;
        }
        unique.info = code_info(unique.address, *header, load<std::uint64_t>(unique.header, kReferenceCountOffset));
        if (unique.info == nullptr) {
            return false;
        }
    }
    const RawFrame* before = nullptr;
    for (const RawFrame& raw : raw_frames()) {
        const UniqueCode& code = unique_codes_[raw.code_index];
        if (incomplete(raw, *code.info, code.address)) {
            continue;
        }
        // A recursion's callers stand at the same instruction: its line is looked up once.
        const bool same_place = before != nullptr && before->code_index == raw.code_index &&
                                before->instruction == raw.instruction && !resolved_.empty();
        const std::int32_t line =
            same_place ? resolved_.back().line : line_of(*code.info, code.address, raw.instruction);
        resolved_.push_back(ResolvedFrame{code.info, line});
        before = &raw;
    }
    return true;
}

bool MemoryStackReader::incomplete(const RawFrame& raw, const CodeInfo& code, std::uintptr_t code_address) const {
    if (layout_.frames_are_objects) {
        // 3.10: a frame made but before its first instruction; its caller's line shows the call.
        return static_cast<std::int32_t>(raw.instruction) < 0;
    }
    return !raw.generator &&
           before_first_traceable(layout_, code_address, raw.instruction, code.header.first_traceable);
}

StackId MemoryStackReader::intern(StackTable& stacks) {
    if (interned_in_ != &stacks) {
        for (auto& [address, code] : codes_) {
            code.frame_ids.clear();
        }
        interned_in_ = &stacks;
        last_frame_ids_.clear();
        last_path_.clear();
    }
    frame_ids_.clear();
    if (root_ && !resolved_.empty()) {
        frame_ids_.push_back(*root_);
    }
    std::for_each(resolved_.rbegin(), resolved_.rend(), [&](const ResolvedFrame& frame) {
        CodeInfo& code = *frame.code;
        auto known = std::find_if(code.frame_ids.begin(), code.frame_ids.end(),
                                  [&](const auto& entry) { return entry.first == frame.line; });
        if (known != code.frame_ids.end()) {
            frame_ids_.push_back(known->second);
            return;
        }
        const FrameId id = stacks.intern_frame(code.file_text, code.name_text, frame.line);
        if (code.frame_ids.size() < kMaxLinesPerCode) {
            code.frame_ids.emplace_back(frame.line, id);
        }
        frame_ids_.push_back(id);
    });
    // The path's outer part is most often the last one's (a deep stack moves at its tip): its
    // ids are taken from there rather than looked up frame by frame. A table only grows, so a
    // path interned once keeps its id.
    const auto [ours, theirs] =
        std::mismatch(frame_ids_.begin(), frame_ids_.end(), last_frame_ids_.begin(), last_frame_ids_.end());
    const auto shared = static_cast<std::size_t>(ours - frame_ids_.begin());
    last_path_.resize(shared);
    StackId stack = shared == 0 ? kNoStack : last_path_.back();
    for (std::size_t i = shared; i < frame_ids_.size(); ++i) {
        stack = stacks.extend(stack, frame_ids_[i]);
        last_path_.push_back(stack);
    }
    last_frame_ids_.assign(frame_ids_.begin(), frame_ids_.end());
    return stack;
}

std::optional<StackId> MemoryStackReader::finish_copy(StackTable& stacks) {
    forget_codes_if_many();
    if (!resolve()) {
        return std::nullopt;
    }
    return intern(stacks);
}

std::optional<StackId> MemoryStackReader::read(StackTable& stacks, const CopyStep& copy) {
    if (!walk_with_retries(copy)) {
        return std::nullopt;
    }
    return intern(stacks);
}

std::optional<StackId> MemoryStackReader::read(StackTable& stacks, bool running) {
    return read(stacks, [this, running] { return copy_raw(running); });
}

std::vector<FrameInfo> MemoryStackReader::read_frames() {
    std::vector<FrameInfo> frames;
    if (!walk_with_retries([this] { return copy_raw(); })) {  // the caller's own stack: still
        return frames;
    }
    std::for_each(resolved_.rbegin(), resolved_.rend(), [&](const ResolvedFrame& frame) {
        frames.push_back(FrameInfo{frame.code->file_text, frame.code->name_text, frame.line});
    });
    return frames;
}

bool MemoryStackReader::walk_with_retries(const CopyStep& copy_step) {
    int growths = 0;
    int changes = 0;
    for (int attempt = 0; attempt < kReadAttempts;) {
        forget_codes_if_many();
        const RawCopy copy = copy_step();
        if (copy == RawCopy::NeedsRoom && growths < kMaxGrowths) {
            make_room();
            ++growths;
            continue;
        }
        // A stack that changes faster than a walk: a few more quick attempts.
        if (copy == RawCopy::Changed && ++changes < kChangedAttempts) {
            continue;
        }
        ++attempt;
        if (copy == RawCopy::Done && resolve()) {
            changes_.changed += changes > 0 ? 1 : 0;
            return true;
        }
    }
    changes_.changed += changes > 0 ? 1 : 0;
    changes_.dropped += changes > 0 ? 1 : 0;
    return false;
}

bool MemoryStackReader::unchanged_since_walk() {
    // The walk's innermost frame must still be on the thread's stack: the thread may have
    // called on from it (the walk then shows a moment just past), not returned from it.
    // Meeting another of the walk's frames first means it returned.
    const std::span<const FrameLink> links(link_slots_.data(), raw_count_);
    const std::size_t near = std::min(links.size(), kMaxCallsSinceWalk);
    const auto walked_near = [&](std::uintptr_t address) {
        return std::any_of(links.begin(), links.begin() + static_cast<std::ptrdiff_t>(near),
                           [&](const FrameLink& link) { return link.address == address; });
    };
    std::optional<std::uintptr_t> frame = innermost_frame();
    for (std::size_t steps = 0; frame && *frame != innermost_; ++steps) {
        std::uintptr_t previous = 0;
        if (*frame == 0 || steps >= kMaxCallsSinceWalk || walked_near(*frame) ||
            !memory_.read_value(*frame + layout_.frame_previous, previous)) {
            return false;
        }
        frame = previous;
    }
    if (!frame) {
        return false;
    }
    // Each kept frame's caller and code, read again in one system call: the span that holds
    // both fields, two words apart at most.
    const std::size_t first = std::min(layout_.frame_previous, layout_.frame_code);
    const std::size_t span = std::max(layout_.frame_previous, layout_.frame_code) + sizeof(std::uintptr_t) - first;
    check_bytes_.resize(links.size() * span);
    check_reads_.resize(links.size());
    for (std::size_t i = 0; i < links.size(); ++i) {
        check_reads_[i] = MemoryRead{links[i].address + first, check_bytes_.data() + i * span, span};
    }
    memory_.read_many(check_reads_);
    for (std::size_t i = 0; i < links.size(); ++i) {
        const std::span<const std::uint8_t> now(check_bytes_.data() + i * span, span);
        if (!check_reads_[i].done || load<std::uintptr_t>(now, layout_.frame_previous - first) != links[i].previous ||
            load<std::uintptr_t>(now, layout_.frame_code - first) != links[i].code_word) {
            return false;
        }
    }
    return true;
}

void MemoryStackReader::forget_codes_if_many() {
    if (codes_.size() > kMaxCodes) {
        codes_.clear();  // a program that makes code for ever: start again rather than grow
    }
}

}  // namespace kulvo::py
