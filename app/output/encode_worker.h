// Encoding behind the render: frames handed over are converted and encoded
// on a thread of their own, in order, while the caller goes on with the next
// frame. At most `depth` frames wait; the pictures and sample blocks travel
// by swapping vectors, so that in the steady state nothing is allocated.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kinetra/plugin_abi.h"
#include "base/ffmpeg_util.h"
#include "base/pixel_buffer.h"

class OutputFile;

class EncodeWorker {
  public:
    // `output` must be started; it belongs to the worker until Finish.
    EncodeWorker(OutputFile* output, int32_t depth);
    ~EncodeWorker();  // waits for the frames handed over
    EncodeWorker(const EncodeWorker&) = delete;
    EncodeWorker& operator=(const EncodeWorker&) = delete;

    // Hands over a frame: `picture` (the output's width x height, rows of
    // `stride`) and `sample_count` sample frames of `samples`. Both vectors
    // come back holding spare storage of earlier frames. False once encoding
    // has failed (the frame is dropped).
    bool Push(PixelBuffer* picture, int32_t stride, std::vector<int16_t>* samples,
              int32_t sample_count);
    // Push for a decoded picture that the output takes as it is
    // (OutputFile::WriteDecoded); `decoded` is taken.
    bool PushDecoded(FramePtr decoded, std::vector<int16_t>* samples, int32_t sample_count);
    // Waits until every frame handed over is encoded; false with `error` set
    // when encoding failed. The output is the caller's again afterwards.
    bool Finish(std::string* error);
    bool failed();
    // Frames encoded so far.
    int64_t frames_done();

  private:
    struct Job {
        PixelBuffer picture;
        FramePtr decoded;  // instead of `picture`
        int32_t stride = 0;
        std::vector<int16_t> samples;
        int32_t sample_count = 0;
    };
    // Queues a job made of the spare storage (the caller fills it in
    // `fill`); false once encoding has failed.
    template <class Fill>
    bool Enqueue(const Fill& fill);
    void Loop();

    OutputFile* output_;
    const size_t depth_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Job> queue_;  // frames waiting, in order
    std::vector<Job> spare_;  // storage of frames done
    bool closing_ = false;
    bool failed_ = false;
    std::string error_;
    int64_t done_ = 0;
    std::thread thread_;
};
