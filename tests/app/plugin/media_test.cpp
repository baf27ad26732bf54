// The media and image services: other clips and still pictures.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>

extern "C" {
#include <libavutil/crc.h>
#include <libswscale/swscale.h>
}

#include "fixtures/clips.h"
#include "plugin/media_services.h"
#include "output/output_file.h"
#include "render/render.h"
#include "plugin/services.h"
#include "video/pixel.h"

namespace {

using apptest::ClipSpec;
using apptest::MakeClip;
using apptest::SampleAt;
using apptest::TempDir;

const PixelYC kSentinel{-7, 7, -7};

class MediaFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        FillHostServices(&services_);
        MediaServices::Bind(&media_);
        UseBuffer(80, 60);
        media_.SetAudioBlock(1600);
    }
    void TearDown() override { MediaServices::Bind(nullptr); }

    void UseBuffer(int32_t w, int32_t h) {
        max_w_ = w;
        max_h_ = h;
        media_.SetBufferSize(w, h);
        buffer_.assign(size_t(w) * h, kSentinel);
    }
    bool IsSentinel(int32_t x, int32_t y) const {
        const PixelYC& p = buffer_[size_t(y) * max_w_ + x];
        return p.y == kSentinel.y && p.cb == kSentinel.cb && p.cr == kSentinel.cr;
    }
    PixelYC At(int32_t x, int32_t y) const { return buffer_[size_t(y) * max_w_ + x]; }
    void* Open(const std::string& path) {
        SourceInfo info;
        return services_.open_media_file(path.c_str(), &info, 0);
    }

    TempDir dir_;
    MediaServices media_;
    HostServices services_;
    int32_t max_w_ = 0, max_h_ = 0;
    std::vector<PixelYC> buffer_;
};

TEST_F(MediaFiles, FramesAreExactInAnyOrderAndDrawnTopLeft) {
    ClipSpec spec;
    spec.frames = 20;
    spec.lossless = false;  // H.264 with B-frames
    ASSERT_TRUE(MakeClip(dir_ / "clip.mp4", spec));
    SourceInfo info;
    void* handle = services_.open_media_file((dir_ / "clip.mp4").c_str(), &info, 0);
    ASSERT_NE(handle, nullptr);
    EXPECT_STREQ(info.path, (dir_ / "clip.mp4").c_str());
    EXPECT_EQ(info.audio_rate, 48000);
    for (int32_t f : {0, 1, 2, 3, 15, 4, 19, 9, 8, 12, 12, 0}) {
        ASSERT_EQ(services_.read_media_frame(handle, buffer_.data(), f), 1) << f;
        EXPECT_EQ(apptest::ReadFrameNumber(buffer_.data(), 64, max_w_), f);
    }
    // The 64x48 picture leaves the rest of the 80x60 buffer as it was.
    EXPECT_FALSE(IsSentinel(63, 47));
    EXPECT_TRUE(IsSentinel(64, 0));
    EXPECT_TRUE(IsSentinel(0, 48));
    EXPECT_TRUE(IsSentinel(79, 59));
    EXPECT_EQ(services_.close_media_file(handle), 1);
}

TEST_F(MediaFiles, FramesOutsideTheFileWriteNothing) {
    ClipSpec spec;
    spec.frames = 5;
    ASSERT_TRUE(MakeClip(dir_ / "clip.mkv", spec));
    void* handle = Open(dir_ / "clip.mkv");
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(services_.read_media_frame(handle, buffer_.data(), 5), 0);
    EXPECT_EQ(services_.read_media_frame(handle, buffer_.data(), -1), 0);
    EXPECT_TRUE(std::all_of(buffer_.begin(), buffer_.end(), [](const PixelYC& p) {
        return p.y == kSentinel.y && p.cb == kSentinel.cb;
    }));
}

