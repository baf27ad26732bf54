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

// How an output is encoded, as the command line asks it; empty names and
// negative numbers leave the choice to the container's usual codec and the
// encoder. Built once (render's settings hold one) and passed down as const.
struct EncodeSettings {
    std::string format;         // -f: container by FFmpeg's name; empty: by the path's extension
    std::string video_codec;    // -c:v: encoder name
    std::string audio_codec;    // -c:a: encoder name
    std::string pixel_format;   // --pix-fmt: empty: the source's where the encoder has it
    int64_t video_bitrate = 0;  // bits per second; 0: quality-driven (crf)
    int64_t audio_bitrate = 0;  // bits per second; 0: the encoder's usual rate
    int crf = -1;               // -1: the encoder's default quality (20 for H.264)
    std::string preset;         // empty: the encoder's default speed
    bool lossless = false;      // FFV1 and PCM; no quality or speed to choose
    bool audio = true;          // false: --no-audio
    int gop_size = 0;           // frames between key frames; 0: the encoder's choice
    int b_frames = -1;          // most B-frames in a row; -1: the encoder's choice
};

// The container for `path` (or the settings' named one); null with `error`.
const AVOutputFormat* ChooseContainer(const std::string& path, const EncodeSettings& settings,
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
                                  const EncodeSettings& settings, std::string* error);

// The audio encoder: the requested one, PCM when lossless (or for .wav), Opus
// for WebM, AAC where the container holds it, else the container's usual
// codec. Null without `error` when no audio is wanted or possible.
const AVCodec* ChooseAudioEncoder(const AVOutputFormat* format, const EncodeSettings& settings,
                                  std::string* error);

// Checks that the encoder takes the settings' --crf, --preset and
// --pix-fmt, so that a mistake is reported before the render starts.
bool CheckVideoSettings(const AVCodec* codec, const EncodeSettings& settings, std::string* error);

// The pixel format to encode in: the requested one; else the source's bit
// depth and chroma subsampling where the encoder has them (8-bit 4:2:0 for
// WebM, which players expect; RGB at the source's depth for pictures).
// Lossless coding of a YUV source the encoder lacks (nv12, p010) takes the
// planar format of the same samples. `note` says what the source loses,
// when it loses depth or chroma.
AVPixelFormat ChooseEncoderPixelFormat(const AVCodec* codec, const AVOutputFormat* container,
                                       AVPixelFormat source, const EncodeSettings& settings,
                                       std::string* note);

// The size the encoder codes width x height frames at in `format`: the whole
// frame where the encoder takes any size (FFV1); else cut to whole chroma
// samples (an odd last column or row of 4:2:0 left out). Zero when nothing
// is left.
void EncodedSize(const AVCodec* codec, AVPixelFormat format, int32_t* width, int32_t* height);

// Applies --crf, --preset and -b:v (and the speed and quality defaults of
// the encoders that need them) to an encoder about to be opened; FFV1's
// level and slices follow the context's width and height.
void ApplyVideoSettings(AVCodecContext* context, const EncodeSettings& settings);

// True for 10-bit 4:2:0 and 4:2:2 H.264 in MOV, which the container's writer
// would mark as AVC-Intra at the broadcast sizes (1280x720, 1920x1080, ...):
// its readers then replace the stream's own parameter sets with AVC-Intra's
// and decode garbage. Such a stream is written under the plain H.264 tag
// (avc1) instead, at every size.
bool NeedsPlainH264Tag(const AVOutputFormat* container, AVCodecID codec, AVPixelFormat format);

// The most B-frames in a row to code: the settings' number; none in AVI,
// which stores no presentation times, so that a reader that stamps frames in
// decoding order shows them in their order; else -1, the encoder's choice.
int BFramesFor(const AVOutputFormat* container, const EncodeSettings& settings);

// "4:2:0 10-bit" for a pixel format; "RGB 8-bit" for RGB ones.
std::string DescribePixelFormat(AVPixelFormat format);
