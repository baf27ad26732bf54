// `kinetra render` end to end: the built plug-in on clips made by the tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "fixtures/clips.h"
#include "output/output_file.h"
#include "render/render.h"
#include "source/video_source.h"

namespace {

using apptest::ClipSpec;
using apptest::MakeClip;
using apptest::SampleAt;
using apptest::TempDir;

RenderSettings Options(const std::string& source, const std::string& output) {
    RenderSettings o;
    o.source = source;
    o.output = output;
    o.quiet = true;
    o.encode.lossless = true;
    o.threads = 2;
    o.plugin = KINETRA_PLUGIN_PATH;
    return o;
}

// The YC picture of a decoded frame.
PictureYC ToPicture(const AVFrame* frame) {
    PictureYC p;
    p.Resize(frame->width, frame->height);
    ToYCConverter converter;
    EXPECT_TRUE(converter.Convert(frame, p.pixels.data(), p.width));
    return p;
}

int32_t NumberOf(const AVFrame* frame) {
    PictureYC p = ToPicture(frame);
    return apptest::ReadFrameNumber(p.pixels.data(), p.width, p.width);
}

// A lossless source to render: random samples over the whole coded span
// (superwhite, blacker than black, chroma outside 16..240 and outside the
// RGB cube), of a format, size and colour.
struct LosslessCase {
    const char* name;
    AVPixelFormat format;
    int32_t width, height;
    ColourSpec colour;
};

// The bytes of a frame's planes, row after row (the visible samples only).
std::string PlaneBytes(const AVFrame* f) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(AVPixelFormat(f->format));
    const int bytes = d->comp[0].depth > 8 ? 2 : 1;
    std::string out;
    for (int c = 0; c < 3; ++c) {
        const int w = c == 0 ? f->width : AV_CEIL_RSHIFT(f->width, d->log2_chroma_w);
        const int h = c == 0 ? f->height : AV_CEIL_RSHIFT(f->height, d->log2_chroma_h);
        for (int y = 0; y < h; ++y)
            out.append(reinterpret_cast<const char*>(f->data[c] + y * f->linesize[c]), w * bytes);
    }
    return out;
}

// Writes `frames` random frames of the case with the lossless output; their
// planes go to `planes`.
bool MakeRandomClip(const std::string& path, const LosslessCase& c, int32_t frames,
                    std::vector<std::string>* planes) {
    OutputFile out;
    EncodeSettings settings;
    settings.lossless = true;
    settings.audio = false;
    std::string error;
    if (!out.Create(path, settings, &error) ||
        !out.Start(c.width, c.height, AVRational{25, 1}, c.colour, c.format, 48000, 2, &error)) {
        ADD_FAILURE() << error;
        return false;
    }
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(c.format);
    std::mt19937 rng(planes->size() + 7);
    for (int32_t i = 0; i < frames; ++i) {
        FramePtr frame(av_frame_alloc());
        frame->format = c.format;
        frame->width = c.width;
        frame->height = c.height;
        av_frame_get_buffer(frame.get(), 0);
        for (int p = 0; p < 3; ++p) {
            const int rows = p == 0 ? c.height : AV_CEIL_RSHIFT(c.height, d->log2_chroma_h);
            for (int k = 0; k < rows * frame->linesize[p]; ++k) {
                // 10-bit samples: the high byte's top 6 bits clear.
                const bool high = d->comp[0].depth > 8 && k % 2 == 1;
                frame->data[p][k] = uint8_t(high ? rng() % 4 : rng());
            }
        }
        planes->push_back(PlaneBytes(frame.get()));
        if (!out.WriteFrame(frame.get(), &error)) {
            ADD_FAILURE() << error;
            return false;
        }
    }
    return out.Finish(&error);
}

