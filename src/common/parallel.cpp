#include "common/parallel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <new>
#include <windows.h>
#endif

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

class Pool;

// How a worker thread starts and ends differs between the platforms (see
// LaunchWorker); what it does in between is Pool::WorkerMain.
bool LaunchWorker(Pool* pool, int32_t index, uint64_t seen);

class Pool {
  public:
    // dlclose and process exit run this on an ordinary thread: the workers
    // finish and are joined before the code they run goes away. (Windows
    // never destroys its pool: see g_pool.)
    ~Pool() { Stop(); }

    int32_t Running() {
        std::lock_guard<std::mutex> lock(mutex_);
        return live_;
    }

    // Runs the job's blocks on the calling thread (block 0) and the workers.
    // Only one thread at a time gets here (see RunRange).
    void Run(const Job& job) {
        int32_t started = 0;
        {
            // Under one lock with the job, so that no worker counted on can
            // retire before it sees the job.
            std::lock_guard<std::mutex> lock(mutex_);
            started = StartWorkers(job.blocks - 1);
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
        std::unique_lock<std::mutex> lock(mutex_);
        stopping_ = true;
        leaving.swap(threads_);
        wake_.notify_all();
        // Windows workers end themselves (LaunchWorker); wait until they have.
        left_.wait(lock, [this] { return live_ == 0; });
        lock.unlock();
        for (std::thread& worker : leaving)
            worker.join();
        lock.lock();
        stopping_ = false;
    }

    // The body of a worker thread: runs its block of every loop until the
    // pool stops (or, on Windows, until it has been idle for a while).
    void WorkerMain(int32_t index, uint64_t seen) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto idle_since = std::chrono::steady_clock::now();
        while (!stopping_) {
            if (generation_ == seen) {
                if (MayRetire(index, idle_since)) break;
                WaitForWork(&lock, idle_since);
                continue;
            }
            seen = generation_;
            // Workers beyond the ones this loop counted on sit it out (the
            // thread count went down since they started).
            if (index > participants_) continue;
            Job job = job_;
            lock.unlock();
            RunBlock(job, index);
            lock.lock();
            if (--pending_ == 0) done_.notify_one();
            idle_since = std::chrono::steady_clock::now();
        }
        --live_;
        left_.notify_all();
        wake_.notify_all();  // the next worker down may retire now
    }

    // Keeps a std::thread to join at Stop (the POSIX way of ending workers).
    void Adopt(std::thread thread) { threads_.push_back(std::move(thread)); }

  private:
#ifdef _WIN32
    // A worker idle this long leaves, so that a host that unloads the
    // plug-in without ending its filters still gets it unloaded (each worker
    // holds the module while it runs). The highest-numbered worker leaves
    // first, so the ones left keep numbers 1..live_.
    static constexpr auto kIdleLimit = std::chrono::seconds(2);

    bool MayRetire(int32_t index, std::chrono::steady_clock::time_point idle_since) const {
        return index == live_ && std::chrono::steady_clock::now() - idle_since >= kIdleLimit;
    }
    void WaitForWork(std::unique_lock<std::mutex>* lock,
                     std::chrono::steady_clock::time_point idle_since) {
        wake_.wait_until(*lock, idle_since + kIdleLimit);
    }
#else
    // Here workers stay until StopWorkers or the unload joins them.
    bool MayRetire(int32_t, std::chrono::steady_clock::time_point) const {
        return false;
    }
    void WaitForWork(std::unique_lock<std::mutex>* lock, std::chrono::steady_clock::time_point) {
        wake_.wait(*lock);
    }
#endif

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
    // the system refuses a thread). Called with mutex_ held.
    int32_t StartWorkers(int32_t wanted) {
        while (live_ < wanted) {
            // A new worker waits for the next loop, not the one before it.
            if (!LaunchWorker(this, live_ + 1, generation_)) break;
            ++live_;
        }
        return std::min(wanted, live_);
    }

    std::mutex mutex_;              // guards everything below
    std::condition_variable wake_;  // workers: a new loop, or stop
    std::condition_variable done_;  // the caller: every worker finished
    std::condition_variable left_;  // Stop: a worker has left
    std::vector<std::thread> threads_;
    Job job_;
    uint64_t generation_ = 0;   // counts loops; a worker runs each one once
    int32_t live_ = 0;          // workers 1..live_ are running
    int32_t participants_ = 0;  // workers 1..participants_ run the current loop
    int32_t pending_ = 0;       // workers still inside the current loop
    bool stopping_ = false;
};

#ifdef _WIN32
struct WorkerStart {
    Pool* pool;
    int32_t index;
    uint64_t seen;
    HMODULE module;
};

DWORD WINAPI WorkerEntry(LPVOID argument) {
    WorkerStart start = *static_cast<WorkerStart*>(argument);
    delete static_cast<WorkerStart*>(argument);
    start.pool->WorkerMain(start.index, start.seen);
    // The module's code must stay mapped until the thread is gone: the
    // reference taken at launch is dropped by the call that ends the thread.
    FreeLibraryAndExitThread(start.module, 0);
    return 0;
}

bool LaunchWorker(Pool* pool, int32_t index, uint64_t seen) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&WorkerEntry), &module)) {
        return false;
    }
    auto* start = new (std::nothrow) WorkerStart{pool, index, seen, module};
    HANDLE thread =
        start != nullptr ? CreateThread(nullptr, 0, WorkerEntry, start, 0, nullptr) : nullptr;
    if (thread == nullptr) {
        delete start;
        FreeLibrary(module);
        return false;
    }
    CloseHandle(thread);
    return true;
}
#else
bool LaunchWorker(Pool* pool, int32_t index, uint64_t seen) {
    try {
        pool->Adopt(std::thread([pool, index, seen] { pool->WorkerMain(index, seen); }));
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}
#endif

#ifdef _WIN32
// Never destroyed. A process ends by destroying its static objects while
// its other threads still run (the system ends them only afterwards): idle
// workers still wait on the pool's lock then, and one that woke would touch
// a destroyed lock. The pool lives in the module's own storage, so an
// unload (which comes only after every worker has left) frees it with the
// module.
alignas(Pool) unsigned char g_pool_storage[sizeof(Pool)];
Pool& g_pool = *new (g_pool_storage) Pool;
#else
// Destroyed when the plug-in is unloaded (or the process ends): the last
// chance to join the workers.
Pool g_pool;
#endif

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
// The thread whose loop the workers run now. A loop nested in a body runs
// serially: on this thread it is seen here, on a worker g_dispatch is taken.
// An atomic rather than thread-local storage: the plug-in's module is loaded
// and unloaded by the host, and the thread-local storage of an unloaded
// module is left behind for whatever walks the threads later (the leak
// checker at exit reads it and fails).
std::atomic<std::thread::id> g_loop_owner{};

struct LoopOwner {
    LoopOwner() { g_loop_owner.store(std::this_thread::get_id()); }
    ~LoopOwner() { g_loop_owner.store(std::thread::id()); }
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
    if (threads <= 1 || g_loop_owner.load() == std::this_thread::get_id() ||
        RunsSerially(count, cost_per_item)) {
        body(context, begin, end);
        return;
    }
    std::unique_lock<std::mutex> dispatch(g_dispatch, std::try_to_lock);
    if (!dispatch.owns_lock()) {
        body(context, begin, end);
        return;
    }
    LoopOwner owner;
    Job job;
    job.body = body;
    job.context = context;
    job.begin = begin;
    job.count = count;
    job.blocks = threads;
    g_pool.Run(job);
}

}  // namespace parallel
