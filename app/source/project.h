// The edited project: the frames and audio of the source file, its length
// (which a script may extend: frames past the source are black and silent),
// a small cache of decoded frames in the plug-in's pixel format and a window
// of the last two seconds of source frames as the decoder gave them, so that
// a script looking back (or ahead) that far decodes each frame once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "source/audio_track.h"
#include "colour/colour.h"
#include "source/frame_cache.h"
#include "base/pixel_buffer.h"
#include "source/video_source.h"

class Project {
  public:
    Project() = default;
    ~Project() { StopReadAhead(); }
    Project(const Project&) = delete;
    Project& operator=(const Project&) = delete;

    // Opens the source (an absolute path); false with `error` set.
    bool Open(const std::string& source_path, std::string* error);

    const std::string& source_path() const { return source_path_; }
    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    AVRational frame_rate() const { return video_.frame_rate(); }
    ColourSpec colour() const { return video_.colour(); }
    AVPixelFormat pixel_format() const { return video_.pixel_format(); }
    int32_t source_frames() const { return video_.frame_count(); }
    int32_t frame_count() const { return frame_count_; }
    bool has_audio() const { return audio_.is_open(); }
    int32_t audio_rate() const { return audio_rate_; }
    int32_t channels() const { return channels_; }

    // Converts the source's frames exactly, for lossless work
    // (ToYCConverter::set_exact); set before frames are read.
    void SetExactColour(bool exact) {
        converter_.set_exact(exact);
        window_converter_.set_exact(exact);
    }

    // Makes the project at least `frames` long, up to the bound; a longer
    // request is refused and remembered.
    void Lengthen(int32_t frames);
    void SetLengthBound(int64_t frames) { length_bound_ = frames; }
    int64_t length_bound() const { return length_bound_; }
    // The longest request refused, or 0.
    int64_t refused_length() const { return refused_length_; }

    // Frame f as decoded from the source, width x height pixels: black past
    // the source's end (and where a frame cannot be decoded); null outside
    // the project. Valid until the cache drops it (after `cache_size` other
    // frames were asked for).
    const PixelYC* Frame(int32_t f);
    // Frame(f) for the caller to copy into its working buffers when
    // TakeCopies could not give them: it does not make the window keep the
    // look back.
    const PixelYC* FrameForCopies(int32_t f);
    // Keeps at least `count` decoded frames (converted, and that many more in
    // the window).
    void ReserveFrames(int32_t count);
    // Source frames are kept as decoded: those read ahead and, once Frame()
    // has been asked for, as many behind the current frame as the script has
    // looked back or ahead (at most two seconds' worth, at most 120) and the
    // frames reserved. A frame asked for that is in the window is converted,
    // not decoded again; a script that looks further than before costs one
    // seek for that row, on a decoder of its own.

    // Decodes the source's frames from `first` on, in order, on a thread of
    // its own, at most `depth` frames ahead of the last one asked for. Each
    // comes as the two working copies that TakeCopies hands out; the frame
    // as decoded stays in the window, from which Frame() converts it when a
    // script asks for it (after its copies were handed out and changed). The
    // pictures of frames done are reused for later ones. Frame() stays exact
    // for any frame in any order; a request outside the run and the window
    // decodes on the caller's thread (and a jump forward restarts the run
    // after it).
    void StartReadAhead(int32_t first, int32_t depth);
    void StopReadAhead();
    // How the frames read ahead come (set before StartReadAhead): as two
    // working copies (kTwoCopies), as one, the edit picture, for a script
    // that never reads the second (kOneCopy), or as the decoder gave them,
    // unconverted, for a script that leaves the picture alone (kAsDecoded).
    enum class AheadForm { kTwoCopies, kOneCopy, kAsDecoded };
    void SetAheadForm(AheadForm form) { ahead_form_ = form; }
    // Makes frame f the current one as Frame(f) does and, when it was read
    // ahead, swaps its two working copies into `edit` and `temp` (whose old
    // storage, of any size, is kept for later frames); false when it was not
    // (the caller copies Frame(f) itself).
    // `temp` is null when the frames come as one copy.
    bool TakeCopies(int32_t f, PixelBuffer* edit, PixelBuffer* temp);
    // Makes frame f the current one and, when it was read ahead as decoded,
    // gives its picture as the decoder gave it (a reference of its own);
    // null when it was not, or could not be decoded (the caller converts
    // Frame(f) as usual, black where there is no picture).
    FramePtr TakeDecoded(int32_t f);

