#include "allocation_hooks.hpp"

#include <dlfcn.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>

#include "allocator_compat.hpp"
#include "line_table.hpp"

namespace kulvo::py {

AllocatorAccess allocator_access() {
    AllocatorAccess access{};
    // NOLINTBEGIN(cppcoreguidelines-pro-type-reinterpret-cast): dlsym's answer is a function
    access.get = reinterpret_cast<decltype(access.get)>(dlsym(RTLD_DEFAULT, "PyMem_GetAllocator"));
    access.set = reinterpret_cast<decltype(access.set)>(dlsym(RTLD_DEFAULT, "PyMem_SetAllocator"));
    // NOLINTEND(cppcoreguidelines-pro-type-reinterpret-cast)
    return access;
}

namespace {

constexpr std::size_t kMaxFramesSkipped = 64;  // shims and incomplete frames above the innermost one
constexpr std::uintptr_t kObjectTypeOffset = sizeof(std::intptr_t);  // ob_type, after ob_refcnt

// One per domain and start, never freed: a hook that another allocator has since wrapped cannot
// be taken out of the chain, and one taken out may still be running in a thread of an
// interpreter with a GIL of its own. A stopped one is switched off: it then only passes calls on.
struct Hook {
    MemoryAllocator previous{};
    AllocatorDomain domain = AllocatorDomain::Memory;
    std::atomic<bool> enabled{true};  // no ordering needed: off means pass through
};

// The hooks never block in the kernel: a contended lock (only possible between interpreters
// with their own GILs) spins for the few map operations it guards.
class SpinLock {
public:
    void lock() {
        while (flag_.test_and_set(std::memory_order_acquire)) {
        }
    }
    void unlock() { flag_.clear(std::memory_order_release); }

private:
    std::atomic_flag flag_;
};

struct SamplingState {
    SpinLock lock;
    SampledAllocations allocations{1, 0};  // under `lock`, but for count() and may_hold()
    std::atomic<bool> sampling{false};     // read by the hooks; set with the GIL held
    // Set with the GIL held while not sampling; read by the hooks.
    InterpreterLayout layout;
    std::uintptr_t code_type = 0;
    std::vector<PyObject*> pinned;             // a strong reference per site's code object, under `lock`
    std::vector<std::unique_ptr<Hook>> hooks;  // every hook made, GIL held: never freed
    Hook* memory_hook = nullptr;               // GIL held
    Hook* object_hook = nullptr;
    // GIL held: sites resolved so far, and what was read of their code objects.
    std::vector<ResolvedSite> resolved;
    struct CodeLines {
        Ref file;
        std::int32_t first_line = 0;
        std::vector<LineRange> lines;
    };
    std::unordered_map<std::uintptr_t, CodeLines> code_lines;
};

// Never destroyed: a hook that stays in a chain of allocators may be called during exit.
SamplingState& state() {
    static auto* sampling_state = new SamplingState();
    return *sampling_state;
}

template <typename T>
T load(std::uintptr_t address) {
    T value;
    std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof value);  // NOLINT(performance-no-int-to-ptr)
    return value;
}

std::int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// The thread's innermost frame, or 0.
std::uintptr_t innermost_frame(const InterpreterLayout& layout, std::uintptr_t thread_state) {
    std::uintptr_t holder = thread_state;
    if (layout.thread_c_frame) {
        holder = load<std::uintptr_t>(thread_state + *layout.thread_c_frame);
        if (holder == 0) {
            return 0;
        }
    }
    return load<std::uintptr_t>(holder + layout.thread_frame);
}

// A frame's code and place, or nothing for a frame the interpreter's own walk leaves out (not
// Python code's, not started yet).
std::optional<AllocationSite> frame_site(const InterpreterLayout& layout, std::uintptr_t code_type,
                                         std::uintptr_t frame) {
    const auto owner = layout.frame_owner ? load<unsigned char>(frame + *layout.frame_owner) : 0;
    if (layout.owner_not_python_from && owner >= *layout.owner_not_python_from) {
        return std::nullopt;
    }
    const std::uintptr_t code = load<std::uintptr_t>(frame + layout.frame_code) & ~layout.frame_code_tag_bits;
    if (code == 0 || load<std::uintptr_t>(code + kObjectTypeOffset) != code_type) {
        return std::nullopt;
    }
    if (layout.frames_are_objects) {
        const auto last_instruction = load<std::int32_t>(frame + layout.frame_instruction);
        if (last_instruction < 0) {
            return std::nullopt;  // made, not started: its caller's line shows the call
        }
        return AllocationSite{code, static_cast<std::uint32_t>(last_instruction)};
    }
    const auto instruction = load<std::uintptr_t>(frame + layout.frame_instruction);
    const bool generator = layout.owner_generator && owner == *layout.owner_generator;
    if (!generator && layout.code_first_traceable &&
        before_first_traceable(layout, code, instruction, load<std::int32_t>(code + *layout.code_first_traceable))) {
        return std::nullopt;
    }
    return AllocationSite{code, instruction};
}

// The allocating thread's innermost complete Python frame, as the stack reader would see it.
AllocationSite innermost_site(const SamplingState& sampling) {
    const auto thread_state = reinterpret_cast<std::uintptr_t>(PyGILState_GetThisThreadState());
    if (thread_state == 0) {
        return {};
    }
    const InterpreterLayout& layout = sampling.layout;
    std::uintptr_t frame = innermost_frame(layout, thread_state);
    for (std::size_t skipped = 0; frame != 0 && skipped < kMaxFramesSkipped; ++skipped) {
        if (const std::optional<AllocationSite> site = frame_site(layout, sampling.code_type, frame)) {
            return *site;
        }
        frame = load<std::uintptr_t>(frame + layout.frame_previous);
    }
    return {};
}

void note_allocation(void* address, std::size_t size_bytes) {
    SamplingState& sampling = state();
    if (!sampling.allocations.count(size_bytes)) {
        return;
    }
    const AllocationSite site = innermost_site(sampling);
    const std::int64_t now_ns = monotonic_ns();
    try {
        const std::lock_guard guard(sampling.lock);
        if (!sampling.sampling.load(std::memory_order_relaxed)) {
            return;
        }
        bool is_new = false;
        const std::uint32_t index = sampling.allocations.site_index(site, is_new);
        if (is_new && site.code != 0) {
            auto* code = reinterpret_cast<PyObject*>(site.code);  // NOLINT(performance-no-int-to-ptr)
            sampling.pinned.push_back(code);
            Py_IncRef(code);  // kept alive for its names and lines: no allocation, GIL held
        }
        sampling.allocations.add(reinterpret_cast<std::uintptr_t>(address), size_bytes, index, now_ns);
    } catch (const std::exception&) {
        // Out of memory for the sample's record: the allocation itself stands; it goes unsampled.
    }
}

void forget_allocation(void* address) {
    SamplingState& sampling = state();
    const auto place = reinterpret_cast<std::uintptr_t>(address);
    if (address == nullptr || !sampling.allocations.may_hold(place)) {
        return;
    }
    const std::lock_guard guard(sampling.lock);
    sampling.allocations.remove(place);
}

void* hook_malloc(void* context, std::size_t size) {
    auto* hook = static_cast<Hook*>(context);
    void* address = hook->previous.malloc(hook->previous.ctx, size);
    if (address != nullptr && hook->enabled.load(std::memory_order_relaxed)) {
        note_allocation(address, size);
    }
    return address;
}

void* hook_calloc(void* context, std::size_t count, std::size_t size) {
    auto* hook = static_cast<Hook*>(context);
    void* address = hook->previous.calloc(hook->previous.ctx, count, size);
    if (address != nullptr && hook->enabled.load(std::memory_order_relaxed)) {
        note_allocation(address, count * size);  // no overflow: the allocation succeeded
    }
    return address;
}

void* hook_realloc(void* context, void* address, std::size_t new_size) {
    auto* hook = static_cast<Hook*>(context);
    void* moved = hook->previous.realloc(hook->previous.ctx, address, new_size);
    if (moved != nullptr && hook->enabled.load(std::memory_order_relaxed)) {
        // The old block is gone (or is the new one): a new block of the new size.
        forget_allocation(address);
        note_allocation(moved, new_size);
    }
    return moved;
}

void hook_free(void* context, void* address) {
    auto* hook = static_cast<Hook*>(context);
    if (hook->enabled.load(std::memory_order_relaxed)) {
        forget_allocation(address);
    }
    hook->previous.free(hook->previous.ctx, address);
}

Hook* install_hook(const AllocatorAccess& access, AllocatorDomain domain) {
    Hook* hook = state().hooks.emplace_back(std::make_unique<Hook>()).get();
    hook->domain = domain;
    access.get(domain, &hook->previous);
    MemoryAllocator ours{hook, hook_malloc, hook_calloc, hook_realloc, hook_free};
    access.set(domain, &ours);
    return hook;
}

// True when the hook was still the domain's allocator and is now out of the chain.
bool remove_hook(const AllocatorAccess& access, Hook* hook) {
    hook->enabled.store(false, std::memory_order_relaxed);
    MemoryAllocator current{};
    access.get(hook->domain, &current);
    if (current.ctx != hook || current.malloc != hook_malloc) {
        return false;  // wrapped by another: it stays, passing calls on
    }
    access.set(hook->domain, &hook->previous);
    return true;
}

// The sites from `first` on, copied under the lock: resolving them runs Python code.
std::vector<AllocationSite> copy_sites(SamplingState& sampling, std::size_t first) {
    const std::lock_guard guard(sampling.lock);
    const std::vector<AllocationSite>& sites = sampling.allocations.sites();
    return {sites.begin() + static_cast<std::ptrdiff_t>(std::min(first, sites.size())), sites.end()};
}

// A str attribute of a code object, or null; never leaves an exception set.
Ref code_attribute(PyObject* code, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(code, name));
    if (!value) {
        PyErr_Clear();
    }
    return value;
}

