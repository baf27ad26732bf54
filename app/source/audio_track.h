// The audio stream of a file as one run of interleaved 16-bit samples at a
// chosen rate and channel count, numbered from the start of the file's video.
//
// Every sample has one fixed value and position, whatever the order of
// requests: the value a decoding from the stream's start gives it. Samples
// are decoded in order into a window that holds a few seconds before the
// latest request and never more, so memory does not grow with the distance
// read. A request before the window, or far beyond it, repositions the
// reading: it seeks to a point a little before the wanted sample (the
// stream's time stamps say where the decoded samples fall), decodes the
// samples in between to settle the decoder, and starts the conversion to the
// output format at a point where its rate ratio lines up with the conversion
// from the start, so that the samples from there on are those of a decoding
// from the start. A stream whose time stamps cannot place a sample exactly
// (a coarse time base with frames of varying length, such as PCM or Vorbis
// in Matroska) or may start again part way (transport streams, Ogg) is read
// again from its start instead, still within the window.
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

    // Chooses the output format (channels 1 or 2); the next request reads
    // afresh. The default is the source's rate and channel count (more than
    // two mixed down to two).
    void SetFormat(int32_t rate, int32_t channels);

    // Writes `count` sample frames from sample frame `start` into `out`
    // (count x channels values); frames past the end of the stream are zero.
    // Returns how many of them lie inside the stream.
    int64_t Read(int64_t start, int32_t count, int16_t* out);

    // Whether a request far from the window seeks (else it decodes from the
    // stream's start).
    bool seekable() const { return placing_ != Placing::kNone; }
    // How many times decoding started again from the beginning, and how many
    // times it sought (for tests).
    int64_t restart_count() const { return restart_count_; }
    int64_t seek_count() const { return seek_count_; }
    // The most sample frames held at once since Open (for tests).
    int64_t peak_held() const { return peak_held_; }

  private:
    // How a decoded frame's time stamp gives the position of its first
    // sample: exactly (a tick of the time base divides a sample), to the
    // nearest whole multiple of the codec's frame length (frames of a fixed
    // length, or of multiples of one, longer than the stamps' error), or not
    // at all.
    enum class Placing { kNone, kExact, kFrameGrid };

    bool Restart();
    // Positions the reading so that output sample `wanted` comes next or
    // soon: a seek where the stream allows, else a restart when the samples
    // lie behind.
    void Reposition(int64_t wanted);
    // Seeks to a little before `wanted`; false when it did not (near the
    // start, or the seek failed: then the reading must start again).
    bool SeekNear(int64_t wanted);
    // Seeks to at or before source sample `sample` and decodes the first
    // frame there; `landed` is its position.
    bool SeekTo(int64_t sample, int64_t* landed);
    // Decodes the next frame into frame_; false at the end of the stream.
    bool NextFrame();
    void SendNextPacket();
    // Converts the decoded frame's samples from feed_from_ on and appends them.
    void Feed();
    // A converter for the decoded frame's format: the one in use, or a new one.
    bool ReadyResampler();
    bool MakeResampler();
    void Append(const uint8_t* const* data, int frames);
    void Drain();
    // Forgets samples before `keep_from` once enough of them gathered.
    void Forget(int64_t keep_from);
    // Drops the samples before `sample` that the window holds.
    void DropBefore(int64_t sample);
    // Starts a new run whose conversion begins at source sample `feed_from`.
    void ResetRun(int64_t feed_from);
    void PlaceAgainstVideo(int64_t first_stamp);
    void ChoosePlacing();
    // The source sample where a frame stamped `stamp` begins.
    int64_t StampPosition(int64_t stamp) const;
    int64_t window_end() const {
        return window_start_ + static_cast<int64_t>(window_.size() / size_t(channels_));
    }
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

    // The stream as decoded from its start: sample 0 is the first decoded
    // sample (at the decoder's rate); the second frame, stamped
    // anchor_stamp_, begins at sample anchor_sample_.
    int32_t decoded_rate_ = 0;
    int64_t anchor_stamp_ = AV_NOPTS_VALUE;
    int64_t anchor_sample_ = 0;
    int64_t frame_grid_ = 0;  // what every frame's length is a multiple of, or 0
    Placing placing_ = Placing::kNone;
    // Seconds from the video's start to source sample 0, and that in output
    // samples (audio that starts before the video lies before 0, a late
    // start leaves silence before it).
    double first_offset_ = 0;
    int64_t lead_ = 0;

    // The current run of decoding.
    int64_t next_source_ = 0;  // source sample of the next decoded sample
    int64_t feed_from_ = 0;    // first source sample that goes to the resampler
    bool ended_ = false;
    int64_t end_ = -1;             // output samples in the stream, once known
    bool stale_ = false;           // the run no longer matches the output format
    std::vector<int16_t> window_;  // converted samples, interleaved
    int64_t window_start_ = 0;     // output sample of window_[0]
    int64_t exact_from_ = 0;       // output samples before this are not kept

    int64_t restart_count_ = 0;
    int64_t seek_count_ = 0;
    int64_t peak_held_ = 0;
    int fed_format_ = -1, fed_rate_ = 0, fed_channels_ = 0;  // the converter's input
    // The resampler's output of one decoded frame, kept from frame to frame.
    std::vector<int16_t> converted_;
    std::vector<const uint8_t*> planes_;
};
