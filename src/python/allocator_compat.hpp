// Python's allocator hooks, which the stable ABI leaves out. Their shape has been the same
// since 3.5 (a context and four functions per domain), and the two functions that get and
// set them are exported by every interpreter; they are looked up at run time, so that the
// module still loads, without allocation sampling, where they are missing.
#pragma once

#include <cstddef>

namespace kulvo::py {

// PyMemAllocatorEx.
struct MemoryAllocator {
    void* ctx;
    void* (*malloc)(void* ctx, std::size_t size);
    void* (*calloc)(void* ctx, std::size_t count, std::size_t size);
    void* (*realloc)(void* ctx, void* address, std::size_t new_size);
    void (*free)(void* ctx, void* address);
};

// PyMemAllocatorDomain: PyMem_Malloc's and PyObject_Malloc's, both called with the GIL held.
// The raw domain (no GIL) is left out: it is what the other two call for large blocks.
enum class AllocatorDomain : int { Raw = 0, Memory = 1, Object = 2 };

struct AllocatorAccess {
    void (*get)(AllocatorDomain domain, MemoryAllocator* allocator);
    void (*set)(AllocatorDomain domain, MemoryAllocator* allocator);
};

// PyMem_GetAllocator and PyMem_SetAllocator, or null members where the interpreter lacks them.
AllocatorAccess allocator_access();

}  // namespace kulvo::py