const SamplingState::CodeLines& code_lines(SamplingState& sampling, std::uintptr_t code_address) {
    if (const auto found = sampling.code_lines.find(code_address); found != sampling.code_lines.end()) {
        return found->second;
    }
    auto* code = reinterpret_cast<PyObject*>(code_address);  // NOLINT(performance-no-int-to-ptr): pinned
    SamplingState::CodeLines lines;
    lines.file = code_attribute(code, "co_filename");
    if (lines.file && !PyUnicode_CheckExact(lines.file.get())) {
        lines.file.reset();
    }
    const Ref first_line = code_attribute(code, "co_firstlineno");
    const Ref table = code_attribute(code, "co_linetable");
    if (first_line && PyLong_Check(first_line.get())) {
        lines.first_line = static_cast<std::int32_t>(PyLong_AsLong(first_line.get()));
        PyErr_Clear();
    }
    if (table && PyBytes_Check(table.get())) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(table.get()));
        lines.lines = decode_line_table(sampling.layout.line_table_format,
                                        {data, static_cast<std::size_t>(PyBytes_Size(table.get()))}, lines.first_line);
    }
    return sampling.code_lines.emplace(code_address, std::move(lines)).first->second;
}

// Resolves the sites not resolved yet; their code objects are pinned until stop.
void resolve_new_sites(SamplingState& sampling) {
    for (const AllocationSite& site : copy_sites(sampling, sampling.resolved.size())) {
        ResolvedSite resolved;
        if (site.code == 0) {
            resolved.file = Ref::steal(PyUnicode_FromString("<unknown>"));
            resolved.line = 0;
        } else {
            const SamplingState::CodeLines& lines = code_lines(sampling, site.code);
            const std::int64_t offset = bytecode_offset(sampling.layout, site.code, site.instruction);
            resolved.file = Ref::borrow(lines.file.get());
            resolved.line = line_at(lines.lines, static_cast<std::int32_t>(offset), lines.first_line);
        }
        if (!resolved.file) {
            PyErr_Clear();
        }
        sampling.resolved.push_back(std::move(resolved));
    }
}

