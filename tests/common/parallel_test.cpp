// The worker pool: how loops are split, when they stay on the calling thread,
// and that the plug-in's workers come and go with it.
#include "common/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/test_host.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h.
#include <tlhelp32.h>
#else
#include <dirent.h>
#endif
#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using parallel::Block;
using testhost::TestHost;

// Restores the pool's thread count after a test that changes it.
class ThreadCountGuard {
  public:
    explicit ThreadCountGuard(int32_t count) : saved_(parallel::ThreadCount()) {
        parallel::SetThreadCount(count);
    }
    ~ThreadCountGuard() {
        parallel::SetThreadCount(saved_);
        parallel::StopWorkers();
    }

  private:
    int32_t saved_;
};

// ---- the static split ------------------------------------------------------

TEST(StaticBlock, EqualContiguousBlocksWithTheExtraItemsFirst) {
    struct Case {
        int64_t count;
        int32_t blocks;
        std::vector<Block> expected;
    };
    const Case cases[] = {
        {10, 3, {{0, 4}, {4, 7}, {7, 10}}},
        {9, 3, {{0, 3}, {3, 6}, {6, 9}}},
        {2, 3, {{0, 1}, {1, 2}, {2, 2}}},
        {0, 2, {{0, 0}, {0, 0}}},
        {7, 1, {{0, 7}}},
        {11, 4, {{0, 3}, {3, 6}, {6, 9}, {9, 11}}},
        {int64_t{1} << 40,
         3,
         {{0, 366503875926}, {366503875926, 733007751851}, {733007751851, 1099511627776}}},
    };
    for (const Case& c : cases) {
        for (int32_t i = 0; i < c.blocks; ++i) {
            Block b = parallel::StaticBlock(c.count, c.blocks, i);
            EXPECT_EQ(b.first, c.expected[i].first) << c.count << "/" << c.blocks << " #" << i;
            EXPECT_EQ(b.last, c.expected[i].last) << c.count << "/" << c.blocks << " #" << i;
        }
    }
}

TEST(StaticBlock, SerialBelowTheWorkLimitWhateverTheThreadCount) {
    const int64_t limit = parallel::kSerialWorkLimit;
    struct Case {
        int64_t count, cost;
        bool serial;
    };
    const Case cases[] = {
        {limit - 1, 1, true},
        {limit, 1, false},
        {limit / 64, 64, false},
        {limit / 64 - 1, 64, true},
        {1, int64_t{1} << 62, true},
        {2, int64_t{1} << 62, false},
        {limit, 0, false},
        {limit - 1, 0, true},
        {int64_t{1} << 40, int64_t{1} << 40, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parallel::RunsSerially(c.count, c.cost), c.serial) << c.count << " x " << c.cost;
    }
}

// ---- loops -----------------------------------------------------------------

// Which thread ran each index of a loop.
std::vector<std::thread::id> RecordThreads(int64_t count, int64_t cost) {
    std::vector<std::thread::id> ran(static_cast<size_t>(count));
    std::vector<std::atomic<int>> visits(static_cast<size_t>(count));
    parallel::ParallelFor(int64_t{0}, count, cost, [&](int64_t i) {
        ran[static_cast<size_t>(i)] = std::this_thread::get_id();
        visits[static_cast<size_t>(i)].fetch_add(1);
    });
    for (int64_t i = 0; i < count; ++i) {
        EXPECT_EQ(visits[static_cast<size_t>(i)].load(), 1) << "index " << i;
    }
    return ran;
}

TEST(ParallelFor, EachThreadRunsItsStaticBlock) {
    for (int32_t threads : {2, 3, 4}) {
        ThreadCountGuard guard(threads);
        const int64_t count = 3 * parallel::kSerialWorkLimit + 5;
        std::vector<std::thread::id> ran = RecordThreads(count, 1);
        std::vector<std::thread::id> owners;
        for (int32_t b = 0; b < threads; ++b) {
            Block block = parallel::StaticBlock(count, threads, b);
            std::thread::id owner = ran[static_cast<size_t>(block.first)];
            for (int64_t i = block.first; i < block.last; ++i) {
                ASSERT_EQ(ran[static_cast<size_t>(i)], owner) << threads << " threads, index " << i;
            }
            for (std::thread::id other : owners)
                EXPECT_NE(owner, other) << threads << " threads, block " << b;
            owners.push_back(owner);
        }
        EXPECT_EQ(owners[0], std::this_thread::get_id());  // the caller takes block 0
        EXPECT_EQ(parallel::RunningWorkers(), threads - 1);
    }
}

