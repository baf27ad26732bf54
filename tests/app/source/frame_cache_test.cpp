// The frame cache keeps the most recently used frames and reuses the place of
// the least recently used one, or first that of a frame that will not be asked
// for again.
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

TEST(FrameCache, AFrameNotAskedForAgainMakesRoomBeforeTheCacheGrows) {
    FrameCache<int> cache(5);
    *cache.Take(10, 0) = 100;
    *cache.Take(11, 10) = 110;  // nothing kept is below 10: a new place
    *cache.Take(12, 10) = 120;
    ASSERT_NE(cache.Find(10), nullptr);  // 10 is now the most recent
    int* reused = cache.Take(13, 12);    // 10 and 11 are stale: 11 was used last longer ago
    EXPECT_EQ(*reused, 110);
    EXPECT_TRUE(cache.Holds(10) && cache.Holds(12) && cache.Holds(13));
    EXPECT_FALSE(cache.Holds(11));
    *cache.Take(14, 11) = 140;  // only 10 is stale now
    EXPECT_FALSE(cache.Holds(10));
    // Without a stale frame the cache grows to its capacity as before.
    cache.Take(15);
    cache.Take(16);
    EXPECT_TRUE(cache.Holds(12) && cache.Holds(13) && cache.Holds(14) && cache.Holds(15) &&
                cache.Holds(16));
}

}  // namespace
