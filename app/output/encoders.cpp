#include "output/encoders.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace {

constexpr int kH264DefaultCrf = 20;
constexpr int kVp9DefaultCrf = 31;  // with no bit rate: constant quality
constexpr int kVp9Speed = 4;        // cpu-used: the encoder's default (0) is far too slow
constexpr int kAomSpeed = 6;
// FFV1: pictures this many pixels a side and more are cut into slices.
constexpr int32_t kMinSlicedSide = 16;
// FFV1 codes one slice only up to this size (CIF); past it, four or more.
constexpr int32_t kMaxOneSliceWidth = 352;
constexpr int32_t kMaxOneSliceHeight = 288;

// Containers that hold sound alone, by FFmpeg's muxer name.
// (.ogg is taken as sound: video in Ogg is .ogv, a muxer of its own.)
const char* const kAudioOnlyMuxers[] = {"wav", "w64",  "flac", "mp3", "ipod", "adts", "opus", "ogg",
                                        "oga", "aiff", "au",   "mp2", "ac3",  "eac3", "spx"};

bool NameIs(const AVOutputFormat* format, const char* name) {
    return std::strcmp(format->name, name) == 0;
}

// avformat_query_codec: 1 holds it, 0 does not, below 0 cannot tell (then
// the container's header writing is the judge). Matroska holds a video or
// audio codec it has no name of its own for under the old Windows codec
// tags, which FFmpeg counts only at the unofficial compliance level: such a
// stream (PNG pictures, for one) is written and read back as any other.
bool MayHold(const AVOutputFormat* format, AVCodecID codec) {
    int compliance = NameIs(format, "matroska") ? FF_COMPLIANCE_UNOFFICIAL : FF_COMPLIANCE_NORMAL;
    return avformat_query_codec(format, codec, compliance) != 0;
}

bool Holds(const AVOutputFormat* format, AVCodecID codec) {
    return avformat_query_codec(format, codec, FF_COMPLIANCE_NORMAL) == 1;
}

// The encoder for a codec, preferring one that is not experimental (FFmpeg's
// own Opus and Vorbis encoders are, and refuse to open by default).
const AVCodec* FindEncoder(AVCodecID id) {
    const AVCodec* fallback = nullptr;
    void* state = nullptr;
    while (const AVCodec* c = av_codec_iterate(&state)) {
        if (c->id != id || !av_codec_is_encoder(c)) continue;
        if (!(c->capabilities & AV_CODEC_CAP_EXPERIMENTAL)) return c;
        if (fallback == nullptr) fallback = c;
    }
    return fallback;
}

// The encoder named on the command line, which must be of `type`.
const AVCodec* NamedEncoder(const std::string& name, AVMediaType type, const char* option,
                            std::string* error) {
    const AVCodec* c = avcodec_find_encoder_by_name(name.c_str());
    const char* kind = type == AVMEDIA_TYPE_VIDEO ? "video" : "audio";
    if (c == nullptr) {
        *error = std::string(option) + ": no " + kind + " encoder '" + name +
                 "' in this FFmpeg (see 'ffmpeg -encoders')";
        return nullptr;
    }
    if (c->type != type) {
        *error = std::string(option) + ": '" + name + "' is not a " + kind + " encoder";
        return nullptr;
    }
    return c;
}

const AVCodec* CheckHeld(const AVOutputFormat* format, const AVCodec* codec, std::string* error) {
    if (codec != nullptr && !MayHold(format, codec->id)) {
        *error = std::string("the ") + format->name + " container cannot hold " +
                 avcodec_get_name(codec->id) + " (encoder " + codec->name +
                 "); .mkv holds every video and audio codec";
        return nullptr;
    }
    return codec;
}

bool HasOption(const AVCodec* codec, const char* name) {
    return codec->priv_class != nullptr &&
           av_opt_find(const_cast<AVClass**>(&codec->priv_class), name, nullptr, 0,
                       AV_OPT_SEARCH_FAKE_OBJ) != nullptr;
}

