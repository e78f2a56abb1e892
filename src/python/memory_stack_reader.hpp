// The main thread's stack read from memory by the sampler thread, as out-of-process
// profilers read it: no interpreter lock, nothing run in Python. A sample then shows where
// the main thread was at the moment it was taken: inside a short function with no loop and
// no call, in straight-line code, in a C call that holds the lock. Stacks read through the
// interpreter's own API can only be read where the main thread looks at its pending calls
// (function entries, backward jumps, after calls) or gives the lock up, and samples shift to
// those places. How a running thread is kept still for a read: memory_stack_source.hpp.
//
// The reads cannot fault (process_vm_readv on this process): a frame that is popped
// while it is read yields a stale or unreadable value, never a crash. Values are checked
// (a code object's type, a string's type and size) before they are used, and a walk that
// meets one that fails the check is read again.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "interpreter_layout.hpp"
#include "line_table.hpp"
#include "process_memory.hpp"
#include "stack_record.hpp"
#include "stack_table.hpp"

namespace kulvo::py {

// The addresses of the types a read value is checked against.
struct ReadableTypes {
    std::uintptr_t code = 0;
    std::uintptr_t str = 0;
    std::uintptr_t bytes = 0;
};

// What a reader needs: the interpreter's layout and types, and the thread to read.
struct StackReaderPlace {
    InterpreterLayout layout;
    ReadableTypes types;
    std::uintptr_t thread_state = 0;  // the thread's PyThreadState
    // The thread's frame stack may be copied directly by a reader on that thread (checked on
    // it: the chunks found hold its frames).
    bool own_chunks = false;
};

class MemoryStackReader {
public:
    explicit MemoryStackReader(const StackReaderPlace& place);

    // Whether the layout's frames, code headers and str headers fit the reader's buffers.
    static bool fits(const InterpreterLayout& layout);

    // A read in two steps, so that a thread held still for it is held no longer than needed:
    // `copy_raw` copies the frame chain and the code headers and allocates nothing (the
    // thread may be held inside malloc); `resolve` then reads names and line tables.
    // `running`: the thread may run on while it is read, and a walk whose frames changed
    // under it gives Changed.
    enum class RawCopy { Done, Failed, NeedsRoom, Changed };
    RawCopy copy_raw(bool running = false);
    void make_room();  // after NeedsRoom, outside any hold
    bool resolve();
    // The resolved stack as a path of `stacks`, whose names are interned once per code
    // object (kNoStack for a thread without frames).
    StackId intern(StackTable& stacks);

    // After a copy made elsewhere (by the thread itself, in a signal handler): the other two
    // steps, once.
    std::optional<StackId> finish_copy(StackTable& stacks);

    // The three steps, read again where a value failed its check. `copy` runs copy_raw(),
    // perhaps inside a hold; it is made before the first read, so that it allocates nothing
    // then.
    using CopyStep = std::function<RawCopy()>;
    std::optional<StackId> read(StackTable& stacks, const CopyStep& copy);
    // A read without a hold. `running`: the thread may run on meanwhile, and a walk whose
    // frames changed under it (the thread returned and called again while it was read) is read
    // again, and dropped if every attempt changed. A thread found waiting is read unchecked.
    std::optional<StackId> read(StackTable& stacks, bool running);

    // Reads another thread of the interpreter from now on, each stack rooted at `root`
    // (a frame of the run's table that names the thread); what was learnt of code is kept.
    void read_thread(std::uintptr_t thread_state, std::optional<FrameId> root) {
        thread_state_ = thread_state;
        root_ = root;
    }

    // Walks of a running thread found changed under them, and of those, reads dropped.
    struct ChangeCounts {
        std::uint64_t changed = 0;
        std::uint64_t dropped = 0;
    };
    ChangeCounts change_counts() const { return changes_; }

    // Outermost first, names copied: for checking the reader against the interpreter.
    std::vector<FrameInfo> read_frames();

    // The reader runs on the thread it reads, in its signal handler, and the place says the
    // thread's stack chunks were found where the layout has them: the chunks and the frames in
    // them are copied with memcpy, no system call. The thread stands still meanwhile, and a
    // chunk it links is mapped until it unlinks it (it links a chunk once made and frees one
    // once unlinked), so a copy cannot fault.
    void read_on_own_thread() {
        own_chunks_ = place_own_chunks_ && layout_.thread_stack_chunk ? OwnChunks::Trusted : OwnChunks::No;
    }
    // For the check on the thread: the chunks are looked for with system calls, and
    // innermost_in_own_chunk() then says whether the walk's innermost frame lay in one.
    void look_for_own_chunks() { own_chunks_ = layout_.thread_stack_chunk ? OwnChunks::Checking : OwnChunks::No; }
    [[nodiscard]] bool innermost_in_own_chunk() const { return innermost_in_chunk_; }

private:
    static constexpr std::size_t kFrameBytes = 128;
    static constexpr std::size_t kCodeHeaderBytes = 208;
    static constexpr std::size_t kObjectHeaderBytes = 128;  // a str's or a bytes object's

