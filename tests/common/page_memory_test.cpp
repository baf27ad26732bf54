// Large blocks: zero-filled, aligned and writable whether mapped from the
// system or taken from the heap (also when the system refuses a mapping), and
// vectors over them grow without writing yet read as zero.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/page_memory.h"

namespace {

// Every byte zero, then every byte writable (the last one included).
void ExpectZeroAndWritable(void* block, size_t bytes, const char* label) {
    ASSERT_NE(block, nullptr) << label;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % page_memory::kAlignment, 0u) << label;
    const unsigned char* bytes_in = static_cast<const unsigned char*>(block);
    size_t first_nonzero = bytes;
    for (size_t i = 0; i < bytes && first_nonzero == bytes; ++i) {
        if (bytes_in[i] != 0) first_nonzero = i;
    }
    EXPECT_EQ(first_nonzero, bytes) << label;
    std::memset(block, 0xA5, bytes);
}

TEST(PageMemory, BlocksOfEverySizeAreZeroAlignedAndWritable) {
    struct Case {
        const char* name;
        size_t bytes;
        bool refuse_mapping;
        bool mapped;  // on systems that map at all
    };
    const size_t big = size_t(1920) * 1080 * 6;
    const Case cases[] = {
        {"empty", 0, false, false},
        {"small", 100, false, false},
        {"just below mapping", page_memory::kMappedFrom - 1, false, false},
        {"first mapped size", page_memory::kMappedFrom, false, true},
        {"a 1080p picture", big, false, true},
        {"refused mapping falls back to the heap", big, true, false},
    };
    for (const Case& c : cases) {
        page_memory::RefuseMappingForTesting(c.refuse_mapping);
        // Twice: the second block may reuse what the first one left.
        for (int round = 0; round < 2; ++round) {
            void* block = page_memory::AllocateZeroed(c.bytes);
            ExpectZeroAndWritable(block, c.bytes, c.name);
#ifdef _WIN32
            EXPECT_FALSE(page_memory::IsMapped(block)) << c.name;
#else
            EXPECT_EQ(page_memory::IsMapped(block), c.mapped) << c.name;
#endif
            page_memory::Release(block);
        }
    }
    page_memory::RefuseMappingForTesting(false);
    page_memory::Release(nullptr);
}

TEST(PageMemory, VectorsGrowIntoZeroStorageAndKeepTheirValues) {
    struct Pixel {
        int16_t y, cb, cr;
    };
    for (size_t count : {size_t(10), page_memory::kMappedFrom / sizeof(Pixel) + 1}) {
        std::vector<Pixel, page_memory::PageAllocator<Pixel>> pixels;
        pixels.resize(count);
        ASSERT_EQ(pixels.size(), count);
        for (const Pixel& p : pixels)
            ASSERT_EQ(p.y | p.cb | p.cr, 0) << count;
        pixels[count - 1] = Pixel{1, 2, 3};
        // Growing past the capacity moves the values into new storage.
        pixels.resize(count * 2);
        EXPECT_EQ(pixels[count - 1].cr, 3) << count;
        EXPECT_EQ(pixels[count * 2 - 1].y, 0) << count;
        std::vector<Pixel, page_memory::PageAllocator<Pixel>> filled(count, Pixel{4, 5, 6});
        EXPECT_EQ(filled[count / 2].cb, 5) << count;
    }
}

}  // namespace
