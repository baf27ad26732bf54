// The cache-bypassing copy gives exactly memcpy's bytes, whatever the
// alignment of either end and the length left over after the whole lines.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/stream_copy.h"

TEST(StreamCopy, EqualsMemcpyAtEveryAlignmentAndLength) {
    std::vector<uint8_t> from(512), to(512), expected(512);
    for (size_t i = 0; i < from.size(); ++i)
        from[i] = uint8_t(i * 37 + 11);
    for (size_t to_at : {0, 1, 8, 15}) {
        for (size_t from_at : {0, 3, 16}) {
            for (size_t bytes : {0, 1, 15, 16, 63, 64, 65, 127, 200, 431}) {
                std::fill(to.begin(), to.end(), uint8_t(0xA5));
                expected = to;
                std::memcpy(expected.data() + to_at, from.data() + from_at, bytes);
                memory::StreamCopy(to.data() + to_at, from.data() + from_at, bytes);
                memory::StreamFence();
                ASSERT_EQ(to, expected) << to_at << " " << from_at << " " << bytes;
            }
        }
    }
}
