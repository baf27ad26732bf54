#include "clips.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern "C" {
#include <libswresample/swresample.h>
#include <libavutil/channel_layout.h>
}

#include "ffmpeg_util.h"
#include "output_file.h"

namespace apptest {

namespace {

constexpr int32_t kBits = 8;
constexpr int16_t kBright = 3200;
constexpr int16_t kDark = 800;

}  // namespace

TempDir::TempDir() {
    char pattern[] = "/tmp/kinetra-app-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::string command = "rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0) {
        // A leftover directory harms nothing.
    }
}

void DrawNumberedFrame(int32_t f, PictureYC* picture) {
    int32_t w = picture->width, h = picture->height;
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            PixelYC p;
            if (y < h / 2) {
                int32_t bit = x * kBits / w;
                p = PixelYC{(f >> bit) & 1 ? kBright : kDark, 0, 0};
            } else {
                // A steady coloured gradient below the bars.
                p = PixelYC{int16_t(400 + 3000 * x / w), int16_t(-800 + 1600 * y / h), 300};
            }
            picture->pixels[size_t(y) * w + x] = p;
        }
    }
}

int32_t ReadFrameNumber(const PixelYC* pixels, int32_t width, int32_t stride) {
    int32_t number = 0;
    int32_t row = 2;  // well inside the bars
    for (int32_t bit = 0; bit < kBits; ++bit) {
        int32_t x = (2 * bit + 1) * width / (2 * kBits);
        int16_t y = pixels[size_t(row) * stride + x].y;
        if (std::abs(y - kBright) > 600 && std::abs(y - kDark) > 600) return -1;
        if (y > (kBright + kDark) / 2) number |= 1 << bit;
    }
    return number;
}

int16_t SampleAt(int64_t i, int32_t c) {
    return static_cast<int16_t>((i * 37 + c * 5003) % 20000 - 10000);
}

bool MakeClip(const std::string& path, const ClipSpec& spec) {
    QuietFfmpegLog();
    OutputFile out;
    OutputSettings settings;
    settings.path = path;
    settings.lossless = spec.lossless;
    settings.audio = spec.audio_rate > 0;
    settings.preset = spec.preset;
    settings.gop_size = spec.gop_size;
    settings.b_frames = spec.b_frames;
    std::string error;
    bool ok = out.Create(settings, &error) &&
              out.Start(spec.width, spec.height, spec.frame_rate, ColourSpec{}, AV_PIX_FMT_YUV420P,
                        spec.audio_rate > 0 ? spec.audio_rate : 48000, spec.channels, &error);
    PictureYC picture;
    picture.Resize(spec.width, spec.height);
    int64_t sample = 0;
    std::vector<int16_t> block;
    for (int32_t f = 0; ok && f < spec.frames; ++f) {
        DrawNumberedFrame(f, &picture);
        int64_t stamp = spec.stamps.empty() ? f : spec.stamps[size_t(f)];
        out.SetNextVideoStamp(stamp);
        ok = out.WriteVideo(picture.pixels.data(), spec.width, &error);
        if (ok && spec.audio_rate > 0) {
            int64_t end =
                av_rescale_q(stamp + 1, av_inv_q(spec.frame_rate), AVRational{1, spec.audio_rate});
            block.clear();
            for (; sample < end; ++sample) {
                for (int32_t c = 0; c < spec.channels; ++c)
                    block.push_back(SampleAt(sample, c));
            }
            ok = out.WriteAudio(block.data(), int32_t(block.size() / spec.channels), &error);
        }
    }
    ok = ok && out.Finish(&error);
    if (!ok) ADD_FAILURE() << "cannot make " << path << ": " << error;
    return ok;
}

std::vector<AVFrame*> DecodeAllFrames(const std::string& path) {
    std::vector<AVFrame*> frames;
    std::string error;
    InputPtr input = OpenInput(path, &error);
    if (!input) return frames;
    int stream = FindStream(input.get(), AVMEDIA_TYPE_VIDEO);
    if (stream < 0) return frames;
    CodecPtr decoder = OpenDecoder(input->streams[stream], 1, &error);
    PacketPtr packet(av_packet_alloc());
    auto drain = [&] {
        for (;;) {
            AVFrame* f = av_frame_alloc();
            if (avcodec_receive_frame(decoder.get(), f) < 0) {
                av_frame_free(&f);
                return;
            }
            frames.push_back(f);
        }
    };
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == stream) {
            avcodec_send_packet(decoder.get(), packet.get());
            drain();
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(decoder.get(), nullptr);
    drain();
    return frames;
}

void FreeFrames(std::vector<AVFrame*>* frames) {
    for (AVFrame*& f : *frames)
        av_frame_free(&f);
    frames->clear();
}

std::vector<int16_t> DecodeAllAudio(const std::string& path, int32_t* rate, int32_t* channels) {
    std::vector<int16_t> samples;
    std::string error;
    InputPtr input = OpenInput(path, &error);
    *rate = 0;
    *channels = 0;
    if (!input) return samples;
    int stream = FindStream(input.get(), AVMEDIA_TYPE_AUDIO);
    if (stream < 0) return samples;
    CodecPtr decoder = OpenDecoder(input->streams[stream], 1, &error);
    *rate = decoder->sample_rate;
    *channels = decoder->ch_layout.nb_channels;
    SwrContext* swr = nullptr;
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    auto drain = [&] {
        while (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
            if (swr == nullptr) {
                swr_alloc_set_opts2(&swr, &frame->ch_layout, AV_SAMPLE_FMT_S16, frame->sample_rate,
                                    &frame->ch_layout, AVSampleFormat(frame->format),
                                    frame->sample_rate, 0, nullptr);
                swr_init(swr);
            }
            std::vector<int16_t> out(size_t(frame->nb_samples) * *channels);
            uint8_t* planes[1] = {reinterpret_cast<uint8_t*>(out.data())};
            int got =
                swr_convert(swr, planes, frame->nb_samples,
                            const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
            samples.insert(samples.end(), out.begin(), out.begin() + size_t(got) * *channels);
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == stream) {
            avcodec_send_packet(decoder.get(), packet.get());
            drain();
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(decoder.get(), nullptr);
    drain();
    swr_free(&swr);
    return samples;
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool FileExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

int RunProgram(const std::string& arguments, std::string* stderr_text) {
    char pattern[] = "/tmp/kinetra-app-stderr-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd >= 0) close(fd);
    std::string command = std::string("'") + KINETRA_APP_PATH + "' " + arguments + " 2>'" +
                          pattern + "' >/dev/null </dev/null";
    int status = std::system(command.c_str());
    std::ifstream in(pattern);
    std::stringstream text;
    text << in.rdbuf();
    *stderr_text = text.str();
    std::remove(pattern);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace apptest