// --lossless with an empty script gives back the source's samples byte for
// byte, in 8-bit 4:2:0 at odd sizes (no column or row is cut), 10-bit 4:2:2,
// 4:4:4, full range and BT.709, untagged (read and written as BT.709 from 720
// lines up, BT.601 below, and tagged so), and in frames one pixel wide or
// tall (which FFV1 at level 3 would write as zeros). The source clips,
// written by the same output, are checked first.
TEST(Render, LosslessKeepsTheSourceSamples) {
    const ColourSpec bt601{AVCOL_SPC_SMPTE170M, AVCOL_RANGE_MPEG};
    const ColourSpec untagged{AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED};
    const LosslessCase cases[] = {
        {"odd 4:2:0", AV_PIX_FMT_YUV420P, 33, 17, bt601},
        {"BT.709 full-range 4:2:0",
         AV_PIX_FMT_YUV420P,
         64,
         32,
         {AVCOL_SPC_BT709, AVCOL_RANGE_JPEG}},
        {"10-bit 4:2:2", AV_PIX_FMT_YUV422P10LE, 35, 20, {AVCOL_SPC_BT709, AVCOL_RANGE_MPEG}},
        {"4:4:4", AV_PIX_FMT_YUV444P, 20, 19, bt601},
        {"untagged 1080 lines, 8 wide", AV_PIX_FMT_YUV420P, 8, 1080, untagged},
        {"untagged 576 lines", AV_PIX_FMT_YUV422P10LE, 16, 576, untagged},
        {"one pixel wide", AV_PIX_FMT_YUV420P, 1, 9, bt601},
        {"one pixel tall", AV_PIX_FMT_YUV444P, 9, 1, bt601}};
    TempDir dir;
    apptest::WriteFile(dir / "kinetra.txt", "");
    for (const LosslessCase& c : cases) {
        const std::string source = dir / (std::string(c.name) + ".mkv");
        const std::string output = dir / (std::string(c.name) + " out.mkv");
        std::vector<std::string> planes;
        ASSERT_TRUE(MakeRandomClip(source, c, 2, &planes)) << c.name;
        ASSERT_EQ(RunRender(Options(source, output)), kExitOk) << c.name;
        std::vector<AVFrame*> in = apptest::DecodeAllFrames(source);
        std::vector<AVFrame*> out = apptest::DecodeAllFrames(output);
        ASSERT_EQ(in.size(), 2u) << c.name;
        ASSERT_EQ(out.size(), 2u) << c.name;
        // What an untagged source is taken as, and tagged as in the output.
        ColourSpec assumed = c.colour;
        if (c.colour.matrix == AVCOL_SPC_UNSPECIFIED) {
            assumed = {c.height >= 720 ? AVCOL_SPC_BT709 : AVCOL_SPC_BT470BG, AVCOL_RANGE_MPEG};
        }
        for (size_t i = 0; i < in.size(); ++i) {
            EXPECT_EQ(out[i]->format, c.format) << c.name;
            EXPECT_EQ(out[i]->colorspace, assumed.matrix) << c.name;
            EXPECT_EQ(out[i]->color_range, assumed.range) << c.name;
            EXPECT_TRUE(PlaneBytes(in[i]) == planes[i]) << c.name << ": source frame " << i;
            EXPECT_TRUE(PlaneBytes(out[i]) == planes[i]) << c.name << ": frame " << i;
        }
        apptest::FreeFrames(&in);
        apptest::FreeFrames(&out);
    }
}

// A script that leaves the picture alone (no video command, buffer 0 shown)
// has the decoder's pictures encoded as they are, also without --lossless:
// random samples, many outside the RGB cube, come back byte for byte, where
// a conversion through YC changes them. Any video command, or another buffer
// shown, converts as before.
TEST(Render, PictureTheScriptLeavesAloneIsEncodedAsDecoded) {
    const LosslessCase clip = {
        "4:2:0", AV_PIX_FMT_YUV420P, 64, 36, {AVCOL_SPC_SMPTE170M, AVCOL_RANGE_MPEG}};
    struct Case {
        const char* script;
        int32_t shown;  // the display slider
        bool as_decoded;
    };
    const Case cases[] = {
        {"", 0, true},
        {"x = f * 2\na_volume(0, 0, 2, 2)\n", 0, true},
        {"fill(2, 0, 0, 1, 1, 0, 0, 0)\n", 0, false},
        {"", 2, false},
    };
    TempDir dir;
    std::vector<std::string> planes;
    ASSERT_TRUE(MakeRandomClip(dir / "clip.mkv", clip, 3, &planes));
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("script '") + c.script + "', buffer " + std::to_string(c.shown));
        apptest::WriteFile(dir / "kinetra.txt", c.script);
        RenderSettings settings = Options(dir / "clip.mkv", dir / "out.mkv");
        settings.encode.lossless = false;
        settings.encode.video_codec = "ffv1";
        settings.sliders.push_back({0, c.shown});
        settings.overwrite = Overwrite::kYes;
        ASSERT_EQ(RunRender(settings), kExitOk);
        std::vector<AVFrame*> out = apptest::DecodeAllFrames(dir / "out.mkv");
        ASSERT_EQ(out.size(), planes.size());
        for (size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(out[i]->colorspace, clip.colour.matrix);
            EXPECT_EQ(PlaneBytes(out[i]) == planes[i], c.as_decoded) << "frame " << i;
        }
        apptest::FreeFrames(&out);
    }
}

