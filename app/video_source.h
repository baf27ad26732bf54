// A video stream opened for frame-exact random access. Opening reads every
// packet of the stream once to count the frames and to learn each frame's
// time stamp and the key frames; frame F is then the F-th time stamp in
// presentation order. A request seeks to the key frame before F and decodes
// forward; the next frame in order is decoded without a seek.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "colour.h"
#include "ffmpeg_util.h"

class VideoSource {
  public:
    // Opens the file's main video stream; false with `error` set (the file's
    // name is not part of the text).
    bool Open(const std::string& path, int threads, std::string* error);

    int32_t frame_count() const { return static_cast<int32_t>(order_.size()); }
    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    AVRational frame_rate() const { return frame_rate_; }
    AVPixelFormat pixel_format() const { return pixel_format_; }
    ColourSpec colour() const { return colour_; }
    // The decoder's name ("h264"); empty before Open.
    const char* decoder_name() const { return decoder_ ? decoder_->codec->name : ""; }
    // Presentation time of frame 0 in seconds (audio is placed against it).
    double start_seconds() const { return start_seconds_; }

    // Frame `index` decoded, or null when it is outside the stream or cannot
    // be decoded. The frame stays valid until the next call.
    const AVFrame* Frame(int32_t index);

    // How many times the stream was repositioned (for tests and benchmarks).
    int64_t seek_count() const { return seek_count_; }

  private:
    struct KeyFrame {
        int64_t pts;   // presentation time stamp
        int64_t seek;  // the time stamp the demuxer seeks by (dts where known)
    };

    bool BuildIndex(std::string* error);
    bool SeekToKey(size_t key);
    bool Reopen();
    // Decodes forward until the frame stamped `target` comes out (true), a
    // later one does, or the stream ends (false).
    bool DecodeUntil(int64_t target);
    bool ReceiveFrame();
    size_t KeyBefore(int64_t target) const;

    std::string path_;
    int threads_ = 1;
    InputPtr input_;
    CodecPtr decoder_;
    FramePtr frame_;
    PacketPtr packet_;
    int stream_ = -1;

    std::vector<int64_t> order_;  // time stamps in presentation order
    std::vector<KeyFrame> keys_;  // key frames in decoding order
    bool stamped_ = true;         // false: frames are numbered by decoding order

    int32_t width_ = 0, height_ = 0;
    AVRational frame_rate_{25, 1};
    AVPixelFormat pixel_format_ = AV_PIX_FMT_NONE;
    ColourSpec colour_;
    double start_seconds_ = 0;

    bool have_frame_ = false;  // frame_ holds the frame stamped last_stamp_
    int64_t last_stamp_ = INT64_MIN;
    int64_t decoded_count_ = 0;  // frames out since the start (unstamped streams)
    bool draining_ = false;
    bool ended_ = false;
    bool skip_to_key_ = false;
    int64_t seek_count_ = 0;
};