TEST_F(MediaFiles, LargerPicturesAreCutAtTheBufferEdges) {
    ClipSpec spec;
    spec.frames = 3;
    ASSERT_TRUE(MakeClip(dir_ / "clip.mkv", spec));
    std::vector<PixelYC> whole(80 * 60, kSentinel);
    void* handle = Open(dir_ / "clip.mkv");
    ASSERT_EQ(services_.read_media_frame(handle, whole.data(), 2), 1);
    UseBuffer(40, 30);
    ASSERT_EQ(services_.read_media_frame(handle, buffer_.data(), 2), 1);
    for (int32_t y = 0; y < 30; ++y) {
        for (int32_t x = 0; x < 40; ++x) {
            ASSERT_EQ(At(x, y).y, whole[size_t(y) * 80 + x].y) << x << "," << y;
            ASSERT_EQ(At(x, y).cr, whole[size_t(y) * 80 + x].cr) << x << "," << y;
        }
    }
}

// A file read in order, each frame with one K frames back (within the two
// seconds each open file keeps as decoded) and some read again, decodes each
// of its frames once.
TEST_F(MediaFiles, FramesReadInOrderWithALookBackAreDecodedOnce) {
    ClipSpec spec;
    spec.frames = 40;
    ASSERT_TRUE(MakeClip(dir_ / "clip.mkv", spec));
    for (int32_t k : {0, 1, 10, 30}) {
        void* handle = Open(dir_ / "clip.mkv");
        int64_t decoded = media_.frames_decoded();
        for (int32_t f = 0; f < spec.frames; ++f) {
            for (int32_t g : {f, f - k, f}) {
                if (g < 0) continue;
                ASSERT_EQ(services_.read_media_frame(handle, buffer_.data(), g), 1);
                EXPECT_EQ(apptest::ReadFrameNumber(buffer_.data(), 64, max_w_), g) << k;
            }
        }
        EXPECT_EQ(media_.frames_decoded() - decoded, spec.frames) << "looking back " << k;
        services_.close_media_file(handle);
    }
}

TEST_F(MediaFiles, AudioOfAFrameInTheFormatSet) {
    ClipSpec spec;
    spec.frames = 6;
    ASSERT_TRUE(MakeClip(dir_ / "clip.mkv", spec));
    void* handle = Open(dir_ / "clip.mkv");
    std::vector<int16_t> block(2 * 1600 * 2 + 8, 99);

    // The file's own format: exact samples.
    EXPECT_EQ(services_.set_media_audio_format(handle, 48000, 2), 1);
    EXPECT_EQ(services_.read_media_audio(handle, block.data(), 3), 1600);
    EXPECT_EQ(block[0], SampleAt(4800, 0));
    EXPECT_EQ(block[3199], SampleAt(6399, 1));
    EXPECT_EQ(block[3200], 99);  // nothing past the frame's samples

    // Another rate and one channel: the frame's share at that rate.
    std::fill(block.begin(), block.end(), 99);
    services_.set_media_audio_format(handle, 24000, 1);
    EXPECT_EQ(services_.read_media_audio(handle, block.data(), 2), 800);
    EXPECT_EQ(block[800], 99);
    EXPECT_TRUE(std::any_of(block.begin(), block.begin() + 800, [](int16_t s) { return s != 0; }));

    // Never more than two blocks of the current audio call.
    std::fill(block.begin(), block.end(), 99);
    services_.set_media_audio_format(handle, 48000, 2);
    media_.SetAudioBlock(500);
    EXPECT_EQ(services_.read_media_audio(handle, block.data(), 1), 1000);
    EXPECT_EQ(block[1999], SampleAt(1600 + 999, 1));
    EXPECT_EQ(block[2000], 99);

    // Frames outside the file, and files without audio, write nothing.
    std::fill(block.begin(), block.end(), 99);
    EXPECT_EQ(services_.read_media_audio(handle, block.data(), 6), 0);
    EXPECT_EQ(services_.read_media_audio(handle, block.data(), -1), 0);
    ClipSpec silent;
    silent.frames = 2;
    silent.audio_rate = 0;
    ASSERT_TRUE(MakeClip(dir_ / "silent.mkv", silent));
    void* quiet = Open(dir_ / "silent.mkv");
    ASSERT_NE(quiet, nullptr);
    services_.set_media_audio_format(quiet, 48000, 2);
    EXPECT_EQ(services_.read_media_audio(quiet, block.data(), 0), 0);
    EXPECT_TRUE(std::all_of(block.begin(), block.end(), [](int16_t s) { return s == 99; }));
}

