// Small clips and pictures for the host program's tests, made with the
// host's own encoder. Each frame carries its number in eight bars across its
// top half (bit k of the number in bar k: bright or dark), which survives
// lossy coding; each audio sample is a known function of its position.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/rational.h>
}

#include "colour.h"

namespace apptest {

// A fresh directory under /tmp, removed with everything in it by the destructor.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

struct ClipSpec {
    int32_t width = 64;
    int32_t height = 48;
    int32_t frames = 30;
    AVRational frame_rate{30, 1};
    int32_t audio_rate = 48000;  // 0: no audio
    int32_t channels = 2;
    bool lossless = true;  // FFV1 and PCM (use .mkv); else H.264 and AAC
    std::string preset = "ultrafast";
    int gop_size = 12;  // H.264: a key frame every 12 frames, and B-frames between
    int b_frames = 2;
    // Frame f's time stamp in frame periods (a variable frame rate); empty:
    // f. The audio runs to the last frame's end.
    std::vector<int64_t> stamps;
};

// Writes the clip; fails the calling test (ADD_FAILURE) and returns false on error.
bool MakeClip(const std::string& path, const ClipSpec& spec);

// Frame f's picture and the number read back from a picture (-1: unreadable).
void DrawNumberedFrame(int32_t f, PictureYC* picture);
int32_t ReadFrameNumber(const PixelYC* pixels, int32_t width, int32_t stride);

// Sample frame i, channel c of a test clip's audio.
int16_t SampleAt(int64_t i, int32_t c);

// Every frame of a file decoded in order (raw, as the decoder gives them).
std::vector<AVFrame*> DecodeAllFrames(const std::string& path);
void FreeFrames(std::vector<AVFrame*>* frames);

// All audio of a file as interleaved 16-bit samples at its own rate; sets
// rate and channels.
std::vector<int16_t> DecodeAllAudio(const std::string& path, int32_t* rate, int32_t* channels);

// Writes a text file.
void WriteFile(const std::string& path, const std::string& text);
bool FileExists(const std::string& path);

// Runs the built kinetra program with these arguments (standard input not a
// terminal); returns its exit status and its standard error.
int RunProgram(const std::string& arguments, std::string* stderr_text);

}  // namespace apptest
