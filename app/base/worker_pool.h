// The host program's own worker threads for its row loops (colour
// conversion). A loop's range is split into equal contiguous blocks, one per
// thread, the calling thread taking the first; idle workers sleep on a
// condition variable, so they never compete with the codecs' threads for the
// cores. Results never depend on the thread count: every block runs the same
// code on its own rows.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class WorkerPool {
  public:
    // A pool of `threads` threads in all (the caller counts as one); the
    // workers start on the first loop that needs them.
    explicit WorkerPool(int32_t threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int32_t threads() const { return threads_; }

    // Calls body(block, begin, end) for the blocks of [0, count), block
    // 0..threads()-1, and returns when all have run. Ranges shorter than
    // `serial_below` run on the calling thread as one block. Loops from
    // different threads take turns.
    template <typename Body>
    void Run(int32_t count, int32_t serial_below, const Body& body) {
        RunBlocks(count, serial_below, &CallBody<Body>, &body);
    }

  private:
    using BlockFn = void (*)(const void* body, int32_t block, int32_t begin, int32_t end);
    template <typename Body>
    static void CallBody(const void* body, int32_t block, int32_t begin, int32_t end) {
        (*static_cast<const Body*>(body))(block, begin, end);
    }
    void RunBlocks(int32_t count, int32_t serial_below, BlockFn fn, const void* body);
    void Work(int32_t index);
    void Start();

    const int32_t threads_;
    std::mutex run_mutex_;  // one loop at a time
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::vector<std::thread> workers_;
    BlockFn fn_ = nullptr;
    const void* body_ = nullptr;
    int32_t count_ = 0;
    int64_t generation_ = 0;
    int32_t pending_ = 0;
    bool stop_ = false;
};
