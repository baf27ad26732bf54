#include "common/page_memory.h"

#include <atomic>
#include <cstdlib>

#ifndef _WIN32
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace page_memory {
namespace {

// Kept in front of every block: where its memory came from.
struct alignas(kAlignment) BlockHeader {
    void* base;           // what mmap or calloc returned
    size_t mapped_bytes;  // the mapping's length; 0 for a calloc block
};
static_assert(sizeof(BlockHeader) == kAlignment, "the header keeps the block aligned");

std::atomic<bool> s_refuse_mapping{false};
std::atomic<int64_t> s_blocks_made{0};

BlockHeader* HeaderOf(const void* block) {
    return reinterpret_cast<BlockHeader*>(const_cast<char*>(static_cast<const char*>(block)) -
                                          sizeof(BlockHeader));
}

void* Finish(void* base, size_t mapped_bytes) {
    char* start = static_cast<char*>(base);
    // calloc aligns to 16 bytes only: the header moves the block up to the next
    // boundary (the room for that is part of the calloc size).
    uintptr_t first = reinterpret_cast<uintptr_t>(start) + sizeof(BlockHeader);
    first = (first + kAlignment - 1) & ~uintptr_t(kAlignment - 1);
    BlockHeader* header = reinterpret_cast<BlockHeader*>(first - sizeof(BlockHeader));
    header->base = base;
    header->mapped_bytes = mapped_bytes;
    return reinterpret_cast<void*>(first);
}

void* FromHeap(size_t bytes) {
    size_t extra = sizeof(BlockHeader) + kAlignment;
    if (bytes > std::numeric_limits<size_t>::max() - extra) return nullptr;
    void* base = std::calloc(bytes + extra, 1);
    if (base == nullptr) return nullptr;
    return Finish(base, 0);
}

#ifndef _WIN32

// A private anonymous mapping of `length` bytes (a multiple of the page size)
// whose pages are all present and writable; null when the system refuses.
void* MapPresent(size_t length) {
    if (s_refuse_mapping.load(std::memory_order_relaxed)) return nullptr;
    void* mapped = mmap(nullptr, length, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    return mapped != MAP_FAILED ? mapped : nullptr;
}

#endif

}  // namespace

void* AllocateZeroed(size_t bytes) {
    s_blocks_made.fetch_add(1, std::memory_order_relaxed);
    if (bytes == 0) bytes = 1;
#ifndef _WIN32
    if (bytes >= kMappedFrom && bytes <= std::numeric_limits<size_t>::max() / 2) {
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t length = (bytes + sizeof(BlockHeader) + page - 1) / page * page;
        if (void* base = MapPresent(length)) return Finish(base, length);
    }
#endif
    return FromHeap(bytes);
}

void Release(void* block) {
    if (block == nullptr) return;
    BlockHeader* header = HeaderOf(block);
#ifndef _WIN32
    if (header->mapped_bytes > 0) {
        munmap(header->base, header->mapped_bytes);
        return;
    }
#endif
    std::free(header->base);
}

bool IsMapped(const void* block) {
    return block != nullptr && HeaderOf(block)->mapped_bytes > 0;
}

void RefuseMappingForTesting(bool refuse) {
    s_refuse_mapping.store(refuse, std::memory_order_relaxed);
}

int64_t BlocksMade() {
    return s_blocks_made.load(std::memory_order_relaxed);
}

}  // namespace page_memory
