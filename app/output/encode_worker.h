// Encoding behind the render: frames handed over are encoded on a thread of
// their own, in order, while the caller goes on with the next frame. A frame
// comes as a picture in the encoder's format: the decoder's own, for a
// picture the script left alone, or one the caller converted from the
// plug-in's image into a spare frame of earlier frames, so that in the
// steady state nothing is allocated. At most `depth` frames wait.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/ffmpeg_util.h"

class OutputFile;

class EncodeWorker {
  public:
    // `output` must be started; it belongs to the worker until Finish, but
    // for OutputFile::ConvertPicture, which the caller may go on using.
    EncodeWorker(OutputFile* output, int32_t depth);
    ~EncodeWorker();  // waits for the frames handed over
    EncodeWorker(const EncodeWorker&) = delete;
    EncodeWorker& operator=(const EncodeWorker&) = delete;

    // A frame handed over with `reusable` that is encoded and no longer
    // held by the encoder, for the caller to convert the next picture into;
    // null when there is none.
    FramePtr SpareFrame();
    // Hands over a frame: `picture` (OutputFile::WriteReadyPicture takes it) and
    // `sample_count` sample frames of `samples`, which comes back holding
    // spare storage of earlier frames. `reusable`: the picture's storage is
    // the caller's to write again once encoded (not a decoder's). False once
    // encoding has failed (the frame is dropped).
    bool Push(FramePtr picture, bool reusable, std::vector<int16_t>* samples, int32_t sample_count);
    // Makes the encoding fail with `error`, for a frame the caller could
    // not prepare.
    void Fail(const std::string& error);
    // Waits until every frame handed over is encoded; false with `error` set
    // when encoding failed. The output is the caller's again afterwards.
    bool Finish(std::string* error);
    bool failed();
    // Frames encoded so far.
    int64_t frames_done();

  private:
    struct Job {
        FramePtr picture;
        bool reusable = false;
        std::vector<int16_t> samples;
        int32_t sample_count = 0;
    };
    void Loop();
    // Keeps what the job leaves for later frames (the caller holds mutex_).
    void Recycle(Job* job);

    OutputFile* output_;
    const size_t depth_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Job> queue_;              // frames waiting, in order
    std::vector<Job> spare_;              // sample storage of frames done
    std::vector<FramePtr> spare_frames_;  // converted pictures done
    bool closing_ = false;
    bool failed_ = false;
    std::string error_;
    int64_t done_ = 0;
    std::thread thread_;
};
