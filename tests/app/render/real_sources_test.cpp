// `kinetra render` on sources as phones and cameras write them: a portrait
// clip stored turned, HDR clips tagged BT.2020 with HLG or PQ (with their
// mastering display), interlaced footage, pictures with alpha and a file with
// two audio streams. What the output keeps is read back with libavformat;
// what it cannot keep is said on standard error.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavutil/display.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/pixdesc.h>
}

#include "base/ffmpeg_util.h"
#include "fixtures/clips.h"

namespace {

using apptest::SideDataBlock;
using apptest::TempDir;

std::string Quote(const std::string& text) {
    return "'" + text + "'";
}

template <typename T>
std::vector<uint8_t> BytesOf(const T& value) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&value);
    return std::vector<uint8_t>(bytes, bytes + sizeof value);
}

// A grading display and its light levels, as HDR masters carry them.
std::vector<SideDataBlock> HdrFacts() {
    AVMasteringDisplayMetadata display{};
    display.display_primaries[0][0] = av_make_q(34000, 50000);
    display.display_primaries[0][1] = av_make_q(16000, 50000);
    display.display_primaries[1][0] = av_make_q(13250, 50000);
    display.display_primaries[1][1] = av_make_q(34500, 50000);
    display.display_primaries[2][0] = av_make_q(7500, 50000);
    display.display_primaries[2][1] = av_make_q(3000, 50000);
    display.white_point[0] = av_make_q(15635, 50000);
    display.white_point[1] = av_make_q(16450, 50000);
    display.max_luminance = av_make_q(1000, 1);
    display.min_luminance = av_make_q(1, 200);
    display.has_primaries = display.has_luminance = 1;
    AVContentLightMetadata light{1000, 400};
    return {{AV_PKT_DATA_MASTERING_DISPLAY_METADATA, BytesOf(display)},
            {AV_PKT_DATA_CONTENT_LIGHT_LEVEL, BytesOf(light)}};
}

// One clip of the media set, 64x48 and 5 frames, from FFmpeg's generators.
bool MakeSource(const TempDir& dir, const std::string& name) {
    const std::string picture = "ffmpeg -v error -y -f lavfi -i testsrc2=s=64x48:r=25:d=0.2 ";
    const std::string x264 = "-c:v libx264 -preset ultrafast ";
    const std::string bt2020 =
        "-pix_fmt yuv420p10le -color_primaries bt2020 -colorspace bt2020nc -color_trc ";
    std::string stored = dir / ("stored-" + name);
    std::string command;
    std::vector<SideDataBlock> blocks;
    if (name == "phone.mp4") {
        // Stored landscape, shown turned 90° clockwise (FFmpeg: "rotation -90").
        command = picture + x264 + Quote(stored);
        int32_t matrix[9];
        av_display_rotation_set(matrix, 90);
        blocks = {{AV_PKT_DATA_DISPLAYMATRIX, BytesOf(matrix)}};
    } else if (name == "hlg.mp4") {
        command = picture + x264 + bt2020 + "arib-std-b67 " + Quote(dir / name);
    } else if (name == "pq.mkv") {
        command = picture + x264 + bt2020 + "smpte2084 " + Quote(stored);
        blocks = HdrFacts();
    } else if (name == "interlaced.mp4") {
        command = picture + "-vf setfield=tff -flags +ildct+ilme " + x264 + Quote(dir / name);
    } else if (name == "alpha.mkv") {
        command = picture + "-vf format=yuva420p -c:v ffv1 " + Quote(dir / name);
    } else if (name == "two_audio.mkv") {
        command = picture + "-f lavfi -i sine=d=0.2 -f lavfi -i sine=f=880:d=0.2 " +
                  "-map 0 -map 1 -map 2 -c:v ffv1 -c:a pcm_s16le " + Quote(dir / name);
    }
    if (std::system(command.c_str()) != 0) {
        ADD_FAILURE() << "cannot make " << name;
        return false;
    }
    return blocks.empty() || apptest::RemuxWithSideData(stored, dir / name, blocks);
}

// "primaries/transfer/matrix/range" of a stream.
std::string ColourTags(const AVCodecParameters* par) {
    return std::string(av_color_primaries_name(par->color_primaries)) + "/" +
           av_color_transfer_name(par->color_trc) + "/" + av_color_space_name(par->color_space) +
           "/" + av_color_range_name(par->color_range);
}

// The mean difference between the output's first luma plane and the
// source's turned 90° clockwise (8-bit planes).
double TurnedDifference(const std::string& source, const std::string& output) {
    std::vector<AVFrame*> in = apptest::DecodeAllFrames(source);
    std::vector<AVFrame*> out = apptest::DecodeAllFrames(output);
    double total = 1e9;
    if (!in.empty() && !out.empty() && out[0]->width == in[0]->height &&
        out[0]->height == in[0]->width) {
        total = 0;
        int h = in[0]->height;
        for (int y = 0; y < out[0]->height; ++y)
            for (int x = 0; x < out[0]->width; ++x)
                total += std::abs(out[0]->data[0][y * out[0]->linesize[0] + x] -
                                  in[0]->data[0][(h - 1 - x) * in[0]->linesize[0] + y]);
        total /= out[0]->width * out[0]->height;
    }
    apptest::FreeFrames(&in);
    apptest::FreeFrames(&out);
    return total;
}

struct SourceCase {
    const char* name;
    const char* source;
    const char* output;
    const char* options;
    // A note standard error holds (after "note: " and the source's path);
    // empty: it holds none.
    const char* note;
    int width, height;   // of the output's pictures
    const char* colour;  // primaries/transfer/matrix/range read back; empty: not checked
    bool hdr_facts;      // the mastering display and light levels read back
    bool interlaced;     // the output is marked top field first
    int audio_streams;
};

