// A video stream opened for frame-exact random access: frame F is the F-th
// time stamp in presentation order. Opening learns every frame's time stamp
// and the key frames from the container's own index where it lists every
// frame at an even rate (MP4, MOV), checked against the packets at the
// stream's two ends, so that opening costs the same however long the file;
// otherwise it reads every packet of the stream once. A request seeks to
// the key frame before F and decodes forward; the next frame in order is
// decoded without a seek.
//
// A stream whose time stamps do not fall one per frame period (a variable
// frame rate) is mapped by time onto a constant rate, as FFmpeg's
// constant-rate output does: frame F is the last frame stamped at or before
// F's time (to the nearest period), so frames are repeated across gaps and
// dropped where several fall into one period.
//
// A stream stored turned or mirrored (a display matrix, as phones write for
// portrait clips) is given as a viewer sees it: frames come turned, and the
// width and height are the turned ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/ffmpeg_util.h"
#include "colour/colour.h"
#include "source/orientation.h"
#include "source/stream_tags.h"

class VideoSource {
  public:
    // Opens the file's main video stream; false with `error` set (the file's
    // name is not part of the text).
    bool Open(const std::string& path, int threads, std::string* error);

    int32_t frame_count() const {
        return static_cast<int32_t>(slots_.empty() ? order_.size() : slots_.size());
    }
    // Frames of a variable-rate stream repeated and dropped to make the
    // constant rate (0 and 0 for a constant-rate stream).
    int32_t repeated_frames() const { return repeated_; }
    int32_t dropped_frames() const { return dropped_; }
    // "N frames mapped by time onto M at R fps (X repeated, Y dropped)"
    // for a variable-rate stream, else "".
    std::string MappingNote() const;
    // The stream's own frames, before any mapping.
    int32_t stream_frames() const { return static_cast<int32_t>(order_.size()); }
    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    AVRational frame_rate() const { return frame_rate_; }
    AVPixelFormat pixel_format() const { return pixel_format_; }
    ColourSpec colour() const { return colour_; }
    // The decoder's name ("h264"); empty before Open.
    const char* decoder_name() const { return decoder_ ? decoder_->codec->name : ""; }
    // Presentation time of frame 0 in seconds (audio is placed against it).
    double start_seconds() const { return start_seconds_; }
    // How the stored pictures are turned to be seen upright.
    const Orientation& orientation() const { return orientation_; }
    // The stream's colour tags, field order and HDR facts (progressive once
    // the pictures are turned: a turn mixes their fields).
    const StreamTags& tags() const { return tags_; }

    // One line each for the user, "" when there is nothing to say: the turn
    // its display matrix asked for and what was done; its alpha channel,
    // which the render drops; its audio streams after the one read.
    const std::string& OrientationNote() const { return orientation_note_; }
    std::string AlphaNote() const;
    std::string AudioStreamsNote() const;

    // Frame `index` decoded, or null when it is outside the stream or cannot
    // be decoded. The frame stays valid until the next call.
    const AVFrame* Frame(int32_t index);

    // How many times the stream was repositioned, and how many of its
    // packets opening read (for tests and benchmarks).
    int64_t seek_count() const { return seek_count_; }
    int64_t packets_read_at_open() const { return packets_read_at_open_; }

  private:
    struct KeyFrame {
        int64_t pts;   // presentation time stamp
        int64_t seek;  // its decoding stamp where known, else its pts
    };

    bool BuildIndex(std::string* error);
    // The file opened with its main video stream chosen (stream_) and the
    // other streams discarded.
    InputPtr OpenIndexInput(std::string* error);
    // The index from the container's, checked; false (nothing set) where it
    // does not list every frame at an even rate.
    bool IndexFromContainer(AVFormatContext* input);
    // Frame i stamped first + i * step; the key frames from the index, each
    // at the earliest stamp it can have (nothing decoded before a key frame
    // is shown after it) until its packet is read.
    void FillEvenRow(AVStream* stream, int64_t first, int64_t step);
    // The index from every packet of the stream.
    void ScanPackets(AVFormatContext* input);
    // A key frame's packet gives its presentation stamp where the index
    // only estimated it.
    void RecordKeyStamp(const AVPacket* packet);
    // When a frame the container's index promised is not found, the index
    // is made again from every packet (false when the file cannot be read).
    bool RescanIndex();
    // The period of `rate` that a stamp falls in, counted from frame 0, and
    // whether every frame has a period of its own in order.
    int64_t SlotOf(const AVStream* stream, int64_t stamp, AVRational rate) const;
    bool StampsRegular(const AVStream* stream, AVRational rate) const;
    // Reads the stream's display matrix, tags and HDR facts, and the file's
    // audio streams, from the open input.
    void ReadStreamFacts();
    void ReadOrientation(const AVStream* stream);
    // The frame turned upright (kept until the next frame is decoded).
    const AVFrame* Upright(const AVFrame* frame);
    void MapToConstantRate(const AVStream* stream, int64_t last_duration);
    const AVFrame* FrameInStream(int32_t index);
    const AVFrame* FindInStream(int32_t index);
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
    std::vector<int32_t> slots_;  // variable rate: the stream frame of each frame
    int32_t repeated_ = 0, dropped_ = 0;
    bool stamped_ = true;  // false: frames are numbered by decoding order
    bool indexed_by_container_ = false;
    // MP4 and MOV are sought by a key frame's presentation stamp (the
    // demuxer steps back from a key frame shown after the stamp), other
    // containers by its decoding stamp.
    bool seek_by_stamp_ = false;
    int64_t packets_read_at_open_ = 0;

    int32_t width_ = 0, height_ = 0;
    AVRational frame_rate_{25, 1};
    AVPixelFormat pixel_format_ = AV_PIX_FMT_NONE;
    ColourSpec colour_;
    Orientation orientation_;
    std::string orientation_note_;
    StreamTags tags_;
    int32_t audio_streams_ = 0;
    int32_t main_audio_ = 0;  // which of them is read (1 the first)
    double start_seconds_ = 0;
    int64_t last_duration_ = 0;  // of the frame stamped last, in stream units

    bool have_frame_ = false;  // frame_ holds the frame stamped last_stamp_
    FramePtr turned_;          // the frame stamped turned_stamp_, turned upright
    int64_t turned_stamp_ = INT64_MIN;
    int64_t last_stamp_ = INT64_MIN;
    int64_t decoded_count_ = 0;  // frames out since the start (unstamped streams)
    bool draining_ = false;
    bool ended_ = false;
    bool skip_to_key_ = false;
    int64_t seek_count_ = 0;
};
