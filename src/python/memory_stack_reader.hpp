// The main thread's stack read from memory by the sampler thread, as out-of-process
// profilers read it: no interpreter lock, nothing run in Python. A sample then shows where
// the main thread was at the moment it was taken: inside a short function with no loop and
// no call, in straight-line code, in a C call that holds the lock. Stacks read through the
// interpreter's own API can only be read where the main thread looks at its pending calls
// (function entries, backward jumps, after calls) or gives the lock up, and samples shift to
// those places. The source holds a running thread still for each read (thread_freeze.hpp).
//
// The reads cannot fault (process_vm_readv on this process): a frame that is popped
// while it is read yields a stale or unreadable value, never a crash. Values are checked
// (a code object's type, a string's type and size) before they are used, and a walk that
// meets one that fails the check is read again.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "interpreter_layout.hpp"
#include "line_table.hpp"
#include "process_memory.hpp"
#include "sampler.hpp"
#include "stack_record.hpp"
#include "stack_table.hpp"
#include "thread_freeze.hpp"

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
};

class MemoryStackReader {
public:
    explicit MemoryStackReader(const StackReaderPlace& place);

    // Whether the layout's frames, code headers and str headers fit the reader's buffers.
    static bool fits(const InterpreterLayout& layout);

    // The stack as a path of `stacks`, whose names are interned once per code object
    // (kNoStack for a thread without frames); none when it could not be read whole.
    std::optional<StackId> read(StackTable& stacks);

    // Outermost first, names copied: for checking the reader against the interpreter.
    std::vector<FrameInfo> read_frames();

private:
    static constexpr std::size_t kFrameBytes = 128;
    static constexpr std::size_t kCodeHeaderBytes = 160;
    static constexpr std::size_t kObjectHeaderBytes = 128;  // a str's or a bytes object's

    struct RawFrame {
        std::uintptr_t code = 0;
        std::uintptr_t instruction = 0;  // a pointer into the bytecode, or (3.10) f_lasti
    };
    // What identifies a code object: a freed one's memory reused for another code
    // object almost never repeats all of these.
    struct CodeHeader {
        std::uintptr_t filename = 0;
        std::uintptr_t name = 0;
        std::uintptr_t line_table = 0;
        std::int32_t first_line = 0;
        std::int64_t code_units = 0;

        bool operator==(const CodeHeader&) const = default;
    };
    struct CodeInfo {
        CodeHeader header;
        std::string file_text;
        std::string name_text;
        std::vector<LineRange> lines;
        std::vector<std::pair<std::int32_t, FrameId>> frame_ids;  // per line, in the run's table
    };
    struct ResolvedFrame {
        CodeInfo* code = nullptr;  // in codes_: a node-based map keeps it where it is
        std::int32_t line = -1;
    };

    // One consistent-looking walk, innermost first; false when a value failed its check.
    bool walk(std::vector<ResolvedFrame>& out);
    bool walk_with_retries();  // into resolved_
    std::optional<std::uintptr_t> innermost_frame();
    bool read_frame(std::uintptr_t address, std::array<std::uint8_t, kFrameBytes>& out);
    CodeInfo* code_info(std::uintptr_t address, const CodeHeader& header);
    std::optional<std::string> read_str(std::uintptr_t address);
    std::optional<std::vector<std::uint8_t>> read_bytes(std::uintptr_t address);
    std::int32_t line_of(const CodeInfo& code, std::uintptr_t code_address, std::uintptr_t instruction) const;

    // Reads of whole pages, kept for one walk: a stack's frames sit side by side.
    bool read_cached(std::uintptr_t address, void* out, std::size_t size);

    InterpreterLayout layout_;
    ReadableTypes types_;
    std::uintptr_t thread_state_;
    ProcessMemory memory_;
    std::unordered_map<std::uintptr_t, CodeInfo> codes_;
    const StackTable* interned_in_ = nullptr;  // the table the frame ids belong to

    static constexpr std::size_t kPageBytes = 4096;
    static constexpr std::size_t kCachedPages = 8;
    struct Page {
        std::uintptr_t base = 0;
        bool valid = false;
        std::array<std::uint8_t, kPageBytes> bytes{};
    };
    std::unique_ptr<std::array<Page, kCachedPages>> pages_;
    std::size_t next_page_ = 0;

    // Scratch kept between reads (sampler thread only).
    std::vector<RawFrame> raw_;
    std::vector<std::array<std::uint8_t, kCodeHeaderBytes>> headers_;
    std::vector<MemoryRead> reads_;
    std::vector<ResolvedFrame> resolved_;
    std::vector<FrameId> frame_ids_;
};

// A source of main-thread stacks read from memory, with the main thread's run state for
// the waiting flag.
// Whether the thread was held still for its reads, for the profile's notes.
enum class HeldReads : int { Held, NoFreeSignal, SignalTaken };

// `freeze_signal` holds the thread still for each read while it is on a CPU; without one,
// or once the program has put its own handler on it, reads go ahead as the thread runs,
// and `held_reads` says why.
std::unique_ptr<StackSource> memory_stack_source(MemoryStackReader reader, pid_t native_id, pthread_t thread,
                                                 std::optional<FreezeSignal> freeze_signal,
                                                 std::shared_ptr<std::atomic<HeldReads>> held_reads);

}  // namespace kulvo::py