// A render through fill and copy: known pixels change, the rest passes.
TEST(Render, ScriptChangesKnownPixels) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 4;
    ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));
    // White in the top-left 8x8 from frame 1 on; the bars of the frame's
    // top-left 16x8 copied to the bottom-right corner.
    apptest::WriteFile(dir / "kinetra.txt",
                       "[1-3]\n"
                       "fill(0, 0, 0, 8, 8, 4096, 0, 0)\n"
                       "[0-3]\n"
                       "copy(1, 0, 0, 0, 16, 8, 48, 40)\n");
    ASSERT_EQ(RunRender(Options(dir / "clip.mkv", dir / "out.mkv")), kExitOk);
    std::vector<AVFrame*> out = apptest::DecodeAllFrames(dir / "out.mkv");
    ASSERT_EQ(out.size(), 4u);
    for (int32_t f = 0; f < 4; ++f) {
        PictureYC p = ToPicture(out[f]);
        // Frame 0 keeps its own top-left; later frames are white there.
        int16_t expected_corner = f == 0 ? 800 : 4095;
        EXPECT_NEAR(p.pixels[0].y, expected_corner, 24) << "frame " << f;
        EXPECT_NEAR(p.pixels[7 * 64 + 7].y, expected_corner, 24) << "frame " << f;
        // Outside the fill: the bars carry the frame number on.
        EXPECT_NEAR(p.pixels[2 * 64 + 12].y, (f >> 1) & 1 ? 3200 : 800, 24) << "frame " << f;
        // The copy: buffer 1 (the frame as it came in) at (48, 40).
        EXPECT_NEAR(p.pixels[42 * 64 + 50].y, f & 1 ? 3200 : 800, 24) << "frame " << f;
        EXPECT_NEAR(p.pixels[42 * 64 + 60].y, (f >> 1) & 1 ? 3200 : 800, 24) << "frame " << f;
    }
    apptest::FreeFrames(&out);
}

TEST(Render, SectionsLengthenTheProjectWithBlackSilentFrames) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 6;
    ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));
    // The section's end asks for a project of 10 frames (0..9 less the last:
    // the plug-in asks for `end` frames).
    apptest::WriteFile(dir / "kinetra.txt", "[0-10]\n");
    ASSERT_EQ(RunRender(Options(dir / "clip.mkv", dir / "out.mkv")), kExitOk);
    std::vector<AVFrame*> out = apptest::DecodeAllFrames(dir / "out.mkv");
    ASSERT_EQ(out.size(), 10u);
    for (int32_t f = 0; f < 6; ++f)
        EXPECT_EQ(NumberOf(out[f]), f);
    for (int32_t f = 6; f < 10; ++f) {
        PictureYC p = ToPicture(out[f]);
        EXPECT_NEAR(p.pixels[100].y, 0, 16) << "frame " << f;
    }
    int32_t rate = 0, channels = 0;
    std::vector<int16_t> audio = apptest::DecodeAllAudio(dir / "out.mkv", &rate, &channels);
    ASSERT_EQ(audio.size(), size_t(10 * 1600 * 2));
    EXPECT_EQ(audio[5 * 3200 + 11], SampleAt(5 * 1600 + 5, 1));
    EXPECT_TRUE(
        std::all_of(audio.begin() + 6 * 3200, audio.end(), [](int16_t s) { return s == 0; }));
    apptest::FreeFrames(&out);
}

TEST(Render, FrameRangeRendersThoseFramesAndTheirAudio) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 12;
    spec.frame_rate = AVRational{30000, 1001};
    spec.audio_rate = 44100;
    ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));
    RenderSettings o = Options(dir / "clip.mkv", dir / "out.mkv");
    o.first_frame = 3;
    o.last_frame = 7;
    ASSERT_EQ(RunRender(o), kExitOk);
    std::vector<AVFrame*> out = apptest::DecodeAllFrames(dir / "out.mkv");
    ASSERT_EQ(out.size(), 5u);
    for (int32_t i = 0; i < 5; ++i)
        EXPECT_EQ(NumberOf(out[i]), 3 + i);
    int32_t rate = 0, channels = 0;
    std::vector<int16_t> audio = apptest::DecodeAllAudio(dir / "out.mkv", &rate, &channels);
    EXPECT_EQ(rate, 44100);
    // Frames 3..7 are sample frames round(3 * 1471.47) .. round(8 * 1471.47).
    const int64_t first = 4414, end = 11772;
    ASSERT_EQ(audio.size(), size_t(end - first) * 2);
    for (int64_t i = 0; i < end - first; i += 97) {
        ASSERT_EQ(audio[2 * i], SampleAt(first + i, 0)) << i;
        ASSERT_EQ(audio[2 * i + 1], SampleAt(first + i, 1)) << i;
    }
    apptest::FreeFrames(&out);
}