TEST(ParallelFor, SmallLoopsStayOnTheCallingThread) {
    ThreadCountGuard guard(4);
    for (int64_t cost : {1, 7, 1000}) {
        int64_t count = (parallel::kSerialWorkLimit - 1) / cost;
        for (std::thread::id id : RecordThreads(count, cost))
            ASSERT_EQ(id, std::this_thread::get_id()) << count << " x " << cost;
    }
    EXPECT_EQ(parallel::RunningWorkers(), 0);  // nothing started for them
}

TEST(ParallelFor, KeepsTheIndexTypeAndAnyStart) {
    ThreadCountGuard guard(3);
    std::vector<int32_t> seen(40000, 0);
    parallel::ParallelFor(-20000, 20000, 1, [&](int32_t i) { seen[size_t(i + 20000)] += i; });
    for (int32_t i = -20000; i < 20000; ++i)
        ASSERT_EQ(seen[size_t(i + 20000)], i);
    parallel::ParallelFor(5, 5, 1 << 20, [&](int32_t) { ADD_FAILURE() << "empty range ran"; });
    parallel::ParallelFor(5, 2, 1 << 20, [&](int32_t) { ADD_FAILURE() << "reversed range ran"; });
}

TEST(ParallelFor, ANestedLoopRunsOnItsOwnThread) {
    ThreadCountGuard guard(3);
    const int64_t outer = 6, inner = 2 * parallel::kSerialWorkLimit;
    std::vector<std::atomic<int64_t>> sums(outer);
    parallel::ParallelFor(int64_t{0}, outer, parallel::kSerialWorkLimit, [&](int64_t o) {
        std::thread::id self = std::this_thread::get_id();
        parallel::ParallelFor(int64_t{0}, inner, 1, [&](int64_t i) {
            EXPECT_EQ(std::this_thread::get_id(), self);
            sums[size_t(o)] += i;
        });
    });
    for (int64_t o = 0; o < outer; ++o)
        EXPECT_EQ(sums[size_t(o)].load(), inner * (inner - 1) / 2);
}

TEST(ParallelFor, LoopsFromSeveralThreadsAtOnceAllComplete) {
    ThreadCountGuard guard(2);
    const int64_t count = 4 * parallel::kSerialWorkLimit;
    std::vector<std::thread> callers;
    std::vector<int64_t> totals(4, 0);
    for (size_t t = 0; t < totals.size(); ++t) {
        callers.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                std::atomic<int64_t> sum{0};
                parallel::ParallelForRanges(
                    0, count, 1, [&](int64_t first, int64_t last) { sum += last - first; });
                totals[t] += sum.load();
            }
        });
    }
    for (std::thread& c : callers)
        c.join();
    for (int64_t total : totals)
        EXPECT_EQ(total, 20 * count);
}

TEST(ParallelFor, WorkersStopAndStartAgain) {
    ThreadCountGuard guard(3);
    const int64_t count = 2 * parallel::kSerialWorkLimit;
    for (int round = 0; round < 3; ++round) {
        RecordThreads(count, 1);
        EXPECT_EQ(parallel::RunningWorkers(), 2);
        parallel::StopWorkers();
        parallel::StopWorkers();  // a second stop changes nothing
        EXPECT_EQ(parallel::RunningWorkers(), 0);
    }
    parallel::SetThreadCount(0);  // clamped to one: serial
    EXPECT_EQ(parallel::ThreadCount(), 1);
    RecordThreads(count, 1);
    EXPECT_EQ(parallel::RunningWorkers(), 0);
}

// ---- the plug-in's workers ---------------------------------------------------

#ifdef _WIN32
int32_t ThreadsInProcess() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int32_t n = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++n;
    }
    CloseHandle(snapshot);
    return n;
}
#else
int32_t ThreadsInProcess() {
    int32_t n = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return -1;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] != '.') ++n;
    }
    closedir(tasks);
    return n;
}
#endif