bool IsRgb(const AVPixFmtDescriptor* d) {
    return d != nullptr && (d->flags & AV_PIX_FMT_FLAG_RGB);
}

int DepthOf(AVPixelFormat format) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    return d != nullptr ? d->comp[0].depth : 8;
}

std::string ChromaOf(const AVPixFmtDescriptor* d) {
    if (d == nullptr) return "?";
    if (IsRgb(d)) return "RGB";
    if (d->nb_components < 3) return "grey";
    int w = d->log2_chroma_w, h = d->log2_chroma_h;
    if (w == 0 && h == 0) return "4:4:4";
    if (w == 1 && h == 0) return "4:2:2";
    if (w == 1 && h == 1) return "4:2:0";
    if (w == 2 && h == 0) return "4:1:1";
    return "4:1:0";
}

// A YUV format of the given chroma layout and depth that the encoder takes,
// or NONE: for RGB sources going to YUV-only encoders.
AVPixelFormat Find(const AVCodec* codec, AVPixelFormat format) {
    for (const AVPixelFormat* f = codec->pix_fmts; f != nullptr && *f != AV_PIX_FMT_NONE; ++f) {
        if (*f == format) return format;
    }
    return AV_PIX_FMT_NONE;
}

// A planar little-endian YUV format of the encoder's that holds the same
// samples as a semi-planar or big-endian one (nv12: yuv420p, p010:
// yuv420p10le), or NONE.
AVPixelFormat PlanarTwin(const AVCodec* codec, AVPixelFormat source) {
    const AVPixFmtDescriptor* s = av_pix_fmt_desc_get(source);
    if (s == nullptr || s->nb_components != 3 || IsRgb(s) || codec->pix_fmts == nullptr) {
        return AV_PIX_FMT_NONE;
    }
    const uint64_t other = AV_PIX_FMT_FLAG_BE | AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_ALPHA |
                           AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_FLOAT;
    for (const AVPixelFormat* f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f) {
        const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(*f);
        if (d != nullptr && d->nb_components == 3 && (d->flags & AV_PIX_FMT_FLAG_PLANAR) &&
            !(d->flags & other) && d->comp[0].depth == s->comp[0].depth &&
            d->log2_chroma_w == s->log2_chroma_w && d->log2_chroma_h == s->log2_chroma_h) {
            return *f;
        }
    }
    return AV_PIX_FMT_NONE;
}

}  // namespace

const AVOutputFormat* ChooseContainer(const std::string& path, const EncodeSettings& settings,
                                      std::string* error) {
    if (!settings.format.empty()) {
        const AVOutputFormat* named = av_guess_format(settings.format.c_str(), nullptr, nullptr);
        if (named == nullptr) {
            *error = "-f: no container named '" + settings.format +
                     "' (try nut, matroska, mp4, yuv4mpegpipe, wav)";
        }
        return named;
    }
    const AVOutputFormat* format = av_guess_format(nullptr, path.c_str(), nullptr);
    if (format == nullptr) {
        *error =
            "cannot tell the container from the name (use .mp4 .mkv .webm .png .wav ..., or -f)";
    }
    return format;
}

bool IsAudioOnlyContainer(const AVOutputFormat* format) {
    for (const char* name : kAudioOnlyMuxers) {
        if (NameIs(format, name)) return true;
    }
    return format->video_codec == AV_CODEC_ID_NONE;
}

bool IsImageContainer(const AVOutputFormat* format) {
    return NameIs(format, "image2") || NameIs(format, "image2pipe");
}

