#include "process_memory.hpp"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace kulvo::py {

namespace {

// Linux accepts at most this many iovecs per call (UIO_MAXIOV).
constexpr std::size_t kMaxVectors = 1024;

// An address read from memory, as the kernel's iovec wants it.
void* as_pointer(std::uintptr_t address) {
    return reinterpret_cast<void*>(address);  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace

ProcessMemory::ProcessMemory() : pid_(getpid()), local_(kMaxVectors), remote_(kMaxVectors) {}

std::size_t ProcessMemory::read_vectors(std::span<const iovec> local, std::span<const iovec> remote) const {
    const ssize_t copied = process_vm_readv(pid_, local.data(), local.size(), remote.data(), remote.size(), 0);
    return copied > 0 ? static_cast<std::size_t>(copied) : 0;
}

bool ProcessMemory::read(std::uintptr_t address, void* out, std::size_t size) const {
    if (size == 0) {
        return true;
    }
    iovec local{out, size};
    iovec remote{as_pointer(address), size};
    return process_vm_readv(pid_, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
}

void ProcessMemory::read_many(std::span<MemoryRead> reads) {
    std::size_t next = 0;
    while (next < reads.size()) {
        const std::size_t count = std::min(reads.size() - next, kMaxVectors);
        for (std::size_t i = 0; i < count; ++i) {
            const MemoryRead& read = reads[next + i];
            local_[i] = iovec{read.out, read.size};
            remote_[i] = iovec{as_pointer(read.address), read.size};
        }
        const ssize_t copied = process_vm_readv(pid_, local_.data(), count, remote_.data(), count, 0);
        // A partial transfer stops at the first remote range that could not be read whole:
        // the ones before it are done, that one failed, and the rest are tried again.
        std::size_t remaining = copied > 0 ? static_cast<std::size_t>(copied) : 0;
        std::size_t i = next;
        for (; i < next + count && remaining >= reads[i].size; ++i) {
            remaining -= reads[i].size;
            reads[i].done = true;
        }
        if (i < next + count) {
            reads[i].done = false;
            ++i;
        }
        next = i;
    }
}

}  // namespace kulvo::py