    // Sample frames of project frame f: from round(f * rate / fps) up to
    // round((f + 1) * rate / fps), so that consecutive frames tile the audio.
    int64_t AudioStart(int32_t f) const;
    int32_t AudioLength(int32_t f) const { return int32_t(AudioStart(f + 1) - AudioStart(f)); }
    // Writes frame f's samples (AudioLength(f) x channels) and returns their
    // count per channel; silence past the source's audio; 0 outside the project.
    int32_t ReadAudio(int32_t f, int16_t* out);
    // From now on the source's sound reads as silence and is not decoded:
    // for a render whose output holds no sound and whose script has no
    // audio commands, or whose output copies the source's sound as it is,
    // where nothing would hear it. The format stays the source's.
    void LeaveSourceAudioUnread() { audio_unread_ = true; }

    // Frames decoded so far (for tests).
    int64_t decoded_frames() const { return decoded_frames_; }
    // Seeks made for frames behind the window while reading ahead (for tests):
    // those are decoded by a second decoder, so that a row of them costs one
    // seek and the reading ahead none.
    int64_t behind_seeks() const { return behind_.seek_count(); }
    VideoSource& video() { return video_; }
    const VideoSource& video() const { return video_; }

  private:
    // A frame decoded ahead: its working copies, or its decoded picture;
    // and, for a script that looks at frames near the current one, a copy
    // for the frame cache (`source`).
    struct AheadFrame {
        int32_t frame = -1;
        PixelBuffer edit, temp, source;
        FramePtr decoded;
    };

    const PixelYC* CachedFrame(int32_t f);
    // The cache's place for frame f (FrameCache::Take), reusing first that
    // of a frame the script will not look at again.
    PixelBuffer* CacheSlot(int32_t f);
    // Decodes and converts frame f into `count` pictures (the caller holds
    // source_mutex_).
    void Decode(int32_t f, PixelYC* const* pictures, int32_t count);
    // Frame f from the source, kept in the window (the caller holds
    // source_mutex_).
    const AVFrame* DecodeSource(int32_t f);
    // Converts a decoded frame into `count` pictures; a frame of another size
    // is drawn top-left and cut; false (pictures untouched) when it cannot be.
    bool ConvertDecoded(ToYCConverter& converter, const AVFrame* decoded, PixelYC* const* pictures,
                        int32_t count);
    // Frame f converted from the window into the cache; null when the window
    // does not hold it.
    const PixelYC* FromWindow(int32_t f);
    // Converts `decoded` (frame f) into a cache slot; null when it cannot.
    const PixelYC* ConvertIntoCache(int32_t f, const AVFrame* decoded);
    // Whether the reading ahead has passed frame f.
    bool BehindTheRun(int32_t f);
    // Frame f decoded by the second decoder and converted into the cache.
    const PixelYC* DecodeBehind(int32_t f);
    // Decodes frames from..last not in the window into it, in order (a jump
    // forward within the window's reach, so that the frames passed over are
    // not decoded again when asked for next).
    void FillWindow(int32_t from, int32_t last);
    void SizeWindow();
    // Widens the window to reach frame f from the current frame.
    void NoteLookBack(int32_t f);
    // Moves the cache copy of a frame taken from the queue into the cache
    // (the caller holds ahead_mutex_).
    void CacheSourceCopy(AheadFrame* ahead);
    // Takes frame f from the read-ahead queue (true), waiting while it is
    // being decoded; false when the queue will not bring it. Its working
    // copies are swapped into *edit and *temp (when not null: otherwise
    // they go back to the spares).
    // A jump forward sets *skipped_from (when not null) to the first frame
    // the run passed over, when the window reaches f from it, else -1.
    // The decoded picture goes to *decoded when that is not null.
    bool TakeAhead(int32_t f, PixelBuffer* edit, PixelBuffer* temp, int32_t* skipped_from = nullptr,
                   FramePtr* decoded = nullptr);
    void ReadAheadLoop();
    // Frame f into `work`: into the pictures marked `used` (the edit
    // picture, the temp picture, the cache's copy), or as decoded when the
    // edit picture is not (the caller holds no lock).
    void ReadAheadFrame(int32_t f, const bool used[3], AheadFrame* work);
    // Moves the frame's pictures to the spares (the caller holds
    // ahead_mutex_).
    void Recycle(AheadFrame* ahead);
    // Moves one picture's storage, if any, to the spares and leaves it empty
    // (the caller holds ahead_mutex_).
    void Spare(PixelBuffer* picture);
    // A spare picture's storage, or an empty one (the caller holds
    // ahead_mutex_).
    PixelBuffer TakeSpare();
    // Moves every frame waiting in the queue to the spares (the caller holds
    // ahead_mutex_).
    void SpareReady();