const AVCodec* ChooseVideoEncoder(const AVOutputFormat* format, const std::string& path,
                                  const EncodeSettings& settings, std::string* error) {
    if (IsAudioOnlyContainer(format)) {
        if (!settings.video_codec.empty()) {
            *error = std::string("-c:v: the ") + format->name + " container holds audio alone";
        }
        return nullptr;
    }
    if (!settings.video_codec.empty()) {
        const AVCodec* c = NamedEncoder(settings.video_codec, AVMEDIA_TYPE_VIDEO, "-c:v", error);
        return c != nullptr ? CheckHeld(format, c, error) : nullptr;
    }
    if (IsImageContainer(format)) {
        AVCodecID id = av_guess_codec(format, nullptr, path.c_str(), nullptr, AVMEDIA_TYPE_VIDEO);
        if (NameIs(format, "image2pipe") || id == AV_CODEC_ID_NONE) id = AV_CODEC_ID_PNG;
        return FindEncoder(id);
    }
    if (settings.lossless) {
        if (!Holds(format, AV_CODEC_ID_FFV1)) {
            *error = "lossless output needs a container that holds FFV1, such as .mkv or .avi";
            return nullptr;
        }
        return FindEncoder(AV_CODEC_ID_FFV1);
    }
    if (NameIs(format, "webm")) return FindEncoder(AV_CODEC_ID_VP9);
    if (Holds(format, AV_CODEC_ID_H264)) {
        const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
        if (x264 != nullptr) return x264;
    }
    const AVCodec* c = FindEncoder(format->video_codec);
    if (c == nullptr) {
        *error = std::string("no video encoder for the ") + format->name + " container";
    }
    return c;
}

const AVCodec* ChooseAudioEncoder(const AVOutputFormat* format, const EncodeSettings& settings,
                                  std::string* error) {
    bool audio_only = IsAudioOnlyContainer(format);
    if (!settings.audio) {
        if (audio_only) {
            *error = std::string("--no-audio: the ") + format->name +
                     " container holds audio alone, so the output would be empty";
        } else if (!settings.audio_codec.empty()) {
            *error = "-c:a and --no-audio contradict each other";
        }
        return nullptr;
    }
    if (!settings.audio_codec.empty()) {
        const AVCodec* c = NamedEncoder(settings.audio_codec, AVMEDIA_TYPE_AUDIO, "-c:a", error);
        return c != nullptr ? CheckHeld(format, c, error) : nullptr;
    }
    if (format->audio_codec == AV_CODEC_ID_NONE || IsImageContainer(format)) return nullptr;
    if (settings.lossless && Holds(format, AV_CODEC_ID_PCM_S16LE)) {
        return FindEncoder(AV_CODEC_ID_PCM_S16LE);
    }
    if (NameIs(format, "wav")) return FindEncoder(AV_CODEC_ID_PCM_S16LE);
    if (NameIs(format, "webm")) return FindEncoder(AV_CODEC_ID_OPUS);
    if (NameIs(format, "mp3")) {
        const AVCodec* lame = avcodec_find_encoder_by_name("libmp3lame");
        if (lame != nullptr) return lame;
    }
    if (!audio_only && Holds(format, AV_CODEC_ID_AAC)) return FindEncoder(AV_CODEC_ID_AAC);
    const AVCodec* c = FindEncoder(format->audio_codec);
    if (c == nullptr) {
        *error = std::string("no audio encoder for the ") + format->name + " container";
    }
    return c;
}

namespace {

// The quality and speed asked for: lossless coding has no trade-off to
// choose, so --crf and --preset do not apply to it.
int QualityAsked(const EncodeSettings& settings) {
    return settings.lossless ? -1 : settings.crf;
}
std::string SpeedAsked(const EncodeSettings& settings) {
    return settings.lossless ? std::string() : settings.preset;
}

}  // namespace

