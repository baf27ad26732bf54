#include "common/parallel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace parallel {

namespace {

// The loop the workers are running: its body and its blocks.
struct Job {
    RangeBody body = nullptr;
    void* context = nullptr;
    int64_t begin = 0, count = 0;
    int32_t blocks = 0;
};

void RunBlock(const Job& job, int32_t index) {
    Block block = StaticBlock(job.count, job.blocks, index);
    if (block.first < block.last) {
        job.body(job.context, job.begin + block.first, job.begin + block.last);
    }
}

class Pool {
  public:
    ~Pool() { StopAtUnload(); }

    int32_t Running() {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<int32_t>(workers_.size());
    }

    // Runs the job's blocks on the calling thread (block 0) and the workers.
    // Only one thread at a time gets here (see RunRange).
    void Run(const Job& job) {
        int32_t started = StartWorkers(job.blocks - 1);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job_ = job;
            participants_ = started;
            pending_ = started;
            ++generation_;
        }
        wake_.notify_all();
        // Blocks without a worker (a thread that could not be started) run
        // here too; they are the same blocks, so the result is the same.
        RunOwnBlocks(job, started);
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return pending_ == 0; });
    }

    void Stop() {
        std::vector<std::thread> leaving;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            leaving.swap(workers_);
        }
        wake_.notify_all();
        for (std::thread& worker : leaving)
            worker.join();
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
    }

  private:
    void RunOwnBlocks(const Job& job, int32_t started) {
        try {
            RunBlock(job, 0);
            for (int32_t index = started + 1; index < job.blocks; ++index)
                RunBlock(job, index);
        } catch (...) {
            // The workers still read the caller's context: wait for them.
            std::unique_lock<std::mutex> lock(mutex_);
            done_.wait(lock, [this] { return pending_ == 0; });
            throw;
        }
    }

    // Makes sure `wanted` workers run; returns how many do (fewer only when
    // the system refuses a thread).
    int32_t StartWorkers(int32_t wanted) {
        std::lock_guard<std::mutex> lock(mutex_);
        while (static_cast<int32_t>(workers_.size()) < wanted) {
            int32_t index = static_cast<int32_t>(workers_.size()) + 1;
            // A new worker waits for the next loop, not the one before it.
            uint64_t seen = generation_;
            try {
                workers_.emplace_back([this, index, seen] { WorkerMain(index, seen); });
            } catch (const std::system_error&) {
                break;
            }
        }
        return std::min(wanted, static_cast<int32_t>(workers_.size()));
    }

    void WorkerMain(int32_t index, uint64_t seen) {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
            // Workers beyond the ones this loop counted on sit it out (the
            // thread count went down since they started).
            if (index > participants_) continue;
            Job job = job_;
            lock.unlock();
            RunBlock(job, index);
            lock.lock();
            if (--pending_ == 0) done_.notify_one();
        }
    }

    void StopAtUnload() {
#ifdef _WIN32
        // Here the loader lock is held: a worker leaving now would wait for
        // it to announce its exit, and joining it would never return. The
        // host's exit call has joined the workers already; any left (exit
        // skipped) are let go parked, never woken, so none runs again.
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::thread& worker : workers_)
            worker.detach();
        workers_.clear();
#else
        // dlclose and process exit run this on an ordinary thread: the
        // workers finish and are joined before the code they run goes away.
        Stop();
#endif
    }

    std::mutex mutex_;              // guards everything below
    std::condition_variable wake_;  // workers: a new loop, or stop
    std::condition_variable done_;  // the caller: every worker finished
    std::vector<std::thread> workers_;
    Job job_;
    uint64_t generation_ = 0;   // counts loops; a worker runs each one once
    int32_t participants_ = 0;  // workers 1..participants_ run the current loop
    int32_t pending_ = 0;       // workers still inside the current loop
    bool stopping_ = false;
};

// Destroyed when the plug-in is unloaded (or the process ends): the last
// chance to join the workers.
Pool g_pool;

int32_t DefaultThreadCount() {
    unsigned cores = std::thread::hardware_concurrency();
    return std::clamp(static_cast<int32_t>(cores), 1, kMaxThreads);
}

// Set from the host's answer at the first init; until then (parts of the
// plug-in used directly, as benchmarks do) one thread per core. Atomic, as
// one thread may set it while another reads it.
std::atomic<int32_t> g_thread_count{DefaultThreadCount()};

// One loop at a time uses the workers; a second thread's loop runs serially.
std::mutex g_dispatch;
// Set on threads that are inside a loop body: a nested loop runs serially.
thread_local bool t_inside_loop = false;

struct InsideLoop {
    InsideLoop() { t_inside_loop = true; }
    ~InsideLoop() { t_inside_loop = false; }
};

}  // namespace

void SetThreadCount(int32_t count) {
    g_thread_count.store(std::clamp(count, 1, kMaxThreads), std::memory_order_relaxed);
}

int32_t ThreadCount() {
    return g_thread_count.load(std::memory_order_relaxed);
}

void StopWorkers() {
    std::lock_guard<std::mutex> dispatch(g_dispatch);
    g_pool.Stop();
}

int32_t RunningWorkers() {
    return g_pool.Running();
}

Block StaticBlock(int64_t count, int32_t blocks, int32_t index) {
    int64_t size = count / blocks;
    int64_t extra = count % blocks;
    int64_t first = index * size + std::min<int64_t>(index, extra);
    return {first, first + size + (index < extra ? 1 : 0)};
}

bool RunsSerially(int64_t count, int64_t cost_per_item) {
    if (count < 2) return true;
    int64_t cost = std::max<int64_t>(cost_per_item, 1);
    // count * cost < limit, without overflowing.
    return count < (kSerialWorkLimit + cost - 1) / cost;
}

void RunRange(int64_t begin, int64_t end, int64_t cost_per_item, RangeBody body, void* context) {
    if (end <= begin) return;
    const int64_t count = end - begin;
    const int32_t threads = ThreadCount();
    if (threads <= 1 || t_inside_loop || RunsSerially(count, cost_per_item)) {
        body(context, begin, end);
        return;
    }
    std::unique_lock<std::mutex> dispatch(g_dispatch, std::try_to_lock);
    if (!dispatch.owns_lock()) {
        body(context, begin, end);
        return;
    }
    InsideLoop inside;
    Job job;
    job.body = body;
    job.context = context;
    job.begin = begin;
    job.count = count;
    job.blocks = threads;
    g_pool.Run(job);
}

}  // namespace parallel