// A forked child is not the process being profiled: its hooks only pass calls on. Flags only:
// nothing else is safe between fork() and the child's return from it.
void stop_in_forked_child() {
    SamplingState& sampling = state();
    sampling.sampling.store(false, std::memory_order_relaxed);
    for (Hook* hook : {sampling.memory_hook, sampling.object_hook}) {
        if (hook != nullptr) {
            hook->enabled.store(false, std::memory_order_relaxed);
        }
    }
}

}  // namespace

std::optional<std::string> start_allocation_sampling(const StackReaderPlace& place, std::int64_t mean_interval_bytes) {
    const AllocatorAccess access = allocator_access();
    if (access.get == nullptr || access.set == nullptr) {
        return "this interpreter does not export its allocator hooks";
    }
    SamplingState& sampling = state();
    if (sampling.sampling.load(std::memory_order_relaxed)) {
        return "allocations are sampled already";
    }
    static const bool fork_handled = pthread_atfork(nullptr, nullptr, stop_in_forked_child) == 0;
    if (!fork_handled) {
        return "no handler could be set for a fork";
    }
    {
        const std::lock_guard guard(sampling.lock);
        sampling.allocations.reset(mean_interval_bytes, static_cast<std::uint64_t>(monotonic_ns()));
    }
    sampling.resolved.clear();
    sampling.code_lines.clear();
    sampling.layout = place.layout;
    sampling.code_type = place.types.code;
    sampling.memory_hook = install_hook(access, AllocatorDomain::Memory);
    sampling.object_hook = install_hook(access, AllocatorDomain::Object);
    sampling.sampling.store(true, std::memory_order_relaxed);
    return std::nullopt;
}