bool CheckVideoSettings(const AVCodec* codec, const EncodeSettings& settings, std::string* error) {
    if (codec == nullptr) {
        if (!settings.pixel_format.empty() || QualityAsked(settings) >= 0 ||
            !SpeedAsked(settings).empty() || settings.video_bitrate > 0) {
            *error =
                "the output has no picture, so --pix-fmt, --crf, --preset and -b:v do not apply";
            return false;
        }
        return true;
    }
    if (!settings.pixel_format.empty()) {
        AVPixelFormat f = av_get_pix_fmt(settings.pixel_format.c_str());
        if (f == AV_PIX_FMT_NONE) {
            *error = "--pix-fmt: no pixel format '" + settings.pixel_format +
                     "' (see 'ffmpeg -pix_fmts')";
            return false;
        }
        if (codec->pix_fmts != nullptr && Find(codec, f) == AV_PIX_FMT_NONE) {
            std::string list;
            for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p) {
                list += (list.empty() ? "" : " ") + std::string(av_get_pix_fmt_name(*p));
            }
            *error = "--pix-fmt: " + std::string(codec->name) + " cannot encode " +
                     settings.pixel_format + "; it takes " + list;
            return false;
        }
    }
    if (QualityAsked(settings) >= 0 && !HasOption(codec, "crf")) {
        *error = std::string("--crf: the ") + codec->name +
                 " encoder has no quality scale (use -b:v, or a lossless codec needs none)";
        return false;
    }
    if (!SpeedAsked(settings).empty() && !HasOption(codec, "preset") &&
        !HasOption(codec, "cpu-used")) {
        *error = std::string("--preset: the ") + codec->name + " encoder has no speed presets";
        return false;
    }
    return true;
}

AVPixelFormat ChooseEncoderPixelFormat(const AVCodec* codec, const AVOutputFormat* container,
                                       AVPixelFormat source, const EncodeSettings& settings,
                                       std::string* note) {
    note->clear();
    if (!settings.pixel_format.empty()) return av_get_pix_fmt(settings.pixel_format.c_str());
    if (source == AV_PIX_FMT_NONE) source = AV_PIX_FMT_YUV420P;
    const AVPixFmtDescriptor* s = av_pix_fmt_desc_get(source);
    int depth = DepthOf(source);
    AVPixelFormat wanted = source;
    bool pictures = IsImageContainer(container);
    if (pictures) {
        // Pictures are RGB at the source's depth (8 or 16 bits).
        wanted = depth > 8 ? AV_PIX_FMT_RGB48BE : AV_PIX_FMT_RGB24;
    } else if (NameIs(container, "webm") && codec->id == AV_CODEC_ID_VP9) {
        // VP9 profile 0 (8-bit 4:2:0) is what browsers and players decode.
        wanted = AV_PIX_FMT_YUV420P;
    } else if (settings.lossless && Find(codec, source) == AV_PIX_FMT_NONE &&
               PlanarTwin(codec, source) != AV_PIX_FMT_NONE) {
        wanted = PlanarTwin(codec, source);
    } else if (IsRgb(s) && codec->pix_fmts != nullptr) {
        // An RGB source to a YUV encoder: full chroma at the source's depth.
        AVPixelFormat yuv444 = depth > 8 ? AV_PIX_FMT_YUV444P10 : AV_PIX_FMT_YUV444P;
        if (Find(codec, source) == AV_PIX_FMT_NONE && Find(codec, yuv444) != AV_PIX_FMT_NONE) {
            wanted = yuv444;
        }
    }
    if (codec->pix_fmts == nullptr) return wanted;
    AVPixelFormat chosen = avcodec_find_best_pix_fmt_of_list(codec->pix_fmts, wanted, 0, nullptr);
    if (chosen == AV_PIX_FMT_NONE) chosen = codec->pix_fmts[0];
    // What the source loses on the way: its bit depth, its chroma detail.
    const AVPixFmtDescriptor* c = av_pix_fmt_desc_get(chosen);
    bool lost_depth = DepthOf(chosen) < depth;
    bool lost_chroma = s != nullptr && c != nullptr && !IsRgb(c) && !pictures &&
                       (c->log2_chroma_w > (IsRgb(s) ? 0 : s->log2_chroma_w) ||
                        c->log2_chroma_h > (IsRgb(s) ? 0 : s->log2_chroma_h));
    if (lost_depth || lost_chroma) {
        *note = std::string(codec->name) + " writes " + av_get_pix_fmt_name(chosen) + " (" +
                DescribePixelFormat(chosen) + "): the source's " + DescribePixelFormat(source) +
                " loses " +
                (lost_depth && lost_chroma ? "bit depth and chroma"
                 : lost_depth              ? "bit depth"
                                           : "chroma") +
                "; --pix-fmt chooses another";
    }
    return chosen;
}

