// Reads of this process's own memory that cannot fault: an address that is not mapped
// (any more) makes the read fail instead of crashing the program. The stack reader needs
// this because it reads another thread's frames while that thread runs on.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kulvo::py {

struct MemoryRead {
    std::uintptr_t address = 0;
    void* out = nullptr;
    std::size_t size = 0;
    bool done = false;  // set by read_many
};

class ProcessMemory {
public:
    ProcessMemory();

    // Whole or nothing.
    bool read(std::uintptr_t address, void* out, std::size_t size) const;

    template <typename T>
    bool read_value(std::uintptr_t address, T& out) const {
        return read(address, &out, sizeof(T));
    }

    // Every read in as few system calls as the failures allow; each one's `done` says
    // whether it was read whole. Allocates nothing: a thread may be held inside malloc.
    void read_many(std::span<MemoryRead> reads);

    // One transfer; the bytes read, which stop at the first remote range not mapped.
    std::size_t read_vectors(std::span<const iovec> local, std::span<const iovec> remote) const;

private:
    pid_t pid_;
    std::vector<iovec> local_;  // scratch for read_many, sized once
    std::vector<iovec> remote_;
};

}  // namespace kulvo::py