TEST(Render, ShowingAnUnusedBufferGivesBlackFrames) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 2;
    ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));
    apptest::WriteFile(dir / "kinetra.txt", "");
    RenderSettings o = Options(dir / "clip.mkv", dir / "out.mkv");
    o.sliders.push_back({0, 5});
    ASSERT_EQ(RunRender(o), kExitOk);
    std::vector<AVFrame*> out = apptest::DecodeAllFrames(dir / "out.mkv");
    ASSERT_EQ(out.size(), 2u);
    PictureYC p = ToPicture(out[1]);
    EXPECT_TRUE(std::all_of(p.pixels.begin(), p.pixels.end(),
                            [](const PixelYC& q) { return q.y < 16 && std::abs(q.cb) < 16; }));
    apptest::FreeFrames(&out);
}

// With a canvas larger than the frame, the buffers' area outside the frame
// starts black on every frame, although the host's images are storage that
// earlier frames wrote (it comes back from the encoder).
TEST(Render, CanvasAreaOutsideTheFrameStartsBlackOnEveryFrame) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 6;
    ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));
    // Frame 0 whitens columns 64..79 of both images; every frame shows
    // those columns of buffer 0 at x 0..15 and of buffer 1 at x 16..31.
    apptest::WriteFile(dir / "kinetra.txt",
                       "[0-0]\n"
                       "fill(0, 64, 0, 16, 48, 4096, 0, 0)\n"
                       "fill(1, 64, 0, 16, 48, 4096, 0, 0)\n"
                       "[0-5]\n"
                       "copy(0, 0, 64, 0, 16, 48, 0, 0)\n"
                       "copy(1, 0, 64, 0, 16, 48, 16, 0)\n");
    RenderSettings o = Options(dir / "clip.mkv", dir / "out.mkv");
    o.canvas_width = 80;
    o.canvas_height = 48;
    std::vector<int32_t> seen;  // luma at x 0 and x 16 on row 20, per frame
    o.observer = [&seen](int32_t, const PixelYC* image, int32_t, int32_t, int32_t stride) {
        seen.push_back(image[20 * stride].y);
        seen.push_back(image[20 * stride + 16].y);
        return true;
    };
    ASSERT_EQ(RunRender(o), kExitOk);
    ASSERT_EQ(seen.size(), 12u);
    for (int32_t f = 0; f < 6; ++f) {
        for (int32_t buffer = 0; buffer < 2; ++buffer) {
            int32_t y = seen[2 * f + buffer];
            if (f == 0) {
                EXPECT_GT(y, 4000) << "buffer " << buffer;
            } else {
                EXPECT_EQ(y, 0) << "frame " << f << " buffer " << buffer;
            }
        }
    }
}

TEST(Render, StoppingEarlyClosesAPlayableFile) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 10;
    ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));
    RenderSettings o = Options(dir / "clip.mkv", dir / "out.mkv");
    o.observer = [](int32_t frame, const PixelYC*, int32_t, int32_t, int32_t) { return frame < 2; };
    EXPECT_EQ(RunRender(o), kExitInterrupted);
    EXPECT_FALSE(apptest::FileExists(dir / "out.mkv"));
    std::vector<AVFrame*> out = apptest::DecodeAllFrames(dir / "out.partial.mkv");
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(NumberOf(out[2]), 2);
    apptest::FreeFrames(&out);
}

