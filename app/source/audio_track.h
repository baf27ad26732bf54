// The audio stream of a file as one run of interleaved 16-bit samples at a
// chosen rate and channel count. Samples are decoded in order and numbered
// from the stream's start, placed against the start of the file's video; a
// window of recent samples is kept, and a request before the window decodes
// again from the start. So every sample has one fixed position, whatever the
// order of requests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/ffmpeg_util.h"

struct SwrContext;

// The first sample frame of video frame f: round(f * rate / fps), halves up,
// in exact integers; frame f's samples run up to the start of frame f + 1.
int64_t FrameSampleStart(int64_t f, int32_t rate, AVRational fps);

class AudioTrack {
  public:
    AudioTrack() = default;
    ~AudioTrack();
    AudioTrack(const AudioTrack&) = delete;
    AudioTrack& operator=(const AudioTrack&) = delete;

    // Opens the file's main audio stream; false (with `error`) when it has
    // none or it cannot be decoded. `zero_seconds` is the time that sample 0
    // stands for (the start of the file's video).
    bool Open(const std::string& path, double zero_seconds, std::string* error);
    bool is_open() const { return stream_ >= 0; }

    int32_t source_rate() const { return source_rate_; }
    int32_t source_channels() const { return source_channels_; }
    int32_t rate() const { return rate_; }
    int32_t channels() const { return channels_; }

    // Chooses the output format (channels 1 or 2); a change starts again from
    // the beginning of the stream. The default is the source's rate and
    // channel count (more than two mixed down to two).
    void SetFormat(int32_t rate, int32_t channels);

    // Writes `count` sample frames from sample frame `start` into `out`
    // (count x channels values); frames past the end of the stream are zero.
    // Returns how many of them lie inside the stream.
    int64_t Read(int64_t start, int32_t count, int16_t* out);

    // How many times decoding started again from the beginning (for tests).
    int64_t restart_count() const { return restart_count_; }

  private:
    bool Restart();
    // Decodes one more packet's worth into the window; false at the end.
    bool DecodeMore();
    void Append(const uint8_t* const* data, int frames);
    void Drain();
    void Close();

    std::string path_;
    double zero_seconds_ = 0;
    InputPtr input_;
    CodecPtr decoder_;
    SwrContext* resampler_ = nullptr;
    FramePtr frame_;
    PacketPtr packet_;
    int stream_ = -1;
    int32_t source_rate_ = 0, source_channels_ = 0;
    int32_t rate_ = 0, channels_ = 0;

    std::vector<int16_t> window_;  // decoded samples, interleaved
    int64_t window_start_ = 0;     // sample frame of window_[0]
    bool placed_ = false;          // the first samples were placed against zero_seconds_
    bool ended_ = false;
    int64_t end_ = -1;  // sample frames in the stream, once known
    int64_t restart_count_ = 0;
    // The resampler's output of one decoded frame, kept from frame to frame.
    std::vector<int16_t> converted_;
};