// A 32x24 picture of four quadrants: red, green / blue, white (8-bit RGB).
const uint8_t kQuadrants[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};

int Quadrant(int32_t x, int32_t y) {
    return (y >= 12 ? 2 : 0) + (x >= 16 ? 1 : 0);
}

bool WriteQuadrantImage(const std::string& path) {
    OutputFile out;
    EncodeSettings settings;
    settings.audio = false;
    std::string error;
    if (!out.Create(path, settings, &error) ||
        !out.Start(32, 24, AVRational{1, 1}, ColourSpec{AVCOL_SPC_BT470BG, AVCOL_RANGE_JPEG},
                   AV_PIX_FMT_RGB24, 0, 0, &error)) {
        ADD_FAILURE() << path << ": " << error;
        return false;
    }
    FramePtr rgb(av_frame_alloc());
    rgb->format = AV_PIX_FMT_RGB24;
    rgb->width = 32;
    rgb->height = 24;
    av_frame_get_buffer(rgb.get(), 0);
    for (int y = 0; y < 24; ++y) {
        for (int x = 0; x < 32; ++x)
            std::memcpy(rgb->data[0] + y * rgb->linesize[0] + 3 * x, kQuadrants[Quadrant(x, y)], 3);
    }
    FramePtr frame(av_frame_alloc());
    frame->format = out.pixel_format();
    frame->width = 32;
    frame->height = 24;
    frame->color_range = AVCOL_RANGE_JPEG;
    av_frame_get_buffer(frame.get(), 0);
    SwsContext* sws = sws_getContext(32, 24, AV_PIX_FMT_RGB24, 32, 24, out.pixel_format(),
                                     SWS_POINT, nullptr, nullptr, nullptr);
    sws_scale(sws, rgb->data, rgb->linesize, 0, 24, frame->data, frame->linesize);
    sws_freeContext(sws);
    if (!out.WriteFrame(frame.get(), &error) || !out.Finish(&error)) {
        ADD_FAILURE() << path << ": " << error;
        return false;
    }
    return true;
}

struct ImageCase {
    const char* name;
    const char* file;
    int tolerance;  // 0 for lossless formats; lossy ones keep colours within this
};

// CTest and failure messages show the case by its name, not its bytes.
void PrintTo(const ImageCase& c, std::ostream* os) {
    *os << c.name;
}

class ImageFiles : public MediaFiles, public ::testing::WithParamInterface<ImageCase> {};