bool stop_allocation_sampling() {
    SamplingState& sampling = state();
    if (!sampling.sampling.load(std::memory_order_relaxed)) {
        return true;
    }
    // Names and lines are read while the code objects are still pinned; the totals stay
    // readable until the next start.
    resolve_new_sites(sampling);
    const AllocatorAccess access = allocator_access();
    const bool memory_removed = remove_hook(access, std::exchange(sampling.memory_hook, nullptr));
    const bool object_removed = remove_hook(access, std::exchange(sampling.object_hook, nullptr));
    sampling.sampling.store(false, std::memory_order_relaxed);
    std::vector<PyObject*> pinned;
    {
        const std::lock_guard guard(sampling.lock);
        pinned.swap(sampling.pinned);
    }
    // Outside the lock: a code object freed here goes through the allocator's hooks.
    sampling.code_lines.clear();
    for (PyObject* code : pinned) {
        Py_DecRef(code);
    }
    return memory_removed && object_removed;
}

SampledTotals sampled_totals() {
    SamplingState& sampling = state();
    SampledTotals totals;
    if (sampling.sampling.load(std::memory_order_relaxed)) {
        resolve_new_sites(sampling);
    }
    const std::lock_guard guard(sampling.lock);
    totals.live = sampling.allocations.live();
    totals.at_peak = sampling.allocations.at_peak();
    totals.live_bytes = sampling.allocations.live_bytes();
    totals.held_bytes = static_cast<std::int64_t>(sampling.allocations.held_bytes());
    for (const ResolvedSite& site : sampling.resolved) {
        totals.sites.push_back(ResolvedSite{Ref::borrow(site.file.get()), site.line});
    }
    return totals;
}

}  // namespace kulvo::py