void PrintTo(const SourceCase& c, std::ostream* os) {
    *os << c.name;
}

class RealSource : public ::testing::TestWithParam<SourceCase> {};

TEST_P(RealSource, KeepsWhatTheOutputHoldsAndSaysWhatItDrops) {
    const SourceCase& c = GetParam();
    if (std::strstr(c.options, "libx265") && !avcodec_find_encoder_by_name("libx265")) {
        GTEST_SKIP() << "no libx265 in this FFmpeg";
    }
    TempDir dir;
    ASSERT_TRUE(MakeSource(dir, c.source));
    std::string text;
    ASSERT_EQ(
        apptest::RunProgram("render " + Quote(dir / c.source) + " -o " + Quote(dir / c.output) +
                                " -y " + c.options + " --plugin " + Quote(KINETRA_PLUGIN_PATH),
                            &text),
        0)
        << text;
    if (c.note[0] == '\0') {
        EXPECT_EQ(text.find("note:"), std::string::npos) << text;
    } else {
        EXPECT_NE(text.find("note: "), std::string::npos) << text;
        EXPECT_NE(text.find(c.note), std::string::npos) << text;
    }

    std::string error;
    InputPtr out = OpenInput(dir / c.output, &error);
    ASSERT_TRUE(out) << error;
    int v = FindStream(out.get(), AVMEDIA_TYPE_VIDEO);
    ASSERT_GE(v, 0);
    const AVStream* video = out->streams[v];
    EXPECT_EQ(video->codecpar->width, c.width);
    EXPECT_EQ(video->codecpar->height, c.height);
    // Turned pictures carry no matrix that would turn them again.
    EXPECT_EQ(av_stream_get_side_data(video, AV_PKT_DATA_DISPLAYMATRIX, nullptr), nullptr);
    if (c.colour[0] != '\0') {
        EXPECT_EQ(ColourTags(video->codecpar), c.colour);
    }
    size_t size = 0;
    const auto* display = reinterpret_cast<const AVMasteringDisplayMetadata*>(
        av_stream_get_side_data(video, AV_PKT_DATA_MASTERING_DISPLAY_METADATA, &size));
    const auto* light = reinterpret_cast<const AVContentLightMetadata*>(
        av_stream_get_side_data(video, AV_PKT_DATA_CONTENT_LIGHT_LEVEL, &size));
    EXPECT_EQ(display != nullptr && av_q2d(display->max_luminance) == 1000 &&
                  av_q2d(display->min_luminance) == 0.005,
              c.hdr_facts);
    EXPECT_EQ(light != nullptr && light->MaxCLL == 1000 && light->MaxFALL == 400, c.hdr_facts);
    EXPECT_EQ(video->codecpar->field_order == AV_FIELD_TT, c.interlaced)
        << video->codecpar->field_order;
    int audio = 0;
    for (unsigned i = 0; i < out->nb_streams; ++i)
        audio += out->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
    EXPECT_EQ(audio, c.audio_streams);
    if (c.width < c.height) {
        EXPECT_LT(TurnedDifference(dir / c.source, dir / c.output), 4.0);
    }
}

constexpr const char* kTurned =
    "phone.mp4: turned 90° clockwise as its display matrix asks: the script sees 48x64 pictures";
constexpr const char* kHlg = "bt2020/arib-std-b67/bt2020nc/tv";
constexpr const char* kPq = "bt2020/smpte2084/bt2020nc/tv";

INSTANTIATE_TEST_SUITE_P(
    MediaSet, RealSource,
    ::testing::Values(
        SourceCase{"phone", "phone.mp4", "out.mkv", "--lossless", kTurned, 48, 64, "", false, false,
                   0},
        SourceCase{"phone_quiet", "phone.mp4", "out.mp4", "-q", "", 48, 64, "", false, false, 0},
        SourceCase{"hlg_h264", "hlg.mp4", "out.mp4", "", "", 64, 48, kHlg, false, false, 0},
        SourceCase{"pq_h265", "pq.mkv", "out.mp4", "-c:v libx265", "", 64, 48, kPq, true, false, 0},
        SourceCase{"pq_lossless", "pq.mkv", "out.mkv", "--lossless", "", 64, 48, kPq, true, false,
                   0},
        SourceCase{"interlaced_h264", "interlaced.mp4", "out.mp4", "", "", 64, 48, "", false, true,
                   0},
        SourceCase{"interlaced_lossless", "interlaced.mp4", "out.mkv", "--lossless", "", 64, 48, "",
                   false, true, 0},
        SourceCase{"interlaced_vp9", "interlaced.mp4", "out.webm", "",
                   "the source is interlaced (top field first); libvpx-vp9 in webm cannot mark "
                   "fields, so its frames are written as progressive",
                   64, 48, "", false, false, 0},
        SourceCase{"alpha", "alpha.mkv", "out.mkv", "--lossless",
                   "alpha.mkv: its alpha channel (yuva420p) is dropped: scripts work on opaque "
                   "pictures, and the output is written opaque",
                   64, 48, "", false, false, 0},
        SourceCase{"two_audio", "two_audio.mkv", "out.mkv", "",
                   "two_audio.mkv: it has 2 audio streams: the render reads audio stream 1 and "
                   "drops the other",
                   64, 48, "", false, false, 1}),
    [](const ::testing::TestParamInfo<SourceCase>& info) { return info.param.name; });

}  // namespace
