// Memory for large pictures and work images, taken straight from the system.
//
// A 1080p picture is 12 MB, about 3000 pages of 4 KiB. Left to the first
// touch, each page costs a trap into the kernel, and a page that is read
// before it is written is first mapped to the shared zero page and then
// copied on the first write, which also flushes the address caches of the
// other processors running the program. On Linux a block from here has all
// its pages present and writable before it is returned: one call instead of
// a fault per page. (Huge pages were measured too: in a render, clearing the
// fresh 2 MiB pages cost more system time than the faults they saved.)
//
// Every byte of a new block is zero. Small blocks, other systems and a refused
// mapping use calloc instead; only a failed calloc returns null.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

namespace page_memory {

// Blocks from this size on are mapped from the system; smaller ones come from
// the heap.
constexpr size_t kMappedFrom = size_t(1) << 20;
// Every block starts on this boundary (a cache line, and a vector register's
// size many times over).
constexpr size_t kAlignment = 64;

// A zero-filled block of `bytes` bytes (at least one), aligned to kAlignment;
// null when no memory is left.
void* AllocateZeroed(size_t bytes);
// Returns a block of AllocateZeroed to the system; null does nothing.
void Release(void* block);

// Blocks asked for since the start (for tests that check storage is reused).
int64_t BlocksMade();
// Whether the block was mapped from the system rather than taken from the heap.
bool IsMapped(const void* block);
// While set, every mapping is treated as refused by the system (for tests of
// the fallback).
void RefuseMappingForTesting(bool refuse);

// A standard allocator over AllocateZeroed whose value-less construct leaves
// the element as its memory holds it (default-initialisation) instead of
// writing zeros: growing a vector of pixels into fresh storage then costs
// nothing beyond the allocation, whose memory is already zero. Growing into
// storage that a vector already had (after it shrank) leaves the old values
// there, so users of such vectors overwrite what they resize.
template <class T>
class PageAllocator {
  public:
    using value_type = T;

    PageAllocator() noexcept = default;
    template <class U>
    PageAllocator(const PageAllocator<U>&) noexcept {}

    T* allocate(size_t count) {
        if (count > std::numeric_limits<size_t>::max() / sizeof(T))
            throw std::bad_array_new_length();
        void* block = AllocateZeroed(count * sizeof(T));
        if (block == nullptr) throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, size_t) noexcept { Release(block); }

    template <class U>
    void construct(U* at) noexcept(std::is_nothrow_default_constructible<U>::value) {
        ::new (static_cast<void*>(at)) U;
    }
    template <class U, class... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }

    template <class U>
    bool operator==(const PageAllocator<U>&) const noexcept {
        return true;
    }
    template <class U>
    bool operator!=(const PageAllocator<U>&) const noexcept {
        return false;
    }
};

}  // namespace page_memory