    // What a kept frame resolves from. Small, because a held deep stack writes one per frame.
    struct RawFrame {
        std::uintptr_t instruction = 0;  // a pointer into the bytecode, or (3.10) f_lasti
        std::uint32_t code_index = 0;    // into unique_codes_
        bool generator = false;          // owned by a generator or coroutine: always complete
    };
    // Where a kept frame was and what linked it, for checking a walk of a running thread: not
    // written by a walk of the thread's own chunks, which no check follows.
    struct FrameLink {
        std::uintptr_t address = 0;
        std::uintptr_t previous = 0;
        std::uintptr_t code_word = 0;  // as read: the code object, perhaps tagged
    };
    // The layout's frame fields that a walk reads, as plain values.
    struct FrameFields {
        static constexpr std::size_t kNoField = ~std::size_t{0};
        static constexpr unsigned kNoByte = 0x100;  // matches no byte
        std::size_t size = 0;
        std::size_t previous = 0;
        std::size_t code = 0;
        std::size_t instruction = 0;
        std::uintptr_t code_tag_bits = 0;
        bool objects = false;
        std::size_t owner = kNoField;
        unsigned not_python_from = kNoByte;
        unsigned generator_owner = kNoByte;
    };
    static FrameFields frame_fields(const InterpreterLayout& layout);
    // What identifies a code object: a freed one's memory reused for another code
    // object almost never repeats all of these.
    struct CodeHeader {
        std::uintptr_t filename = 0;
        std::uintptr_t name = 0;
        std::uintptr_t line_table = 0;
        std::int32_t first_line = 0;
        std::int64_t code_units = 0;
        std::int32_t first_traceable = 0;  // 3.11+
        std::uint32_t version = 0;         // 3.12+

        bool operator==(const CodeHeader&) const = default;
    };
    // Where a code object's names and line table were read from, and what was read. Before
    // 3.12 (no version to tell code objects apart) a cached one is used again only while those
    // bytes are unchanged, so that one freed and replaced by another at the same addresses
    // cannot lend it its names or lines.
    struct SourcePiece {
        std::uintptr_t address = 0;
        std::size_t size = 0;
    };
    struct CodeInfo {
        CodeHeader header;
        std::vector<SourcePiece> pieces;
        std::vector<std::uint8_t> piece_bytes;  // the pieces' bytes, one after another
        std::string file_text;
        std::string name_text;
        std::vector<LineRange> lines;
        std::vector<std::pair<std::int32_t, FrameId>> frame_ids;  // per line, in the run's table
    };
    struct ResolvedFrame {
        CodeInfo* code = nullptr;  // in codes_: a node-based map keeps it where it is
        std::int32_t line = -1;
    };
    // The code objects of one walk, each read once however often it recurs.
    struct UniqueCode {
        std::uintptr_t address = 0;
        std::array<std::uint8_t, kCodeHeaderBytes> header{};
        CodeInfo* info = nullptr;
    };
    std::optional<CodeHeader> parse_header(std::span<const std::uint8_t> bytes) const;
    void forget_changed_codes();

    void start_walk();                             // forgets the last walk's frames and pages
    bool walk_with_retries(const CopyStep& copy);  // into resolved_
    // Whether the thread's innermost frame and each frame's caller and code are still what
    // the last walk read.
    bool unchanged_since_walk();
    void forget_codes_if_many();
    std::optional<std::uintptr_t> innermost_frame();
    // The frame's bytes: in place where the thread's own chunk holds it, else read into
    // `scratch`; nullptr when unreadable.
    const std::uint8_t* read_frame(std::uintptr_t address, std::array<std::uint8_t, kFrameBytes>& scratch);
    // The index of `address` in unique_codes_; nullopt when the table is full.
    std::optional<std::uint32_t> code_index(std::uintptr_t address);
    CodeInfo* code_info(std::uintptr_t address, const CodeHeader& header, std::uint64_t copied_reference_count);
    // Reads of a code object's names and line table, kept in `recording_` as they are read
    // but for their first `unkept` bytes (an object's reference count, which changes).
    bool read_source(std::uintptr_t address, void* out, std::size_t size, std::size_t unkept = 0);
    std::optional<std::string> read_str(std::uintptr_t address);
    std::optional<std::vector<std::uint8_t>> read_bytes(std::uintptr_t address);
    std::int32_t line_of(const CodeInfo& code, std::uintptr_t code_address, std::uintptr_t instruction) const;
    bool incomplete(const RawFrame& raw, const CodeInfo& code, std::uintptr_t code_address) const;

