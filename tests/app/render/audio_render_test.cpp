// The audio commands through `kinetra render`: a script that makes a tone,
// fades the source's audio and mixes the two yields exactly the expected
// samples in a .wav; a script that leaves the sound alone has it copied.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "base/ffmpeg_util.h"
#include "fixtures/clips.h"
#include "output/output_file.h"
#include "render/render.h"

namespace {

using apptest::ClipSpec;
using apptest::SampleAt;
using apptest::TempDir;

// A computed sample as the plug-in stores it: truncated toward zero, low 16
// bits (every value here lies well inside the 16-bit range).
int16_t Stored(double x) {
    return static_cast<int16_t>(static_cast<int32_t>(x));
}

TEST(AudioRender, ToneOverAFadedSourceIsExact) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 4;  // 30 frames per second at 48000 Hz: 1600 sample frames each
    ASSERT_TRUE(apptest::MakeClip(dir / "clip.mkv", spec));
    // A 1000 Hz tone at half level into buffer 1, the source faded out over
    // the four frames, then the tone added in.
    apptest::WriteFile(dir / "kinetra.txt",
                       "[0-3]\n"
                       "a_tone(1, 1000, 0, 0.5)\n"
                       "a_volume(0, 1 - g/4, 1 - (g+1)/4, 0)\n"
                       "a_blend(1, 0)\n");
    RenderSettings options;
    options.source = dir / "clip.mkv";
    options.output = dir / "out.wav";
    options.quiet = true;
    options.threads = 2;
    options.plugin = KINETRA_PLUGIN_PATH;
    ASSERT_EQ(RunRender(options), kExitOk);

    int32_t rate = 0, channels = 0;
    std::vector<int16_t> audio = apptest::DecodeAllAudio(dir / "out.wav", &rate, &channels);
    ASSERT_EQ(rate, 48000);
    ASSERT_EQ(channels, 2);
    ASSERT_EQ(audio.size(), size_t(4 * 1600 * 2));
    const double step = 1000 * 6.28318530717958 / 48000;
    for (int32_t t = 0; t < 4 * 1600; ++t) {
        int32_t f = t / 1600, i = t % 1600;
        // The gain falls from 1 - f/4 at the frame's first sample toward
        // 1 - (f+1)/4: 1 at the start, 0.5 halfway, 1/1600 short of 0 at the end.
        double gain = ((1600 - i) * (1 - f / 4.0) + i * (1 - (f + 1) / 4.0)) / 1600;
        int16_t tone = Stored(std::sin(t * step) * 32767 * 0.5);
        for (int32_t c = 0; c < 2; ++c) {
            int16_t faded = Stored(gain * SampleAt(t, c));
            ASSERT_EQ(audio[size_t(t) * 2 + c], int16_t(faded + tone)) << t << " " << c;
        }
    }
    // By hand: at t = 0 the gain is 1 and the sine 0; at t = 12 the sine peaks
    // (16383 at half level) and the gain is (1588 + 12 * 0.75) / 1600.
    EXPECT_EQ(audio[0], -10000);
    EXPECT_EQ(audio[1], -4997);
    EXPECT_EQ(audio[24], 6845);  // -9556 * 0.998125 = -9538.08, + 16383
}

// A file's audio packets: the start in samples of `rate` and the bytes.
struct SoundPacket {
    int64_t start;
    std::string bytes;
    bool operator==(const SoundPacket& o) const { return start == o.start && bytes == o.bytes; }
};

std::vector<SoundPacket> SoundPackets(const std::string& path, int32_t rate) {
    std::string error;
    InputPtr input = OpenInput(path, &error);
    EXPECT_TRUE(input) << path << ": " << error;
    std::vector<SoundPacket> packets;
    if (!input) return packets;
    int stream = FindStream(input.get(), AVMEDIA_TYPE_AUDIO);
    PacketPtr packet(av_packet_alloc());
    while (stream >= 0 && av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == stream) {
            int64_t start = av_rescale_q(packet->pts, input->streams[stream]->time_base, {1, rate});
            packets.push_back(
                {start, std::string(reinterpret_cast<char*>(packet->data), size_t(packet->size))});
        }
        av_packet_unref(packet.get());
    }
    return packets;
}

// The sound is copied, packet for packet and stamp for stamp, unless the
// script may write it or the command line asks for an encoder; a render
// that ends early keeps the packets that start before its end.
TEST(AudioRender, SoundTheScriptLeavesAloneIsCopied) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 30;  // 1600 samples a frame
    spec.lossless = false;
    ASSERT_TRUE(apptest::MakeClip(dir / "clip.mp4", spec));
    const std::vector<SoundPacket> source = SoundPackets(dir / "clip.mp4", 48000);
    ASSERT_GT(source.size(), 40u);
    struct Case {
        const char* name;
        const char* script;
        const char* audio_codec;
        int32_t last_frame;
        bool copied;
    };
    const Case cases[] = {
        {"no audio command", "[0-29]\nfill(0, 0, 0, 8, 8, 0, 0, 0)\n", "", -1, true},
        {"a tone into buffer 2 only", "a_tone(2, 1000, 0, 0.5)\n", "", -1, true},
        {"the first half", "", "", 14, true},
        {"a tone into buffer 0", "a_tone(0, 1000, 0, 0.5)\n", "", -1, false},
        {"-c:a aac", "", "aac", -1, false},
    };
    auto settings = [&](const std::string& output) {
        RenderSettings options;
        options.source = dir / "clip.mp4";
        options.output = dir / output;
        options.overwrite = Overwrite::kYes;
        options.quiet = true;
        options.plugin = KINETRA_PLUGIN_PATH;
        return options;
    };
    for (const Case& c : cases) {
        apptest::WriteFile(dir / "kinetra.txt", c.script);
        RenderSettings options = settings("out.mp4");
        options.encode.audio_codec = c.audio_codec;
        options.last_frame = c.last_frame;
        int64_t encoders = AudioEncodersOpened();
        ASSERT_EQ(RunRender(options), kExitOk) << c.name;
        EXPECT_EQ(AudioEncodersOpened() - encoders, c.copied ? 0 : 1) << c.name;
        std::vector<SoundPacket> expected = source;
        int64_t end = c.last_frame >= 0 ? (c.last_frame + 1) * 1600 : 30 * 1600;
        expected.erase(std::find_if(expected.begin(), expected.end(),
                                    [&](const SoundPacket& p) { return p.start >= end; }),
                       expected.end());
        EXPECT_EQ(SoundPackets(dir / "out.mp4", 48000) == expected, c.copied) << c.name;
    }
    // Matroska cannot hide AAC's priming frame: the copy then starts with
    // the first picture, as encoded sound does, not a frame's worth before.
    apptest::WriteFile(dir / "kinetra.txt", "");
    ASSERT_EQ(RunRender(settings("out.mkv")), kExitOk);
    std::vector<SoundPacket> mkv = SoundPackets(dir / "out.mkv", 48000);
    ASSERT_EQ(mkv.size(), source.size());
    EXPECT_LT(source[0].start, 0);
    EXPECT_EQ(mkv[0].start, 0);
    EXPECT_EQ(mkv[0].bytes, source[0].bytes);
}

}  // namespace