TEST_P(ImageFiles, KnownColoursLandTopLeftAndCut) {
    const ImageCase& c = GetParam();
    std::string path = dir_ / c.file;
    ASSERT_TRUE(WriteQuadrantImage(path));
    int32_t w = 0, h = 0;
    ASSERT_EQ(services_.load_image_file(buffer_.data(), path.c_str(), &w, &h, 0), 1);
    EXPECT_EQ(w, 32);
    EXPECT_EQ(h, 24);
    // Quadrant centres: 8-bit v becomes v * 4096 / 255, then RGBToYC.
    const int32_t centres[4][2] = {{8, 6}, {24, 6}, {8, 18}, {24, 18}};
    for (int q = 0; q < 4; ++q) {
        const uint8_t* rgb = kQuadrants[q];
        PixelYC expected = RGBToYC(rgb[0] * 4096 / 255, rgb[1] * 4096 / 255, rgb[2] * 4096 / 255);
        PixelYC got = At(centres[q][0], centres[q][1]);
        EXPECT_NEAR(got.y, expected.y, c.tolerance) << c.name << " quadrant " << q;
        EXPECT_NEAR(got.cb, expected.cb, 2 * c.tolerance) << c.name << " quadrant " << q;
        EXPECT_NEAR(got.cr, expected.cr, 2 * c.tolerance) << c.name << " quadrant " << q;
    }
    EXPECT_TRUE(IsSentinel(32, 0));
    EXPECT_TRUE(IsSentinel(0, 24));

    // A smaller buffer takes the top-left part only.
    UseBuffer(20, 10);
    ASSERT_EQ(services_.load_image_file(buffer_.data(), path.c_str(), nullptr, nullptr, 0), 1);
    PixelYC red = RGBToYC(4096, 0, 0);
    EXPECT_NEAR(At(5, 5).y, red.y, c.tolerance);
    PixelYC green = RGBToYC(0, 4096, 0);
    EXPECT_NEAR(At(19, 5).y, green.y, c.tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ImageFiles,
    ::testing::Values(ImageCase{"png", "picture.png", 0}, ImageCase{"bmp", "picture.bmp", 0},
                      ImageCase{"tiff", "picture.tiff", 0},
                      // FFmpeg's GIF writer packs colours into
                      // 3-3-2 bits: full red comes back as 252.
                      ImageCase{"gif", "picture.gif", 48}, ImageCase{"jpeg", "picture.jpg", 160},
                      ImageCase{"webp", "picture.webp", 160}),
    [](const ::testing::TestParamInfo<ImageCase>& info) { return info.param.name; });

TEST_F(MediaFiles, BadFilesFailQuietlyWithOneWarningEach) {
    ClipSpec spec;
    spec.frames = 30;
    ASSERT_TRUE(MakeClip(dir_ / "clip.mkv", spec));
    // A clip cut to a third of its bytes, and files of junk.
    {
        std::ifstream in(dir_ / "clip.mkv", std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        apptest::WriteFile(dir_ / "cut.mkv", bytes.substr(0, bytes.size() / 3));
    }
    apptest::WriteFile(dir_ / "junk.png", std::string(300, '\x5a'));
    apptest::WriteFile(dir_ / "junk.mkv", "\x1a\x45\xdf\xa3 not really");

    testing::internal::CaptureStderr();
    std::vector<PixelYC> before = buffer_;
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(services_.load_image_file(buffer_.data(), (dir_ / "none.png").c_str(), nullptr,
                                            nullptr, 0),
                  0);
        EXPECT_EQ(services_.load_image_file(buffer_.data(), (dir_ / "junk.png").c_str(), nullptr,
                                            nullptr, 0),
                  0);
        EXPECT_EQ(Open(dir_ / "none.mkv"), nullptr);
        EXPECT_EQ(Open(dir_ / "junk.mkv"), nullptr);
    }
    EXPECT_TRUE(std::equal(before.begin(), before.end(), buffer_.begin(),
                           [](const PixelYC& a, const PixelYC& b) { return a.y == b.y; }));
    // The cut clip opens with the frames that are left, or not at all; every
    // frame asked for is drawn or leaves the buffer alone.
    void* cut = Open(dir_ / "cut.mkv");
    if (cut != nullptr) {
        for (int32_t f = 0; f < 30; ++f)
            services_.read_media_frame(cut, buffer_.data(), f);
    }
    std::string text = testing::internal::GetCapturedStderr();
    for (const char* name : {"none.png", "junk.png", "none.mkv", "junk.mkv"}) {
        size_t first = text.find(dir_ / name);
        EXPECT_NE(first, std::string::npos) << name << "\n" << text;
        EXPECT_EQ(text.find(dir_ / name, first + 1), std::string::npos) << name << "\n" << text;
    }
}

TEST_F(MediaFiles, ClosedAndUnknownHandlesAreRefused) {
    ClipSpec spec;
    spec.frames = 2;
    ASSERT_TRUE(MakeClip(dir_ / "clip.mkv", spec));
    void* handle = Open(dir_ / "clip.mkv");
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(services_.close_media_file(handle), 1);
    EXPECT_EQ(services_.close_media_file(handle), 0);
    EXPECT_EQ(services_.read_media_frame(handle, buffer_.data(), 0), 0);
    int16_t samples[8];
    EXPECT_EQ(services_.read_media_audio(&spec, samples, 0), 0);
    EXPECT_EQ(Open(""), nullptr);
}

// A script that reads a second clip and a picture, rendered end to end.
TEST(MediaRender, ScriptReadsASecondClipAndAPicture) {
    TempDir dir;
    ClipSpec spec;
    spec.width = 128;
    spec.height = 96;
    spec.frames = 4;
    ASSERT_TRUE(MakeClip(dir / "source.mkv", spec));
    spec.frames = 10;
    ASSERT_TRUE(MakeClip(dir / "other.mkv", spec));
    ASSERT_TRUE(WriteQuadrantImage(dir / "pic.png"));
    apptest::WriteFile(dir / "kinetra.txt",
                       "readvideo(0, f+2, other.mkv)\nreadimage(0, pic.png)\n");
    RenderSettings o;
    o.source = dir / "source.mkv";
    o.output = dir / "out.mkv";
    o.quiet = true;
    o.encode.lossless = true;
    o.plugin = KINETRA_PLUGIN_PATH;
    ASSERT_EQ(RunRender(o), kExitOk);
    std::vector<AVFrame*> out = apptest::DecodeAllFrames(dir / "out.mkv");
    ASSERT_EQ(out.size(), 4u);
    std::vector<PictureYC> pictures(4);
    for (int32_t f = 0; f < 4; ++f) {
        pictures[f].Resize(128, 96);
        ToYCConverter converter;
        ASSERT_TRUE(converter.Convert(out[f], pictures[f].pixels.data(), 128));
    }
    apptest::FreeFrames(&out);
    // Row 30 lies in the bars, below the 32x24 picture.
    PixelYC red = RGBToYC(4096, 0, 0);
    for (int32_t f = 0; f < 4; ++f) {
        EXPECT_EQ(apptest::ReadFrameNumber(pictures[f].pixels.data() + 30 * 128, 128, 128), f + 2);
        EXPECT_NEAR(pictures[f].pixels[6 * 128 + 8].y, red.y, 24) << "frame " << f;
        EXPECT_NEAR(pictures[f].pixels[6 * 128 + 8].cr, red.cr, 48) << "frame " << f;
    }
}

}  // namespace

