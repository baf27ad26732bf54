#include "output/output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
}

#include "base/host_threads.h"
#include "output/output_safety.h"
#include "base/paths.h"
#include "base/stop_signals.h"

namespace {

constexpr int kAudioBitsPerChannel = 96000;  // AAC bit rate per channel
constexpr int kVariableFrameChunk = 1024;    // samples per packet where the codec takes any

std::atomic<int64_t> audio_encoders_opened{0};

bool IsImageMuxer(const AVOutputFormat* format) {
    return std::strcmp(format->name, "image2") == 0;
}

// Outputs that cannot seek (pipes) take MP4 and MOV only as fragments.
bool IsSeekable(AVIOContext* pb) {
    return pb != nullptr && (pb->seekable & AVIO_SEEKABLE_NORMAL);
}

std::string ExtensionOf(const std::string& path) {
    size_t slash = path.rfind('/');
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    return path.substr(dot + 1);
}

int ChooseSampleRate(const AVCodec* codec, int rate) {
    if (codec->supported_samplerates == nullptr) return rate;
    int best = 0;
    for (const int* r = codec->supported_samplerates; *r != 0; ++r) {
        if (*r == rate) return rate;
        if (best == 0 || std::abs(*r - rate) < std::abs(best - rate)) best = *r;
    }
    return best;
}

AVSampleFormat ChooseSampleFormat(const AVCodec* codec) {
    if (codec->sample_fmts == nullptr) return AV_SAMPLE_FMT_S16;
    for (const AVSampleFormat* f = codec->sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f) {
        if (*f == AV_SAMPLE_FMT_S16) return *f;
    }
    return codec->sample_fmts[0];
}

// What lossless work does not keep of a source's samples, or "".
std::string LosslessNote(AVPixelFormat source, ColourSpec colour) {
    const int32_t error = ExactSampleError(source, colour);
    if (error == 0 || source == AV_PIX_FMT_NONE) return "";
    const std::string name = av_get_pix_fmt_name(source);
    if (error < 0) {
        return "--lossless gives back the exact samples of planar and semi-planar YUV only; " +
               name + " goes through RGB, which may round samples, clamp colours to the RGB " +
               "cube and drop alpha";
    }
    return "--lossless: the source's " + name + " samples are finer than the plug-in's 4096 " +
           "steps and may change by up to " + std::to_string(error);
}

void AddNote(std::string* notes, const std::string& note) {
    if (!note.empty()) *notes += (notes->empty() ? "" : "; ") + note;
}

// The colour tags of the encoded pictures: the matrix and range they are
// written with, and the source's primaries and transfer where it has them
// (BT.2020 with PQ or HLG stays so), else those that go with the matrix.
void TagColour(AVCodecContext* c, ColourSpec colour, const StreamTags& tags) {
    c->colorspace = colour.matrix;
    c->color_range = colour.range;
    if (colour.matrix == AVCOL_SPC_BT709) {
        c->color_primaries = AVCOL_PRI_BT709;
        c->color_trc = AVCOL_TRC_BT709;
    } else if (colour.matrix == AVCOL_SPC_BT470BG || colour.matrix == AVCOL_SPC_SMPTE170M) {
        c->color_primaries = AVCOL_PRI_SMPTE170M;
        c->color_trc = AVCOL_TRC_SMPTE170M;
    }
    if (tags.primaries != AVCOL_PRI_UNSPECIFIED) c->color_primaries = tags.primaries;
    if (tags.transfer != AVCOL_TRC_UNSPECIFIED) c->color_trc = tags.transfer;
}

// Whether interlaced pictures can be marked so: in the coded pictures (x264,
// MPEG-2, FFV1 and ProRes code fields when asked) or in the stream's header
// (Matroska and YUV4MPEG write the field order whatever the codec).
bool MarksFields(const AVCodec* codec, const AVOutputFormat* container) {
    if (std::strcmp(container->name, "matroska") == 0 ||
        std::strcmp(container->name, "yuv4mpegpipe") == 0) {
        return true;
    }
    switch (codec->id) {
        case AV_CODEC_ID_H264:
            return std::strcmp(codec->name, "libx264") == 0;
        case AV_CODEC_ID_MPEG2VIDEO:
        case AV_CODEC_ID_FFV1:
        case AV_CODEC_ID_PRORES:
            return true;
        default:
            return false;
    }
}

// Copies the source's HDR facts (mastering display, content light) into the
// stream's header, where Matroska, MP4 and MOV write them; false when memory
// runs out.
bool AddHdrFacts(AVStream* stream, const StreamTags& tags) {
    const std::pair<AVPacketSideDataType, const std::vector<uint8_t>*> facts[] = {
        {AV_PKT_DATA_MASTERING_DISPLAY_METADATA, &tags.mastering_display},
        {AV_PKT_DATA_CONTENT_LIGHT_LEVEL, &tags.content_light}};
    for (const auto& fact : facts) {
        if (fact.second->empty()) continue;
        uint8_t* data = av_stream_new_side_data(stream, fact.first, fact.second->size());
        if (data == nullptr) return false;
        std::memcpy(data, fact.second->data(), fact.second->size());
    }
    return true;
}

// Whether the container takes the copied sound. A WAV file takes PCM only
// (other codecs in it play almost nowhere); it and the containers that keep
// no time stamps (.mp3, .flac) would lose a late start, which is encoded as
// silence instead.
bool TakesCopiedSound(const AVOutputFormat* format, SoundCopy* sound) {
    const AVCodecID codec = sound->parameters()->codec_id;
    if (IsImageMuxer(format) || format->audio_codec == AV_CODEC_ID_NONE) return false;
    bool wav = std::strcmp(format->name, "wav") == 0;
    if (wav && !IsPcmCodec(codec)) return false;
    if ((wav || (format->flags & AVFMT_NOTIMESTAMPS)) && sound->StartsLate()) return false;
    return avformat_query_codec(format, codec, FF_COMPLIANCE_NORMAL) == 1;
}

// Moves a packet's stamps that are set `by` later.
void ShiftStamps(AVPacket* packet, int64_t by) {
    if (packet->pts != AV_NOPTS_VALUE) packet->pts += by;
    if (packet->dts != AV_NOPTS_VALUE) packet->dts += by;
}

// Whether the container tells its readers to drop the audio encoder's
// lead-in (the priming samples that AAC and others stamp before zero): MP4
// and MOV by an edit list, Matroska for Opus by its codec delay. Elsewhere
// the writer moves every stream later to keep stamps at or above zero, so
// the sound starts before the first picture and a reader converting to a
// constant frame rate adds a frame to fill the gap.
bool HidesAudioLeadIn(const AVOutputFormat* container, AVCodecID audio) {
    for (const char* name : {"mp4", "mov", "ipod"}) {
        if (std::strcmp(container->name, name) == 0) return true;
    }
    return audio == AV_CODEC_ID_OPUS && (std::strcmp(container->name, "matroska") == 0 ||
                                         std::strcmp(container->name, "webm") == 0);
}

}  // namespace

