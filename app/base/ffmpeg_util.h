// Small helpers around FFmpeg's C API: error texts and owning pointers.
#pragma once

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

// FFmpeg's text for an error code ("No such file or directory").
std::string AvErrorText(int code);

struct InputCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecCloser {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFreer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

using InputPtr = std::unique_ptr<AVFormatContext, InputCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecCloser>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;

// Opens a file for reading and reads its stream facts; null with `error` set.
InputPtr OpenInput(const std::string& path, std::string* error);

// The file's main stream of that type (a video stream that is only a cover
// picture does not count); -1 when there is none.
int FindStream(AVFormatContext* input, AVMediaType type);

// A decoder for the stream, opened with `threads` threads; null with `error`.
CodecPtr OpenDecoder(const AVStream* stream, int threads, std::string* error);

// Quietens FFmpeg's own log: the host reports failures itself, once per file.
void QuietFfmpegLog();
