// The buffer sets: indices, allocation on first use and growth.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "host/buffers.h"

namespace {

class BufferSetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ReleaseBuffers();
        std::memset(&frame, 0, sizeof frame);
        frame.max_w = 4;
        frame.max_h = 3;
        edit.resize(12);
        temp.resize(12);
        frame.edit_pixels = edit.data();
        frame.temp_pixels = temp.data();
        SetUpImageBuffers(&frame);
    }
    void TearDown() override { ReleaseBuffers(); }
    FrameInfo frame;
    std::vector<PixelYC> edit, temp;
};

TEST_F(BufferSetTest, IndicesOutsideZeroToNineFail) {
    for (int32_t bad : {-1, 10, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(AcquireImageBuffer(bad), nullptr) << bad;
        EXPECT_EQ(AcquireAudioBuffer(bad), nullptr) << bad;
    }
}

TEST_F(BufferSetTest, HostImagesAreEntriesZeroAndOne) {
    EXPECT_EQ(AcquireImageBuffer(0), edit.data());
    EXPECT_EQ(AcquireImageBuffer(1), temp.data());
}

TEST_F(BufferSetTest, OwnedImagesStartBlackAndKeepTheirContents) {
    PixelYC* b = AcquireImageBuffer(5);
    ASSERT_NE(b, nullptr);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(b[i].y | b[i].cb | b[i].cr, 0);
    b[11].y = 77;
    EXPECT_EQ(AcquireImageBuffer(5), b);
    EXPECT_EQ(AcquireImageBuffer(5)[11].y, 77);
}

TEST_F(BufferSetTest, LargerFramesGetALargerZeroFilledBuffer) {
    PixelYC* small = AcquireImageBuffer(2);
    ASSERT_NE(small, nullptr);
    small[0].y = 9;
    frame.max_w = 40;
    frame.max_h = 30;
    edit.resize(1200);
    temp.resize(1200);
    frame.edit_pixels = edit.data();
    frame.temp_pixels = temp.data();
    SetUpImageBuffers(&frame);
    PixelYC* large = AcquireImageBuffer(2);
    ASSERT_NE(large, nullptr);
    EXPECT_EQ(g_image_buffers.capacity_bytes[2], 1200 * sizeof(PixelYC));
    for (int i = 0; i < 1200; ++i)
        ASSERT_EQ(large[i].y, 0);
}

TEST_F(BufferSetTest, AudioBuffersHoldTwoBlocksAndTheWorkBufferFour) {
    FrameInfo call;
    std::memset(&call, 0, sizeof call);
    std::vector<int16_t> block(2 * 100);
    call.audio_samples = block.data();
    call.sample_count = 100;
    call.channel_count = 2;
    ASSERT_TRUE(SetUpAudioBuffers(&call));
    EXPECT_EQ(AcquireAudioBuffer(0), block.data());
    ASSERT_NE(AcquireAudioBuffer(1), nullptr);
    EXPECT_EQ(g_audio_buffers.capacity_bytes[1], 2u * 100 * 2 * 2);
    EXPECT_EQ(g_audio_work_bytes, 4u * 100 * 2 * 2);
    // A longer block later grows both.
    std::vector<int16_t> longer(2 * 300);
    call.audio_samples = longer.data();
    call.sample_count = 300;
    ASSERT_TRUE(SetUpAudioBuffers(&call));
    ASSERT_NE(AcquireAudioBuffer(1), nullptr);
    EXPECT_EQ(g_audio_buffers.capacity_bytes[1], 2u * 300 * 2 * 2);
    EXPECT_EQ(g_audio_work_bytes, 4u * 300 * 2 * 2);
}

// Full-frame buffers and scratch blocks come from mapped memory: all zero at
// first use, and again after a release, whatever an earlier render wrote.
TEST_F(BufferSetTest, FullFrameBuffersStartBlackAfterEveryRelease) {
    frame.max_w = 1920;
    frame.max_h = 1080;
    SetUpImageBuffers(&frame);  // entries 0 and 1 are not touched here
    const size_t pixels = size_t(1920) * 1080;
    for (int round = 0; round < 2; ++round) {
        for (int32_t index : {2, 9}) {
            PixelYC* b = AcquireImageBuffer(index);
            ASSERT_NE(b, nullptr) << index;
            size_t nonzero = 0;
            for (size_t i = 0; i < pixels; ++i)
                nonzero += (b[i].y | b[i].cb | b[i].cr) != 0;
            EXPECT_EQ(nonzero, 0u) << "buffer " << index << " round " << round;
            std::memset(b, 0x5A, pixels * sizeof(PixelYC));
        }
        void* scratch = AcquireScratch(kScratchDefocus, pixels * sizeof(PixelYC));
        ASSERT_NE(scratch, nullptr);
        std::memset(scratch, 0x5A, pixels * sizeof(PixelYC));
        EXPECT_EQ(AcquireScratch(kScratchDefocus, 16), scratch) << "kept while large enough";
        ReleaseBuffers();
        SetUpImageBuffers(&frame);
    }
}

}  // namespace