    // Reads of whole pages, kept for one walk: a stack's frames sit side by side, so a miss
    // reads the pages below it (and, for frame objects, above it) in the same system call.
    bool read_cached(std::uintptr_t address, void* out, std::size_t size);
    struct Page;
    Page* find_page(std::uintptr_t base);
    Page* fill_pages(std::uintptr_t base);  // nullptr: that page is not mapped
    // Adds a frame to the walk's frames; false when the scratch has no room left.
    bool keep_frame(std::uintptr_t address, const std::uint8_t* frame_bytes, const FrameFields& fields);
    bool read_code_headers();
    // The thread's stack chunks, newest first, as far as kMaxChunks; false if none is read.
    bool find_own_chunks();
    [[nodiscard]] bool in_own_chunk(std::uintptr_t address, std::size_t size);
    // From `frame`, in the thread's own chunk, through the frames below it in that chunk:
    // kept in raw_slots_, each read in place. Returns the first frame left to the general walk.
    std::uintptr_t walk_own_chunk(std::uintptr_t frame, const FrameFields& fields, std::size_t& steps);

    InterpreterLayout layout_;
    ReadableTypes types_;
    std::uintptr_t thread_state_;
    std::optional<FrameId> root_;
    ProcessMemory memory_;
    std::unordered_map<std::uintptr_t, CodeInfo> codes_;
    CodeInfo* recording_ = nullptr;
    std::vector<MemoryRead> check_reads_;
    std::vector<std::uint8_t> check_bytes_;
    const StackTable* interned_in_ = nullptr;  // the table the frame ids belong to
    std::uintptr_t innermost_ = 0;             // where the last walk began
    ChangeCounts changes_;

    static constexpr std::size_t kPageBytes = 4096;
    static constexpr std::size_t kCachedPages = 64;
    static constexpr std::size_t kPagesPerMiss = 32;
    static constexpr std::size_t kChunkPages = 4;  // a frame chunk's worth, with the missed page
    static constexpr std::size_t kFirstRunPages = 8;
    std::size_t first_run_pages() const { return layout_.frames_are_objects ? 1 : kFirstRunPages; }
    struct Page {
        std::uintptr_t base = 0;
        bool valid = false;
        std::array<std::uint8_t, kPageBytes> bytes{};
    };
    std::unique_ptr<std::array<Page, kCachedPages>> pages_;
    std::size_t next_page_ = 0;
    std::size_t last_page_ = 0;  // where the last read was found
    std::size_t run_pages_ = kFirstRunPages;
    std::uintptr_t last_miss_ = 0;  // the page of the last miss

    // Scratch kept between reads (sampler thread only); copy_raw never grows it.
    // The walk's frames, innermost first: the first raw_count_ of raw_slots_, which only
    // make_room resizes, so that a walk inside a hold writes without allocating.
    std::vector<RawFrame> raw_slots_;
    std::vector<FrameLink> link_slots_;  // beside raw_slots_, as large
    std::size_t raw_count_ = 0;
    std::span<const RawFrame> raw_frames() const { return {raw_slots_.data(), raw_count_}; }
    std::vector<UniqueCode> unique_codes_;
    std::vector<std::uint32_t> code_slots_;  // open addressing into unique_codes_, +1; 0 is empty
    std::uint32_t last_code_ = 0;            // the index code_index returned last
    std::vector<MemoryRead> reads_;
    std::vector<ResolvedFrame> resolved_;

    struct ChunkRange {
        std::uintptr_t begin = 0;  // the first frame's place
        std::uintptr_t end = 0;
    };
    static constexpr std::size_t kMaxChunks = 256;
    enum class OwnChunks { No, Checking, Trusted };
    bool place_own_chunks_ = false;
    OwnChunks own_chunks_ = OwnChunks::No;
    bool innermost_in_chunk_ = false;
    std::array<ChunkRange, kMaxChunks> chunks_{};
    std::size_t chunk_count_ = 0;
    std::size_t last_chunk_ = 0;
    std::vector<FrameId> frame_ids_;
    // The frames last interned, outermost first, and the path's id at each depth.
    std::vector<FrameId> last_frame_ids_;
    std::vector<StackId> last_path_;
    FrameFields fields_;
};

}  // namespace kulvo::py