// The thread count once it settles at `expected` (a joined thread may take a
// moment to leave the list, a Windows worker a while to end itself); the last
// count seen when a minute passed first (a hang, not a slow machine).
int32_t ThreadsSettlingAt(int32_t expected) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int32_t n = ThreadsInProcess();
    while (n != expected && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        n = ThreadsInProcess();
    }
    return n;
}

// The thread count to measure from: the pool used directly is stopped, and
// the threads joined before (by earlier tests in this process) have left the
// list, which is taken to be when the count has not changed for half a
// second. An emulated thread may linger there for a while after its join.
int32_t SettledThreadCount() {
    parallel::StopWorkers();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int32_t n = ThreadsInProcess();
    auto since = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - since < std::chrono::milliseconds(500) &&
           std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const int32_t now = ThreadsInProcess();
        if (now != n) since = std::chrono::steady_clock::now();
        n = now;
    }
    return n;
}

// A frame whose whole-picture loop is split between the workers.
void RunLargeFrame(TestHost* host) {
    host->WriteScript("[0-99]\ngamma(0, 0, 0, 256, 128, 1.5, 1, 1)\n");
    host->RunVideo(0);
}

TEST(PluginWorkers, UseTheHostsThreadCountAndLeaveAtExit) {
    const int32_t start = SettledThreadCount();
    for (int32_t threads : {1, 2, 3, 5}) {
        TestHost host(256, 128, 100, threads);
        // The threads the host ran init on, and the workers of the host
        // before, are joined but may linger in the list for a moment.
        ASSERT_EQ(ThreadsSettlingAt(start), start) << threads << " threads";
        RunLargeFrame(&host);
        EXPECT_EQ(ThreadsInProcess(), start + threads - 1) << threads << " threads";
        host.Exit();
        EXPECT_EQ(ThreadsSettlingAt(start), start) << threads << " threads";
        RunLargeFrame(&host);  // a call after exit starts them again
        EXPECT_EQ(ThreadsInProcess(), start + threads - 1) << threads << " threads";
    }
    EXPECT_EQ(ThreadsSettlingAt(start), start);
}

TEST(PluginWorkers, ManyLoadsAndUnloadsLeaveNoThread) {
    const int32_t start = SettledThreadCount();
    // An editor may load, run and unload its plug-ins a hundred times.
    for (int cycle = 0; cycle < 100; ++cycle) {
        TestHost host(256, 128, 100, 3);
#ifdef _WIN32
        // There the unload runs under the loader lock, where no thread can be
        // joined: the host's exit is the only way the workers leave.
        const bool with_exit = true;
#else
        const bool with_exit = cycle % 2 == 0;
#endif
        if (with_exit) {
            RunLargeFrame(&host);
            continue;
        }
        // Without exit the unload joins the workers. The frame buffers that
        // exit would have freed are lost then, as they would be in any host.
#ifdef __SANITIZE_ADDRESS__
        __lsan::ScopedDisabler lost_by_design;
#endif
        RunLargeFrame(&host);
        host.UnloadWithoutExit();
    }
    EXPECT_EQ(ThreadsSettlingAt(start), start);
}

#ifdef _WIN32
TEST(PluginWorkers, AnUnloadWithoutExitCompletesWhenTheWorkersHaveLeft) {
    const int32_t start = SettledThreadCount();
    std::string path;
    {
        TestHost host(256, 128, 100, 3);
        // The workers cannot leave before they have been idle for 2 s, and
        // they start being idle after this moment.
        const auto loop_started = std::chrono::steady_clock::now();
        RunLargeFrame(&host);
        path = host.library_path();
        host.UnloadWithoutExit();
        // The workers hold the module, so the code they run stays mapped.
        const int32_t threads = ThreadsInProcess();
        const bool mapped = GetModuleHandleA(path.c_str()) != nullptr;
        // What was seen is the state before any worker left only when the
        // machine did not stall that long in between.
        if (std::chrono::steady_clock::now() - loop_started < std::chrono::milliseconds(1900)) {
            EXPECT_EQ(threads, start + 2);
            EXPECT_TRUE(mapped);
        }
    }
    // Idle workers leave one after the other; the last one out unloads it.
    EXPECT_EQ(ThreadsSettlingAt(start), start);
    EXPECT_EQ(GetModuleHandleA(path.c_str()), nullptr);
}
#endif

}  // namespace
