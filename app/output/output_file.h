// The rendered result: a container (by the output name's extension, as
// FFmpeg guesses it, or by name) with H.264 and AAC by default, FFV1 and PCM
// when lossless, the encoders asked for (encoders.h), an image sequence for
// a name like out_%04d.png, or audio alone for .wav .flac .mp3 .m4a. Sound
// the render leaves as the source has it is copied, not encoded, where the
// container holds its codec (sound_copy.h). A single output file is written
// under a temporary name next to it and renamed at the end, so a failed
// render leaves nothing behind; standard output ("-"), FIFOs and character
// devices are written directly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/ffmpeg_util.h"
#include "colour/colour.h"
#include "output/encoders.h"
#include "output/sound_copy.h"
#include "source/stream_tags.h"

struct SwrContext;
struct AVAudioFifo;

// Whether an output name is a numbered picture sequence (out_%04d.png).
bool NamesPictureSequence(const std::string& path);

// Audio encoders opened in this process (for tests: a copied sound opens
// none).
int64_t AudioEncodersOpened();

// True for a path that names a FIFO or a character device (/dev/stdout, a
// terminal, /dev/null): such outputs are written where they are, never
// through a temporary file and a rename.
bool IsStreamPath(const std::string& path);

class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Chooses the container and codecs for `path` ("-": standard output)
    // and opens it for writing, so that a bad name or an unwritable place is
    // found before any rendering.
    bool Create(const std::string& path, const EncodeSettings& settings, std::string* error);
    // Before Create: the render makes no sound (the source has none and the
    // script makes none), so no audio stream is written whatever the
    // settings ask.
    void LeaveOutSound() { sound_ = false; }
    // Before Create: the render leaves the source's sound as it is, so its
    // audio stream is copied as it is (sound_copy.h; `zero_seconds` is the
    // source time of the first frame) where the container takes its codec;
    // else the sound is encoded.
    void CopySoundFrom(const std::string& source, double zero_seconds);
    // After Create: the sound is copied, not encoded.
    bool copies_sound() const { return copy_ != nullptr; }
    // Before Start: the source's colour primaries and transfer, field order
    // and HDR facts, which the output writes wherever its encoder or its
    // container holds them.
    void KeepSourceTags(const StreamTags& tags) { tags_ = tags; }

    bool wants_video() const { return video_codec_ != nullptr; }
    bool wants_audio() const { return audio_codec_ != nullptr || copy_ != nullptr; }
    // Written in place (standard output, a FIFO, a device), not renamed.
    bool writes_directly() const { return !renames_; }
    // The container's name ("mp4").
    std::string container_name() const;
    // After Start: "libx264 yuv420p (4:2:0 8-bit), aac 48000 Hz 2 ch".
    std::string EncoderSummary() const;
    // After Start: what the encoding loses of the source, for the user.
    const std::string& pixel_note() const { return pixel_note_; }
    // After Start: what the output could not keep of the source's tags and
    // why, for the user; "" when it kept them.
    const std::string& tags_note() const { return tags_note_; }

    // Adds the streams and writes the header. Frames are `width` x `height`
    // at `frame_rate`; `colour` is the YUV matrix and range to write with and
    // `source_format` the source's pixel format (the lossless output keeps
    // it where it can).
    bool Start(int32_t width, int32_t height, AVRational frame_rate, ColourSpec colour,
               AVPixelFormat source_format, int32_t audio_rate, int32_t channels,
               std::string* error);

    // Encodes one frame: width x height pixels of `pixels`, rows of `stride`.
    bool WriteVideo(const PixelYC* pixels, int32_t stride, std::string* error);
    // Stamps the next frame at `periods` frame periods from the start (for
    // variable frame rates; frames are otherwise stamped one period apart).
    void SetNextVideoStamp(int64_t periods) { video_pts_ = periods; }
    // Encodes a frame made by the caller in the encoder's size and format.
    bool WriteFrame(AVFrame* frame, std::string* error);
    // Whether, after Create, frames of `format` and `width` x `height` as
    // a decoder gives them are what the encoder takes: a source picture the
    // script leaves alone can then be encoded as it is (WriteReadyPicture).
    bool TakesAsDecoded(AVPixelFormat format, int32_t width, int32_t height) const;
    // Encodes a picture already in the encoder's size and format (a decoded
    // one TakesAsDecoded accepted, or one ConvertPicture made) as it is, with
    // the output's own tags and none of the source frame's side data.
    bool WriteReadyPicture(const AVFrame* picture, std::string* error);
    // After Start: the picture (width x height pixels of `pixels`, rows of
    // `stride`) converted for the encoder, into `spare` when it is given (a
    // writable frame of an earlier call), else into a new frame; null with
    // `error` set when it cannot be. WriteReadyPicture encodes it. A thread may
    // convert while another writes.
    FramePtr ConvertPicture(const PixelYC* pixels, int32_t stride, FramePtr spare,
                            std::string* error);
    AVPixelFormat pixel_format() const {
        return video_ != nullptr ? video_->pix_fmt : AV_PIX_FMT_NONE;
    }
    // Encodes `count` interleaved sample frames; a copied sound moves on by
    // as many and writes the source's packets that start before there.
    bool WriteAudio(const int16_t* samples, int32_t count, std::string* error);

    // Flushes the encoders, finishes the container and gives it its name.
    bool Finish(std::string* error);
    // The same for a render that stopped early: a single file is finished
    // under the first free "NAME.partial.EXT" (named in `kept`) and the name
    // asked for is neither created nor replaced; a numbered sequence keeps
    // the pictures written (`kept` empty).
    bool FinishPartial(std::string* kept, std::string* error);
    // Closes and deletes whatever was written (single files only).
    void Abandon();

    // A numbered picture sequence (written under its own names as it goes),
    // or one picture whose file each frame would replace.
    bool sequence() const { return sequence_; }
    bool single_picture() const { return single_picture_; }

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    // The size given to Start; width() and height() may be less (an odd last
    // column or row cut for the encoder's chroma subsampling).
    int32_t asked_width() const { return asked_width_; }
    int32_t asked_height() const { return asked_height_; }
    int64_t frames_written() const { return video_pts_; }

  private:
    bool OpenVideo(AVRational frame_rate, ColourSpec colour, AVPixelFormat source_format,
                   std::string* error);
    void MarkFields();
    bool OpenAudio(int32_t rate, int32_t channels, std::string* error);
    void ChooseSoundCopy(const AVOutputFormat* format);
    bool AddCopiedStream(int32_t rate, std::string* error);
    bool CopySound(bool last, std::string* error);
    bool Complete(std::string* error);
    // The end of Finish and FinishPartial: the file stays when `ok`, else it
    // is abandoned. Returns `ok`.
    bool Settle(bool ok);
    bool Encode(AVCodecContext* codec, AVStream* stream, const AVFrame* frame, std::string* error);
    // Writes a packet stamped in `base` to `stream`.
    bool WritePacket(AVPacket* packet, AVRational base, AVStream* stream, std::string* error);
    bool EncodeAudioFrames(bool final, std::string* error);
    void Release();

    std::string path_;  // the final name
    EncodeSettings settings_;
    std::string pixel_note_;
    StreamTags tags_;
    std::string tags_note_;
    std::string write_path_;  // temporary name, or the final one for sequences
    bool sound_ = true;
    std::string copy_source_;  // the source whose sound is copied where it can be
    double copy_zero_ = 0;
    std::unique_ptr<SoundCopy> copy_;
    int32_t copy_rate_ = 0;      // the render's audio rate, whose samples
    int64_t copy_position_ = 0;  // the render has reached this many of
    bool renames_ = false;
    bool sequence_ = false;
    bool single_picture_ = false;
    AVFormatContext* muxer_ = nullptr;
    const AVCodec* video_codec_ = nullptr;
    const AVCodec* audio_codec_ = nullptr;
    AVCodecContext* video_ = nullptr;
    AVCodecContext* audio_ = nullptr;
    AVStream* video_stream_ = nullptr;
    AVStream* audio_stream_ = nullptr;
    FramePtr video_frame_;
    FramePtr audio_frame_;
    PacketPtr packet_;
    FromYCConverter converter_;
    SwrContext* resampler_ = nullptr;
    AVAudioFifo* fifo_ = nullptr;
    int32_t width_ = 0, height_ = 0;
    int32_t asked_width_ = 0, asked_height_ = 0;
    int32_t channels_ = 0;
    int64_t video_pts_ = 0;
    int64_t audio_pts_ = 0;
    int64_t audio_lead_in_ = 0;  // samples added to the sound's stamps (OpenAudio)
    // The same for copied sound, in the copy's time base, fixed by its first packet.
    int64_t copy_lead_in_ = 0;
    bool copy_lead_in_known_ = false;
    bool started_ = false;
    bool finished_ = false;
};