namespace {

// Names that are no regular files are refused at once (a FIFO would block
// the render in open(), a device never end), with one warning each.
TEST_F(MediaFiles, OnlyRegularFilesAreOpened) {
    ASSERT_EQ(mkfifo((dir_ / "fifo.mkv").c_str(), 0644), 0);
    ASSERT_EQ(mkdir((dir_ / "folder.png").c_str(), 0755), 0);
    const struct {
        std::string path;
        const char* reason;
    } cases[] = {
        {dir_ / "fifo.mkv", "not a regular file"},
        {dir_ / "folder.png", "is a directory"},
        {"/dev/zero", "not a regular file"},
    };
    int64_t tried = media_.files_tried();
    testing::internal::CaptureStderr();
    for (int round = 0; round < 2; ++round) {
        for (const auto& c : cases) {
            EXPECT_EQ(Open(c.path), nullptr) << c.path;
            EXPECT_EQ(
                services_.load_image_file(buffer_.data(), c.path.c_str(), nullptr, nullptr, 0), 0)
                << c.path;
        }
    }
    std::string text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(media_.files_tried(), tried);
    for (const auto& c : cases) {
        std::string line = "kinetra: warning: " + c.path + ": " + c.reason;
        size_t first = text.find(line);
        EXPECT_NE(first, std::string::npos) << text;
        EXPECT_EQ(text.find(c.path, first + line.size()), std::string::npos) << text;
    }
}

// Sets a file's modification time `seconds` ahead of now, so that a rewrite
// within the clock's resolution still counts as a change.
void TouchAhead(const std::string& path, int seconds) {
    struct timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec += seconds;
    times[1] = times[0];
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// A file that failed is not tried again on every frame, only once it changed.
TEST_F(MediaFiles, FailedOpensAreRememberedUntilTheFileChanges) {
    apptest::WriteFile(dir_ / "later.mkv", "not a clip yet");
    apptest::WriteFile(dir_ / "later.png", "not a picture yet");
    int64_t tried = media_.files_tried();
    testing::internal::CaptureStderr();
    for (int frame = 0; frame < 5; ++frame) {
        EXPECT_EQ(Open(dir_ / "later.mkv"), nullptr);
        EXPECT_EQ(services_.load_image_file(buffer_.data(), (dir_ / "later.png").c_str(), nullptr,
                                            nullptr, 0),
                  0);
        EXPECT_EQ(Open(dir_ / "missing.mkv"), nullptr);
    }
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(media_.files_tried(), tried + 2);

    ClipSpec spec;
    spec.frames = 2;
    ASSERT_TRUE(MakeClip(dir_ / "later.mkv", spec));
    ASSERT_TRUE(MakeClip(dir_ / "missing.mkv", spec));
    ASSERT_TRUE(WriteQuadrantImage(dir_ / "later.png"));
    TouchAhead(dir_ / "later.mkv", 2);
    TouchAhead(dir_ / "later.png", 2);
    void* clip = Open(dir_ / "later.mkv");
    EXPECT_NE(clip, nullptr);
    EXPECT_NE(Open(dir_ / "missing.mkv"), nullptr);
    EXPECT_EQ(services_.load_image_file(buffer_.data(), (dir_ / "later.png").c_str(), nullptr,
                                        nullptr, 0),
              1);
}

// A picture is decoded once per name and modification, however many frames
// read it; a changed file is read again.
TEST_F(MediaFiles, PicturesAreDecodedOncePerChange) {
    ClipSpec spec;
    spec.width = 80;
    spec.height = 60;
    spec.frames = 1;
    spec.audio_rate = 0;
    ASSERT_TRUE(MakeClip(dir_ / "numbered.png", spec));
    int64_t decoded = media_.pictures_decoded();
    const std::string path = dir_ / "numbered.png";
    for (int frame = 0; frame < 4; ++frame) {
        buffer_.assign(buffer_.size(), kSentinel);
        ASSERT_EQ(services_.load_image_file(buffer_.data(), path.c_str(), nullptr, nullptr, 0), 1);
        EXPECT_EQ(apptest::ReadFrameNumber(buffer_.data(), max_w_, max_w_), 0);
    }
    EXPECT_EQ(media_.pictures_decoded(), decoded + 1);
    spec.frames = 6;  // the single picture keeps the last frame: number 5
    ASSERT_TRUE(MakeClip(path, spec));
    TouchAhead(path, 3);
    ASSERT_EQ(services_.load_image_file(buffer_.data(), path.c_str(), nullptr, nullptr, 0), 1);
    EXPECT_EQ(apptest::ReadFrameNumber(buffer_.data(), max_w_, max_w_), 5);
    EXPECT_EQ(media_.pictures_decoded(), decoded + 2);
}

// A few hundred bytes can describe a picture of many gigabytes: above 64
// megapixels a picture is refused, and the warning says so.
TEST_F(MediaFiles, HugePicturesAreRefused) {
    auto chunk = [](const std::string& type, const std::string& data) {
        std::string body = type + data;
        uint32_t crc = ~av_crc(av_crc_get_table(AV_CRC_32_IEEE_LE), 0xFFFFFFFFu,
                               reinterpret_cast<const uint8_t*>(body.data()), body.size());
        auto be32 = [](uint32_t v) {
            return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
        };
        return be32(uint32_t(data.size())) + body + be32(crc);
    };
    auto be32 = [](uint32_t v) {
        return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    };
    // 9000 x 8000, 8-bit RGB, then an empty image stream.
    std::string header = be32(9000) + be32(8000) + std::string("\x08\x02\x00\x00\x00", 5);
    std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) +
                      chunk("IDAT", std::string("\x78\x9c\x03\x00\x00\x00\x00\x01", 8)) +
                      chunk("IEND", "");
    apptest::WriteFile(dir_ / "huge.png", png);
    testing::internal::CaptureStderr();
    EXPECT_EQ(
        services_.load_image_file(buffer_.data(), (dir_ / "huge.png").c_str(), nullptr, nullptr, 0),
        0);
    std::string text = testing::internal::GetCapturedStderr();
    EXPECT_NE(text.find("9000x8000 (72 megapixels); pictures above 64 megapixels are not read"),
              std::string::npos)
        << text;
    EXPECT_TRUE(IsSentinel(0, 0));
}

}  // namespace
