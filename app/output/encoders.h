// The choice of container, encoders and encoded pixel format for an output,
// and the encoder options of the command line (--crf, --preset, -b:v),
// checked before anything is rendered.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

// What the user asked of the encoders; empty names and negative numbers
// leave the choice to the container's usual codec and the encoder.
struct EncoderRequest {
    std::string format;        // container by FFmpeg's name; empty: by the path's extension
    std::string video_codec;   // encoder name
    std::string audio_codec;   // encoder name
    std::string pixel_format;  // encoded pixel format name
    int64_t video_bitrate = 0;
    int64_t audio_bitrate = 0;
    int crf = -1;
    std::string preset;
    bool lossless = false;
    bool audio = true;  // false: --no-audio
};

// The container for `path` (or the request's named one); null with `error`.
const AVOutputFormat* ChooseContainer(const std::string& path, const EncoderRequest& request,
                                      std::string* error);

// Containers that hold sound alone (.wav .flac .mp3 .m4a ...): no picture
// stream is written to them.
bool IsAudioOnlyContainer(const AVOutputFormat* format);
// Numbered or single pictures (out_%04d.png).
bool IsImageContainer(const AVOutputFormat* format);

// The video encoder for the container: the requested one, FFV1 when
// lossless, the picture format's for pictures, VP9 for WebM, else H.264
// where the container holds it. Null without `error` for audio-only
// containers; null with `error` when the pair cannot work.
const AVCodec* ChooseVideoEncoder(const AVOutputFormat* format, const std::string& path,
                                  const EncoderRequest& request, std::string* error);

// The audio encoder: the requested one, PCM when lossless (or for .wav), Opus
// for WebM, AAC where the container holds it, else the container's usual
// codec. Null without `error` when no audio is wanted or possible.
const AVCodec* ChooseAudioEncoder(const AVOutputFormat* format, const EncoderRequest& request,
                                  std::string* error);

// Checks that the encoder takes the request's --crf, --preset and
// --pix-fmt, so that a mistake is reported before the render starts.
bool CheckVideoRequest(const AVCodec* codec, const EncoderRequest& request, std::string* error);

// The pixel format to encode in: the requested one; else the source's bit
// depth and chroma subsampling where the encoder has them (8-bit 4:2:0 for
// WebM, which players expect; RGB at the source's depth for pictures).
// `note` says what the source loses, when it loses depth or chroma.
AVPixelFormat ChooseEncoderPixelFormat(const AVCodec* codec, const AVOutputFormat* container,
                                       AVPixelFormat source, const EncoderRequest& request,
                                       std::string* note);

// Applies --crf, --preset and -b:v (and the speed and quality defaults of
// the encoders that need them) to an encoder about to be opened.
void ApplyVideoRequest(AVCodecContext* context, const EncoderRequest& request);

// "4:2:0 10-bit" for a pixel format; "RGB 8-bit" for RGB ones.
std::string DescribePixelFormat(AVPixelFormat format);