    std::string source_path_;
    VideoSource video_;
    AudioTrack audio_;
    ToYCConverter converter_;
    int32_t width_ = 0, height_ = 0;
    int32_t frame_count_ = 0;
    int64_t length_bound_ = INT32_MAX;
    int64_t refused_length_ = 0;
    int32_t audio_rate_ = 48000;
    int32_t channels_ = 2;
    bool audio_unread_ = false;
    FrameCache<PixelBuffer> cache_{2};
    size_t look_back_frames_ = 0, reserved_frames_ = 0;
    std::mutex window_mutex_;  // window_
    DecodedWindow window_;
    ToYCConverter window_converter_;  // the caller's conversions from the window
    VideoSource behind_;              // the caller's decoder for frames behind the window
    bool behind_tried_ = false;
    // Set by the first Frame(): from then on the window keeps the look back.
    std::atomic<bool> keep_sources_{false};
    // The farthest Frame() reached from the current frame, at most
    // look_back_frames_; the window keeps that many behind.
    size_t looked_back_ = 0;
    // Frames read ahead bring a copy for the cache: the script has looked
    // at source frames, none further from the current one than the cache
    // keeps, so that the copy is there when it asks.
    std::atomic<bool> source_copies_{false};
    int32_t current_ = -1;  // the frame last made current (TakeCopies, FrameForCopies)
    // The farthest Frame() reached from a current frame, not capped: frames
    // further behind are not kept in the cache for later.
    int64_t farthest_look_ = 0;
    std::atomic<int64_t> decoded_frames_{0};
    std::atomic<bool> warned_decode_{false};

    std::mutex source_mutex_;  // video_, converter_ and the counters above
    std::mutex ahead_mutex_;   // everything below
    std::condition_variable ahead_changed_;
    std::thread ahead_thread_;
    bool ahead_running_ = false, ahead_stop_ = false;
    bool ahead_paused_ = false;  // while the caller decodes the frames a jump passed over
    int32_t ahead_next_ = 0;     // next frame the thread decodes
    int32_t ahead_busy_ = -1;    // frame being decoded now
    int32_t ahead_depth_ = 2;
    AheadForm ahead_form_ = AheadForm::kTwoCopies;
    int64_t ahead_generation_ = 0;
    std::vector<AheadFrame> ahead_ready_;  // in frame order
    // Storage of pictures handed back: the frame cache's, the plug-in's
    // images of earlier frames and those of frames read ahead but not used.
    std::vector<PixelBuffer> spare_pictures_;
};
