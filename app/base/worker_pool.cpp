#include "base/worker_pool.h"

WorkerPool::WorkerPool(int32_t threads) : threads_(threads > 0 ? threads : 1) {}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_)
        t.join();
}

void WorkerPool::Start() {
    workers_.reserve(static_cast<size_t>(threads_ - 1));
    for (int32_t i = 1; i < threads_; ++i)
        workers_.emplace_back(&WorkerPool::Work, this, i);
}

namespace {

// Block `index` of `parts` equal blocks of [0, count).
void BlockOf(int32_t count, int32_t parts, int32_t index, int32_t* begin, int32_t* end) {
    *begin = static_cast<int32_t>(int64_t(count) * index / parts);
    *end = static_cast<int32_t>(int64_t(count) * (index + 1) / parts);
}

}  // namespace

void WorkerPool::Work(int32_t index) {
    int64_t seen = 0;
    for (;;) {
        BlockFn fn;
        const void* body;
        int32_t count;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
            if (stop_) return;
            seen = generation_;
            fn = fn_;
            body = body_;
            count = count_;
        }
        int32_t begin, end;
        BlockOf(count, threads_, index, &begin, &end);
        if (begin < end) fn(body, index, begin, end);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (--pending_ == 0) done_.notify_one();
        }
    }
}

void WorkerPool::RunBlocks(int32_t count, int32_t serial_below, BlockFn fn, const void* body) {
    if (count <= 0) return;
    if (threads_ == 1 || count < serial_below || count < threads_) {
        fn(body, 0, 0, count);
        return;
    }
    std::lock_guard<std::mutex> turn(run_mutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (workers_.empty()) Start();
        fn_ = fn;
        body_ = body;
        count_ = count;
        pending_ = threads_ - 1;
        ++generation_;
    }
    wake_.notify_all();
    int32_t begin, end;
    BlockOf(count, threads_, 0, &begin, &end);
    fn(body, 0, begin, end);
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return pending_ == 0; });
    fn_ = nullptr;
    body_ = nullptr;
}