TEST(Render, OutputKindsFollowTheName) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 3;
    ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));

    // Audio alone.
    RenderSettings wav = Options(dir / "clip.mkv", dir / "out.wav");
    wav.encode.lossless = false;
    ASSERT_EQ(RunRender(wav), kExitOk);
    int32_t rate = 0, channels = 0;
    std::vector<int16_t> audio = apptest::DecodeAllAudio(dir / "out.wav", &rate, &channels);
    ASSERT_EQ(audio.size(), size_t(3 * 1600 * 2));
    EXPECT_EQ(audio[4001], SampleAt(2000, 1));
    EXPECT_TRUE(apptest::DecodeAllFrames(dir / "out.wav").empty());

    // A numbered image sequence.
    RenderSettings png = Options(dir / "clip.mkv", dir / "frame_%02d.png");
    ASSERT_EQ(RunRender(png), kExitOk);
    EXPECT_TRUE(apptest::FileExists(dir / "frame_01.png"));
    EXPECT_TRUE(apptest::FileExists(dir / "frame_03.png"));
    EXPECT_FALSE(apptest::FileExists(dir / "frame_04.png"));
    std::vector<AVFrame*> image = apptest::DecodeAllFrames(dir / "frame_02.png");
    ASSERT_EQ(image.size(), 1u);
    EXPECT_EQ(NumberOf(image[0]), 1);
    apptest::FreeFrames(&image);

    // H.264 and AAC in MP4 by default.
    RenderSettings mp4 = Options(dir / "clip.mkv", dir / "out.mp4");
    mp4.encode.lossless = false;
    mp4.encode.preset = "ultrafast";
    ASSERT_EQ(RunRender(mp4), kExitOk);
    std::string error;
    InputPtr input = OpenInput(dir / "out.mp4", &error);
    ASSERT_TRUE(input) << error;
    ASSERT_EQ(input->nb_streams, 2u);
    EXPECT_EQ(input->streams[0]->codecpar->codec_id, AV_CODEC_ID_H264);
    EXPECT_EQ(input->streams[1]->codecpar->codec_id, AV_CODEC_ID_AAC);
}

// A render to every kind of output the program offers, read back whole by
// the host's own reader: each container's usual codec from 8-bit 4:2:0 and
// 10-bit 4:2:2 sources, the other encoders the help names, and lossless
// output, which gives back the source's samples. 10-bit 4:2:2 H.264 in MOV
// is written at 1280x720, a size the MOV writer would mark as AVC-Intra
// (its readers then decode garbage).
TEST(Render, EveryOutputKindReadsBackWhole) {
    struct Case {
        const char* output;  // the name's extension chooses the container
        AVPixelFormat source;
        int32_t width, height;
        const char* codec;  // -c:v; "" the container's usual
        bool lossless;
        AVPixelFormat written;  // what the output holds
    };
    const AVPixelFormat p8 = AV_PIX_FMT_YUV420P, p10 = AV_PIX_FMT_YUV422P10LE;
    const Case cases[] = {
        {"8-bit.mp4", p8, 64, 48, "", false, p8},
        {"8-bit.mov", p8, 64, 48, "", false, p8},
        {"8-bit.mkv", p8, 64, 48, "", false, p8},
        {"8-bit.avi", p8, 64, 48, "", false, p8},
        {"8-bit.nut", p8, 64, 48, "", false, p8},
        {"8-bit.webm", p8, 64, 48, "", false, p8},
        {"10-bit 4:2:2.mp4", p10, 64, 48, "", false, p10},
        {"10-bit 4:2:2.mov", p10, 1280, 720, "", false, p10},
        {"10-bit 4:2:2.mkv", p10, 64, 48, "", false, p10},
        {"H.265.mkv", p8, 64, 48, "libx265", false, p8},
        {"AV1.mkv", p8, 64, 48, "libaom-av1", false, p8},
        {"ProRes.mov", p10, 64, 48, "prores_ks", false, p10},
        {"lossless.mkv", p8, 64, 48, "", true, p8},
        {"lossless.avi", p8, 64, 48, "", true, p8},
        {"lossless.nut", p8, 64, 48, "", true, p8},
        {"lossless 10-bit 4:2:2.mkv", p10, 64, 48, "", true, p10},
    };
    const int32_t frames = 3;
    TempDir dir;
    apptest::WriteFile(dir / "kinetra.txt", "");
    std::map<std::string, std::string> sources;  // by format and size
    for (const Case& c : cases) {
        const std::string kind = std::string(av_get_pix_fmt_name(c.source)) + " " +
                                 std::to_string(c.width) + "x" + std::to_string(c.height);
        if (sources.count(kind) == 0) {
            ClipSpec spec;
            spec.width = c.width;
            spec.height = c.height;
            spec.frames = frames;
            spec.pixel_format = c.source;
            sources[kind] = dir / (kind + ".mkv");
            ASSERT_TRUE(MakeClip(sources[kind], spec)) << kind;
        }
        RenderSettings o = Options(sources[kind], dir / c.output);
        o.encode.lossless = c.lossless;
        o.encode.video_codec = c.codec;
        ASSERT_EQ(RunRender(o), kExitOk) << c.output;
        VideoSource source, out;
        std::string error;
        ASSERT_TRUE(source.Open(sources[kind], 1, &error)) << kind << ": " << error;
        ASSERT_TRUE(out.Open(dir / c.output, 1, &error)) << c.output << ": " << error;
        ASSERT_EQ(out.frame_count(), frames) << c.output;
        for (int32_t i = 0; i < frames; ++i) {
            const AVFrame* f = out.Frame(i);
            ASSERT_NE(f, nullptr) << c.output << ": frame " << i;
            EXPECT_EQ(f->decode_error_flags, 0) << c.output << ": frame " << i;
            EXPECT_FALSE(f->flags & AV_FRAME_FLAG_CORRUPT) << c.output << ": frame " << i;
            EXPECT_EQ(f->format, c.written) << c.output;
            if (!c.lossless) {
                EXPECT_EQ(NumberOf(f), i) << c.output;
                continue;
            }
            const std::string planes = PlaneBytes(f);
            EXPECT_TRUE(planes == PlaneBytes(source.Frame(i))) << c.output << ": frame " << i;
        }
    }
}