void EncodedSize(const AVCodec* codec, AVPixelFormat format, int32_t* width, int32_t* height) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    if (d == nullptr || codec->id == AV_CODEC_ID_FFV1) return;
    *width &= ~((1 << d->log2_chroma_w) - 1);
    *height &= ~((1 << d->log2_chroma_h) - 1);
}

namespace {

// FFV1 at level 3 (slice checksums; slices code in parallel) in four slices,
// or as many as the size allows (the encoder refuses four at some odd sizes);
// one slice under 16 pixels a side. Level 3 codes a picture one pixel wide
// or tall wrongly (it decodes as zeros), and takes one slice only up to CIF
// size (a narrow picture taller than that may have no slicing it accepts):
// such pictures take level 1, which has no slices.
void ApplyFfv1Settings(AVCodecContext* context) {
    const int32_t side = std::min(context->width, context->height);
    const bool one_fits =
        context->width <= kMaxOneSliceWidth && context->height <= kMaxOneSliceHeight;
    const bool sliced = side >= kMinSlicedSide;
    context->level = side >= 2 && (sliced || one_fits) ? 3 : 1;
    context->slices = sliced ? 0 : 1;
}

}  // namespace

void ApplyVideoSettings(AVCodecContext* context, const EncodeSettings& settings) {
    const AVCodec* codec = context->codec;
    void* priv = context->priv_data;
    bool x264 = std::strcmp(codec->name, "libx264") == 0;
    bool vp9 = std::strcmp(codec->name, "libvpx-vp9") == 0;
    bool aom = std::strcmp(codec->name, "libaom-av1") == 0;
    bool x265 = std::strcmp(codec->name, "libx265") == 0;
    if (settings.video_bitrate > 0) context->bit_rate = settings.video_bitrate;
    int crf = QualityAsked(settings);
    if (crf < 0 && settings.video_bitrate == 0) {
        if (x264) crf = kH264DefaultCrf;
        if (vp9) crf = kVp9DefaultCrf;
    }
    if (crf >= 0 && priv != nullptr) av_opt_set_int(priv, "crf", crf, 0);
    // x265 writes its own log to standard error, past FFmpeg's: only its
    // errors, as the other encoders' logs are kept quiet too.
    if (x265 && priv != nullptr) av_opt_set(priv, "x265-params", "log-level=error", 0);
    if (codec->id == AV_CODEC_ID_FFV1) ApplyFfv1Settings(context);
    if (vp9 || aom) {
        av_opt_set_int(priv, "row-mt", 1, 0);
        av_opt_set_int(priv, "cpu-used", vp9 ? kVp9Speed : kAomSpeed, 0);
    }
    if (!SpeedAsked(settings).empty() && priv != nullptr) {
        if (HasOption(codec, "preset")) {
            av_opt_set(priv, "preset", SpeedAsked(settings).c_str(), 0);
        } else {
            av_opt_set(priv, "cpu-used", SpeedAsked(settings).c_str(), 0);
        }
    }
}

bool NeedsPlainH264Tag(const AVOutputFormat* container, AVCodecID codec, AVPixelFormat format) {
    // FFmpeg's MOV writer picks the AVC-Intra tags by pixel format, size and
    // frame rate alone, whatever the stream's profile; any 10-bit 4:2:0 or
    // 4:2:2 H.264 in MOV is kept from it.
    return NameIs(container, "mov") && codec == AV_CODEC_ID_H264 &&
           (format == AV_PIX_FMT_YUV420P10 || format == AV_PIX_FMT_YUV422P10);
}

int BFramesFor(const AVOutputFormat* container, const EncodeSettings& settings) {
    if (settings.b_frames >= 0) return settings.b_frames;
    return NameIs(container, "avi") ? 0 : -1;
}

std::string DescribePixelFormat(AVPixelFormat format) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    return ChromaOf(d) + " " + std::to_string(DepthOf(format)) + "-bit";
}