int64_t AudioEncodersOpened() {
    return audio_encoders_opened.load();
}

bool NamesPictureSequence(const std::string& path) {
    const AVOutputFormat* format = av_guess_format(nullptr, path.c_str(), nullptr);
    return format != nullptr && IsImageMuxer(format) && av_filename_number_test(path.c_str());
}

bool IsStreamPath(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode));
}

OutputFile::~OutputFile() {
    if (!finished_) Abandon();
    Release();
}

bool OutputFile::Create(const std::string& path, const EncodeSettings& settings,
                        std::string* error) {
    path_ = path;
    settings_ = settings;
    error->clear();
    struct stat existing;
    if (stat(path.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
        *error = "is a directory; name a file to write";
        return false;
    }
    bool to_stdout = path == "-";
    const AVOutputFormat* format = ChooseContainer(path, settings, error);
    if (format == nullptr) return false;
    video_codec_ = ChooseVideoEncoder(format, path, settings, error);
    if (video_codec_ == nullptr && !error->empty()) return false;
    if (sound_ && settings.audio) ChooseSoundCopy(format);
    audio_codec_ = sound_ && !copy_ ? ChooseAudioEncoder(format, settings, error) : nullptr;
    if (audio_codec_ == nullptr && !error->empty()) return false;
    if (!CheckVideoSettings(video_codec_, settings, error)) return false;
    if (video_codec_ == nullptr && !wants_audio()) {
        if (!settings.audio && format->audio_codec != AV_CODEC_ID_NONE) {
            *error = std::string("a .") + ExtensionOf(path) +
                     " file holds only audio, and --no-audio leaves nothing to write";
        } else {
            *error = std::string("no encoder for the format ") + format->name;
        }
        return false;
    }

    sequence_ = IsImageMuxer(format) && av_filename_number_test(path.c_str());
    single_picture_ = IsImageMuxer(format) && !sequence_;
    renames_ = !sequence_ && !to_stdout && !IsStreamPath(path);
    if (to_stdout) {
        write_path_ = "pipe:1";
    } else if (renames_) {
        RemoveStaleTemporaries(path);
        write_path_ = TemporaryName(path, static_cast<long>(getpid()));
        SetEmergencyRemoval(write_path_);
    } else {
        write_path_ = path;
    }
    if (avformat_alloc_output_context2(&muxer_, format, nullptr, write_path_.c_str()) < 0) {
        *error = "out of memory";
        return false;
    }
    if (IsImageMuxer(format) && !sequence_) av_opt_set_int(muxer_->priv_data, "update", 1, 0);
    // YUV4MPEG readers take the deeper formats (10-bit and up) that its
    // muxer calls unofficial; the source's depth is kept.
    if (std::strcmp(format->name, "yuv4mpegpipe") == 0) {
        muxer_->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;
    }
    if (!(format->flags & AVFMT_NOFILE)) {
        int rc = avio_open(&muxer_->pb, write_path_.c_str(), AVIO_FLAG_WRITE);
        if (rc < 0) {
            *error = AvErrorText(rc);
            return false;
        }
    } else if (access(DirectoryOf(write_path_).c_str(), W_OK) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    packet_.reset(av_packet_alloc());
    return true;
}

bool OutputFile::OpenVideo(AVRational frame_rate, ColourSpec colour, AVPixelFormat source_format,
                           std::string* error) {
    AVPixelFormat format = ChooseEncoderPixelFormat(video_codec_, muxer_->oformat, source_format,
                                                    settings_, &pixel_note_);
    if (settings_.lossless) AddNote(&pixel_note_, LosslessNote(source_format, colour));
    EncodedSize(video_codec_, format, &width_, &height_);
    if (width_ <= 0 || height_ <= 0) {
        *error = "the rendered frame is too small to encode";
        return false;
    }
    video_ = avcodec_alloc_context3(video_codec_);
    if (video_ == nullptr) {
        *error = "out of memory";
        return false;
    }
    video_->width = width_;
    video_->height = height_;
    video_->pix_fmt = format;
    video_->time_base = av_inv_q(frame_rate);
    video_->framerate = frame_rate;
    video_->thread_count = HostThreadCount();
    TagColour(video_, colour, tags_);
    MarkFields();
    if (settings_.gop_size > 0) video_->gop_size = settings_.gop_size;
    const int b_frames = BFramesFor(muxer_->oformat, settings_);
    if (b_frames >= 0) video_->max_b_frames = b_frames;
    if (muxer_->oformat->flags & AVFMT_GLOBALHEADER) video_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    ApplyVideoSettings(video_, settings_);
    int rc = avcodec_open2(video_, video_codec_, nullptr);
    if (rc < 0) {
        *error = std::string("cannot open the ") + video_codec_->name + " encoder (" +
                 AvErrorText(rc) + ")";
        return false;
    }
    video_stream_ = avformat_new_stream(muxer_, nullptr);
    if (video_stream_ == nullptr ||
        avcodec_parameters_from_context(video_stream_->codecpar, video_) < 0 ||
        !AddHdrFacts(video_stream_, tags_)) {
        *error = "out of memory";
        return false;
    }
    video_stream_->time_base = video_->time_base;
    video_stream_->avg_frame_rate = frame_rate;
    if (NeedsPlainH264Tag(muxer_->oformat, video_codec_->id, format)) {
        // The writer keeps a tag it is given only below normal compliance.
        video_stream_->codecpar->codec_tag = MKTAG('a', 'v', 'c', '1');
        muxer_->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;
    }
    video_frame_.reset(av_frame_alloc());
    video_frame_->format = format;
    video_frame_->width = width_;
    video_frame_->height = height_;
    video_frame_->colorspace = colour.matrix;
    video_frame_->color_range = colour.range;
    video_frame_->color_primaries = video_->color_primaries;
    video_frame_->color_trc = video_->color_trc;
    video_frame_->interlaced_frame = video_->field_order > AV_FIELD_PROGRESSIVE;
    video_frame_->top_field_first = tags_.top_field_first();
    // Lossless work gives back the samples of the source that the script
    // leaves alone (ExactSampleError says which sources).
    converter_.set_exact(settings_.lossless);
    if (av_frame_get_buffer(video_frame_.get(), 0) < 0 ||
        !converter_.Open(width_, height_, format, colour)) {
        *error = std::string("cannot convert pictures to ") + av_get_pix_fmt_name(format);
        return false;
    }
    return true;
}

// Codes the pictures interlaced, as the source's are, where the output can
// mark them so; says otherwise that they are written as progressive.
void OutputFile::MarkFields() {
    tags_note_.clear();
    if (!tags_.interlaced()) return;
    if (!MarksFields(video_codec_, muxer_->oformat)) {
        tags_note_ = std::string("the source is interlaced (") +
                     (tags_.top_field_first() ? "top" : "bottom") + " field first); " +
                     video_codec_->name + " in " + muxer_->oformat->name +
                     " cannot mark fields, so its frames are written as progressive";
        return;
    }
    video_->field_order = tags_.field_order;
    video_->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
}

bool OutputFile::OpenAudio(int32_t rate, int32_t channels, std::string* error) {
    channels_ = channels;
    audio_ = avcodec_alloc_context3(audio_codec_);
    if (audio_ == nullptr) {
        *error = "out of memory";
        return false;
    }
    audio_->sample_fmt = ChooseSampleFormat(audio_codec_);
    audio_->sample_rate = ChooseSampleRate(audio_codec_, rate);
    av_channel_layout_default(&audio_->ch_layout, channels);
    audio_->time_base = AVRational{1, audio_->sample_rate};
    if (settings_.audio_bitrate > 0) {
        audio_->bit_rate = settings_.audio_bitrate;
    } else if (audio_codec_->id == AV_CODEC_ID_AAC || audio_codec_->id == AV_CODEC_ID_OPUS ||
               audio_codec_->id == AV_CODEC_ID_MP3) {
        audio_->bit_rate = kAudioBitsPerChannel * channels;
    }
    if (muxer_->oformat->flags & AVFMT_GLOBALHEADER) audio_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int rc = avcodec_open2(audio_, audio_codec_, nullptr);
    if (rc < 0) {
        *error = std::string("cannot open the ") + audio_codec_->name + " encoder (" +
                 AvErrorText(rc) + ")";
        return false;
    }
    ++audio_encoders_opened;
    audio_stream_ = avformat_new_stream(muxer_, nullptr);
    if (audio_stream_ == nullptr ||
        avcodec_parameters_from_context(audio_stream_->codecpar, audio_) < 0) {
        *error = "out of memory";
        return false;
    }
    audio_stream_->time_base = audio_->time_base;
    // Where the lead-in cannot be hidden, the sound is stamped to start with
    // the first picture (its lead-in then plays over the first frame), so
    // that every stream starts at the same time, in a file as in a pipe.
    if (video_ != nullptr && !HidesAudioLeadIn(muxer_->oformat, audio_codec_->id)) {
        audio_lead_in_ = audio_->initial_padding;
    }

    AVChannelLayout layout;
    av_channel_layout_default(&layout, channels);
    rc = swr_alloc_set_opts2(&resampler_, &audio_->ch_layout, audio_->sample_fmt,
                             audio_->sample_rate, &layout, AV_SAMPLE_FMT_S16, rate, 0, nullptr);
    av_channel_layout_uninit(&layout);
    if (rc < 0 || swr_init(resampler_) < 0) {
        *error = "cannot convert the audio for its encoder";
        return false;
    }
    fifo_ = av_audio_fifo_alloc(audio_->sample_fmt, channels, kVariableFrameChunk);
    int frame_size = audio_->frame_size > 0 ? audio_->frame_size : kVariableFrameChunk;
    audio_frame_.reset(av_frame_alloc());
    audio_frame_->format = audio_->sample_fmt;
    audio_frame_->sample_rate = audio_->sample_rate;
    audio_frame_->nb_samples = frame_size;
    av_channel_layout_copy(&audio_frame_->ch_layout, &audio_->ch_layout);
    if (fifo_ == nullptr || av_frame_get_buffer(audio_frame_.get(), 0) < 0) {
        *error = "out of memory";
        return false;
    }
    return true;
}

void OutputFile::CopySoundFrom(const std::string& source, double zero_seconds) {
    copy_source_ = source;
    copy_zero_ = zero_seconds;
}

// Copies the source's sound where that was asked for and the container takes
// its codec; otherwise (and when the source's sound cannot be placed) it is
// encoded.
void OutputFile::ChooseSoundCopy(const AVOutputFormat* format) {
    if (copy_source_.empty()) return;
    std::unique_ptr<SoundCopy> copy(new SoundCopy);
    std::string error;
    if (copy->Open(copy_source_, copy_zero_, &error) && TakesCopiedSound(format, copy.get())) {
        copy_ = std::move(copy);
    }
}

bool OutputFile::AddCopiedStream(int32_t rate, std::string* error) {
    audio_stream_ = avformat_new_stream(muxer_, nullptr);
    if (audio_stream_ == nullptr ||
        avcodec_parameters_copy(audio_stream_->codecpar, copy_->parameters()) < 0) {
        *error = "out of memory";
        return false;
    }
    // The source container's tag for the codec is not the output's.
    audio_stream_->codecpar->codec_tag = 0;
    audio_stream_->time_base = copy_->time_base();
    copy_rate_ = rate;
    return true;
}

bool OutputFile::CopySound(bool last, std::string* error) {
    return copy_->CopyUntil(
        copy_position_, AVRational{1, copy_rate_}, last,
        [&](AVPacket* packet) {
            // As with encoded sound, a lead-in stamped before zero (AAC's
            // priming frame) starts with the first picture where the
            // container cannot hide it.
            if (!copy_lead_in_known_) {
                copy_lead_in_known_ = true;
                if (video_ != nullptr && packet->pts != AV_NOPTS_VALUE && packet->pts < 0 &&
                    !HidesAudioLeadIn(muxer_->oformat, copy_->parameters()->codec_id)) {
                    copy_lead_in_ = -packet->pts;
                }
            }
            ShiftStamps(packet, copy_lead_in_);
            return WritePacket(packet, copy_->time_base(), audio_stream_, error);
        },
        error);
}

bool OutputFile::Start(int32_t width, int32_t height, AVRational frame_rate, ColourSpec colour,
                       AVPixelFormat source_format, int32_t audio_rate, int32_t channels,
                       std::string* error) {
    width_ = asked_width_ = width;
    height_ = asked_height_ = height;
    if (video_codec_ != nullptr && !OpenVideo(frame_rate, colour, source_format, error)) {
        return false;
    }
    if (audio_codec_ != nullptr && !OpenAudio(audio_rate, channels, error)) return false;
    if (copy_ && !AddCopiedStream(audio_rate, error)) return false;
    AVDictionary* options = nullptr;
    if (std::strcmp(muxer_->oformat->name, "mp4") == 0 ||
        std::strcmp(muxer_->oformat->name, "mov") == 0 ||
        std::strcmp(muxer_->oformat->name, "ipod") == 0) {
        // A pipe cannot be rewound to write the index: fragments instead.
        av_dict_set(&options, "movflags",
                    IsSeekable(muxer_->pb) ? "+faststart" : "+frag_keyframe+empty_moov", 0);
    }
    int rc = avformat_write_header(muxer_, &options);
    av_dict_free(&options);
    if (rc < 0) {
        *error = "cannot write the container header (" + AvErrorText(rc) + ")";
        return false;
    }
    started_ = true;
    return true;
}

bool OutputFile::Encode(AVCodecContext* codec, AVStream* stream, const AVFrame* frame,
                        std::string* error) {
    int rc = avcodec_send_frame(codec, frame);
    if (rc < 0 && rc != AVERROR_EOF) {
        *error = "encoding failed (" + AvErrorText(rc) + ")";
        return false;
    }
    for (;;) {
        rc = avcodec_receive_packet(codec, packet_.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
        if (rc < 0) {
            *error = "encoding failed (" + AvErrorText(rc) + ")";
            return false;
        }
        if (codec == audio_) ShiftStamps(packet_.get(), audio_lead_in_);
        if (!WritePacket(packet_.get(), codec->time_base, stream, error)) return false;
    }
}

bool OutputFile::WritePacket(AVPacket* packet, AVRational base, AVStream* stream,
                             std::string* error) {
    av_packet_rescale_ts(packet, base, stream->time_base);
    packet->stream_index = stream->index;
    int rc = av_interleaved_write_frame(muxer_, packet);
    // Buffered writes report a failure (a full disk, a size limit) later.
    if (rc >= 0 && muxer_->pb != nullptr && muxer_->pb->error < 0) rc = muxer_->pb->error;
    if (rc < 0) {
        *error = "cannot write (" + AvErrorText(rc) + ")";
        return false;
    }
    return true;
}

bool OutputFile::WriteVideo(const PixelYC* pixels, int32_t stride, std::string* error) {
    if (video_ == nullptr) return true;
    if (av_frame_make_writable(video_frame_.get()) < 0 ||
        !converter_.Convert(pixels, stride, video_frame_.get())) {
        *error = "cannot convert a frame for the encoder";
        return false;
    }
    video_frame_->pts = video_pts_++;
    return Encode(video_, video_stream_, video_frame_.get(), error);
}

FramePtr OutputFile::ConvertPicture(const PixelYC* pixels, int32_t stride, FramePtr spare,
                                    std::string* error) {
    FramePtr frame = std::move(spare);
    if (!frame) {
        frame.reset(av_frame_alloc());
        if (frame) {
            frame->format = video_->pix_fmt;
            frame->width = width_;
            frame->height = height_;
            if (av_frame_get_buffer(frame.get(), 0) < 0) frame.reset();
        }
    }
    if (!frame || !converter_.Convert(pixels, stride, frame.get())) {
        *error = "cannot convert a frame for the encoder";
        return FramePtr();
    }
    return frame;
}

bool OutputFile::WriteFrame(AVFrame* frame, std::string* error) {
    if (video_ == nullptr) return true;
    if (frame->width != width_ || frame->height != height_ || frame->format != video_->pix_fmt) {
        *error = "the frame does not match the encoder";
        return false;
    }
    frame->pts = video_pts_++;
    return Encode(video_, video_stream_, frame, error);
}

bool OutputFile::TakesAsDecoded(AVPixelFormat format, int32_t width, int32_t height) const {
    if (video_codec_ == nullptr || muxer_ == nullptr) return false;
    std::string note;
    AVPixelFormat encoded =
        ChooseEncoderPixelFormat(video_codec_, muxer_->oformat, format, settings_, &note);
    int32_t w = width, h = height;
    EncodedSize(video_codec_, encoded, &w, &h);
    return encoded == format && w == width && h == height;
}

bool OutputFile::WriteReadyPicture(const AVFrame* picture, std::string* error) {
    if (video_ == nullptr) return true;
    FramePtr frame(av_frame_alloc());
    if (!frame || av_frame_ref(frame.get(), picture) < 0) {
        *error = "out of memory";
        return false;
    }
    // The pixels are kept; everything else is what a frame of this output
    // carries.
    while (frame->nb_side_data > 0)
        av_frame_remove_side_data(frame.get(), frame->side_data[0]->type);
    av_dict_free(&frame->metadata);
    if (av_frame_copy_props(frame.get(), video_frame_.get()) < 0) {
        *error = "out of memory";
        return false;
    }
    return WriteFrame(frame.get(), error);
}

bool OutputFile::WriteAudio(const int16_t* samples, int32_t count, std::string* error) {
    if (copy_) {
        copy_position_ += count;
        return CopySound(false, error);
    }
    if (audio_ == nullptr) return true;
    const uint8_t* in[1] = {reinterpret_cast<const uint8_t*>(samples)};
    int room = swr_get_out_samples(resampler_, count);
    uint8_t** converted = nullptr;
    if (room > 0 && av_samples_alloc_array_and_samples(&converted, nullptr, channels_, room,
                                                       audio_->sample_fmt, 0) < 0) {
        *error = "out of memory";
        return false;
    }
    int got =
        room > 0 ? swr_convert(resampler_, converted, room, count > 0 ? in : nullptr, count) : 0;
    if (got > 0) av_audio_fifo_write(fifo_, reinterpret_cast<void**>(converted), got);
    if (converted != nullptr) av_freep(&converted[0]);
    av_freep(&converted);
    return EncodeAudioFrames(false, error);
}

bool OutputFile::EncodeAudioFrames(bool final, std::string* error) {
    int frame_size = audio_->frame_size > 0 ? audio_->frame_size : kVariableFrameChunk;
    bool small_last =
        audio_->frame_size == 0 || (audio_codec_->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME);
    while (av_audio_fifo_size(fifo_) >= frame_size || (final && av_audio_fifo_size(fifo_) > 0)) {
        int n = std::min(av_audio_fifo_size(fifo_), frame_size);
        if (av_frame_make_writable(audio_frame_.get()) < 0) {
            *error = "out of memory";
            return false;
        }
        audio_frame_->nb_samples = frame_size;
        av_audio_fifo_read(fifo_, reinterpret_cast<void**>(audio_frame_->data), n);
        if (n < frame_size) {
            if (small_last) {
                audio_frame_->nb_samples = n;
            } else {
                av_samples_set_silence(audio_frame_->data, n, frame_size - n, channels_,
                                       audio_->sample_fmt);
            }
        }
        audio_frame_->pts = audio_pts_;
        audio_pts_ += audio_frame_->nb_samples;
        if (!Encode(audio_, audio_stream_, audio_frame_.get(), error)) return false;
    }
    return true;
}

// Flushes the encoders and finishes the container under the name it is
// written to.
bool OutputFile::Complete(std::string* error) {
    if (!started_) {
        *error = "nothing was rendered";
        return false;
    }
    bool ok = true;
    if (audio_ != nullptr) {
        ok = WriteAudio(nullptr, 0, error) && EncodeAudioFrames(true, error) &&
             Encode(audio_, audio_stream_, nullptr, error);
    }
    if (ok && copy_ && audio_stream_ != nullptr) ok = CopySound(true, error);
    if (ok && video_ != nullptr) ok = Encode(video_, video_stream_, nullptr, error);
    if (ok) {
        int rc = av_write_trailer(muxer_);
        if (rc < 0) {
            *error = "cannot write the file (" + AvErrorText(rc) + ")";
            ok = false;
        }
    }
    if (ok && muxer_->pb != nullptr && !(muxer_->oformat->flags & AVFMT_NOFILE)) {
        int rc = avio_closep(&muxer_->pb);
        if (rc < 0) {
            *error = "cannot write the file (" + AvErrorText(rc) + ")";
            ok = false;
        }
    }
    return ok;
}

bool OutputFile::Finish(std::string* error) {
    bool ok = Complete(error);
    if (ok && renames_ && std::rename(write_path_.c_str(), path_.c_str()) != 0) {
        *error = std::string("cannot rename the finished file (") + std::strerror(errno) + ")";
        ok = false;
    }
    return Settle(ok);
}

bool OutputFile::FinishPartial(std::string* kept, std::string* error) {
    kept->clear();
    bool ok = Complete(error);
    if (ok && renames_) {
        *kept = KeepAsPartial(write_path_, path_);
        if (kept->empty()) {
            *error = std::string("cannot keep the frames done (") + std::strerror(errno) + ")";
            ok = false;
        }
    }
    return Settle(ok);
}

bool OutputFile::Settle(bool ok) {
    if (!ok) {
        Abandon();
        return false;
    }
    finished_ = true;
    SetEmergencyRemoval("");
    Release();
    return true;
}

std::string OutputFile::container_name() const {
    return muxer_ != nullptr ? muxer_->oformat->name : "";
}

std::string OutputFile::EncoderSummary() const {
    std::string text;
    if (video_ != nullptr) {
        text = std::string(video_codec_->name) + " " + av_get_pix_fmt_name(video_->pix_fmt) + " (" +
               DescribePixelFormat(video_->pix_fmt) + ")";
    }
    if (audio_ != nullptr) {
        text += (text.empty() ? "" : ", ") + std::string(audio_codec_->name) + " " +
                std::to_string(audio_->sample_rate) + " Hz " + std::to_string(channels_) + " ch";
    }
    if (copy_) {
        text += (text.empty() ? "" : ", ") +
                std::string(avcodec_get_name(copy_->parameters()->codec_id)) +
                " copied from the source";
    }
    return text + " in " + container_name();
}

void OutputFile::Abandon() {
    Release();
    if (renames_ && !write_path_.empty()) std::remove(write_path_.c_str());
    if (renames_) SetEmergencyRemoval("");
    finished_ = true;
}

void OutputFile::Release() {
    avcodec_free_context(&video_);
    avcodec_free_context(&audio_);
    swr_free(&resampler_);
    copy_.reset();
    if (fifo_ != nullptr) av_audio_fifo_free(fifo_);
    fifo_ = nullptr;
    if (muxer_ != nullptr) {
        if (muxer_->pb != nullptr && !(muxer_->oformat->flags & AVFMT_NOFILE)) {
            avio_closep(&muxer_->pb);
        }
        avformat_free_context(muxer_);
        muxer_ = nullptr;
    }
}