// The error cases, through the program itself: one line naming the file and
// the reason, status 1, and no output left behind.
TEST(RenderProgram, ReportsFailuresWithTheFileAndTheReason) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 2;
    ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));
    const std::string plugin = std::string(" --plugin '") + KINETRA_PLUGIN_PATH + "'";
    struct Case {
        const char* name;
        std::string arguments;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {"missing source", "render '" + dir / "none.mkv" + "' -o '" + dir / "o.mkv'" + plugin, 1,
         "kinetra: " + dir / "none.mkv" + ": No such file or directory"},
        {"not a video", "render '" + dir / "kinetra.txt" + "' -o '" + dir / "o.mkv'" + plugin, 1,
         "kinetra: " + dir / "kinetra.txt" + ": "},
        {"unwritable output",
         "render '" + dir / "clip.mkv" + "' -o '" + dir / "no/dir/o.mkv'" + plugin, 1,
         "kinetra: " + dir / "no/dir/o.mkv" + ": No such file or directory"},
        {"missing plug-in",
         "render '" + dir / "clip.mkv" + "' -o '" + dir / "o.mkv' --plugin '" + dir / "none.auf'",
         1, "kinetra: " + dir / "none.auf" + ": plug-in not found"},
        {"lossless mp4",
         "render '" + dir / "clip.mkv" + "' -o '" + dir / "o.mp4' --lossless" + plugin, 1,
         "lossless output needs"},
        {"range wholly past the end",
         "render '" + dir / "clip.mkv" + "' -o '" + dir / "o.mkv' --frames 5-9" + plugin, 1,
         "no frames in the range"},
        {"range partly past the end",
         "render '" + dir / "clip.mkv" + "' -o '" + dir / "short.mkv' --frames 1-9" + plugin, 0,
         "--frames 1-9 reaches past the project's last frame (1): only 1 of the 9 frames"},
    };
    apptest::WriteFile(dir / "kinetra.txt", "");
    for (const Case& c : cases) {
        std::string text;
        EXPECT_EQ(apptest::RunProgram(c.arguments, &text), c.status) << c.name << ": " << text;
        EXPECT_NE(text.find(c.message), std::string::npos) << c.name << ": " << text;
    }
    EXPECT_FALSE(apptest::FileExists(dir / "o.mkv"));
    EXPECT_FALSE(apptest::FileExists(dir / "o.mp4"));
    // No temporary file is left either.
    EXPECT_EQ(std::system(("test -z \"$(ls -A '" + dir.path() + "' | grep part)\"").c_str()), 0);
}

TEST(RenderProgram, SaysOnceWhenThereIsNoScript) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 3;
    ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));
    std::string text;
    std::string args = "render '" + dir / "clip.mkv" + "' -o '" +
                       dir / "out.mkv' -q --lossless --plugin '" + KINETRA_PLUGIN_PATH + "'";
    ASSERT_EQ(apptest::RunProgram(args, &text), 0) << text;
    EXPECT_EQ(text, "kinetra: no " + dir / "kinetra.txt" + "; frames pass through unchanged\n");
    std::vector<AVFrame*> out = apptest::DecodeAllFrames(dir / "out.mkv");
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(NumberOf(out[2]), 2);
    apptest::FreeFrames(&out);
}

}  // namespace
