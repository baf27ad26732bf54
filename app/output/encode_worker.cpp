#include "output/encode_worker.h"

#include <utility>

#include "output/output_file.h"

EncodeWorker::EncodeWorker(OutputFile* output, int32_t depth)
    : output_(output), depth_(depth > 0 ? static_cast<size_t>(depth) : 1) {
    queue_.reserve(depth_);
    spare_.reserve(depth_ + 2);
    spare_frames_.reserve(depth_ + 2);
    thread_ = std::thread(&EncodeWorker::Loop, this);
}

EncodeWorker::~EncodeWorker() {
    std::string error;
    Finish(&error);
}

FramePtr EncodeWorker::SpareFrame() {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!spare_frames_.empty()) {
        FramePtr frame = std::move(spare_frames_.back());
        spare_frames_.pop_back();
        // An encoder may keep a reference to a frame it was given.
        if (av_frame_is_writable(frame.get())) return frame;
    }
    return FramePtr();
}

bool EncodeWorker::Push(FramePtr picture, bool reusable, std::vector<int16_t>* samples,
                        int32_t sample_count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return failed_ || queue_.size() < depth_; });
    if (failed_ || closing_) return false;
    Job job;
    if (!spare_.empty()) {
        job = std::move(spare_.back());
        spare_.pop_back();
    }
    job.picture = std::move(picture);
    job.reusable = reusable;
    std::swap(job.samples, *samples);
    job.sample_count = sample_count;
    queue_.push_back(std::move(job));
    changed_.notify_all();
    return true;
}

void EncodeWorker::Fail(const std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failed_) error_ = error;
    failed_ = true;
    changed_.notify_all();
}

void EncodeWorker::Recycle(Job* job) {
    // Every frame's storage is kept: there are never more than the frames
    // in flight, and a storage dropped now would be allocated (and its
    // pages cleared) again for a later frame.
    if (job->picture && job->reusable) spare_frames_.push_back(std::move(job->picture));
    job->picture.reset();
    if (!job->samples.empty()) spare_.push_back(std::move(*job));
    *job = Job();
}

void EncodeWorker::Loop() {
    Job job;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            Recycle(&job);
            changed_.wait(lock, [&] { return closing_ || !queue_.empty(); });
            if (queue_.empty()) return;  // closing with nothing left
            job = std::move(queue_.front());
            queue_.erase(queue_.begin());
            changed_.notify_all();
            if (failed_) continue;  // dropped: the render is failing anyway
        }
        std::string error;
        bool ok = output_->WriteReadyPicture(job.picture.get(), &error) &&
                  output_->WriteAudio(job.samples.data(), job.sample_count, &error);
        std::lock_guard<std::mutex> lock(mutex_);
        if (ok) {
            ++done_;
        } else if (!failed_) {
            failed_ = true;
            error_ = error;
        }
        changed_.notify_all();
    }
}

bool EncodeWorker::Finish(std::string* error) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_) *error = error_;
    return !failed_;
}

bool EncodeWorker::failed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
}

int64_t EncodeWorker::frames_done() {
    std::lock_guard<std::mutex> lock(mutex_);
    return done_;
}
