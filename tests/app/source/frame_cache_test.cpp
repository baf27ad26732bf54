// The frame cache keeps the most recently used frames and reuses the place of
// the least recently used one.
#include <gtest/gtest.h>

#include "source/frame_cache.h"

namespace {

TEST(FrameCache, TheLeastRecentlyUsedFrameMakesRoom) {
    FrameCache<int> cache(2);
    *cache.Take(10) = 100;
    *cache.Take(11) = 110;
    ASSERT_NE(cache.Find(10), nullptr);  // 10 is now the more recent
    int* reused = cache.Take(12);
    EXPECT_EQ(*reused, 110);  // 11's place, as 11 left it
    EXPECT_FALSE(cache.Holds(11));
    EXPECT_TRUE(cache.Holds(10));
    EXPECT_TRUE(cache.Holds(12));

    // Holds does not count as a use; Find does.
    EXPECT_TRUE(cache.Holds(10));
    *reused = 120;
    *cache.Take(13) = 130;  // 10 was used before 12
    EXPECT_FALSE(cache.Holds(10));
    EXPECT_EQ(*cache.Find(12), 120);
}

TEST(FrameCache, ADroppedFrameIsForgottenAndItsPlaceTakenFirst) {
    FrameCache<int> cache(2);
    *cache.Take(1) = 1;
    *cache.Take(2) = 2;
    cache.Drop(2);  // a frame that failed to convert
    EXPECT_EQ(cache.Find(2), nullptr);
    cache.Take(3);
    EXPECT_TRUE(cache.Holds(1));

    cache.set_capacity(3);  // room grows: nothing is dropped
    cache.Take(4);
    EXPECT_TRUE(cache.Holds(1) && cache.Holds(3) && cache.Holds(4));
}

}  // namespace
