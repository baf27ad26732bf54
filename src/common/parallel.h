// The plug-in's parallel loops: a small pool of worker threads of its own.
//
// A loop over [begin, end) is cut into as many contiguous blocks as there are
// threads, of equal size give or take one item, the first blocks taking the
// extra items (the static schedule). The calling thread runs block 0 and
// worker w runs block w. Every body writes only what belongs to its own
// items, so no result depends on the number of threads or on the split.
//
// A loop whose total work, items times the cost of one item, is below
// kSerialWorkLimit runs on the calling thread alone: waking the workers costs
// more than such a loop. The rule looks at the work only, never at the thread
// count.
//
// Workers start at the first loop that needs them, wait for work on a
// condition variable (they never spin), and are joined by StopWorkers, which
// the plug-in calls when the host ends a filter, and when the plug-in is
// unloaded. On Windows, where an unload cannot wait for a thread, each worker
// holds the module while it runs and leaves by itself after two idle seconds,
// so a host that unloads without ending its filters still gets the module
// unloaded once they have gone. A loop started inside a loop body, or while another thread runs a
// loop, runs serially on its own thread.
#pragma once

#include <cstdint>

namespace parallel {

// Loops with less work than this run serially. The unit is about one simple
// pixel or sample operation.
constexpr int64_t kSerialWorkLimit = 16384;

// The most threads a loop uses, the calling thread included.
constexpr int32_t kMaxThreads = 64;

// Sets the number of threads a loop uses, the calling thread included;
// clamped to 1..kMaxThreads. Takes effect at the next loop.
void SetThreadCount(int32_t count);
int32_t ThreadCount();

// Joins every worker. Safe to call any number of times; the next loop that
// needs workers starts them again.
void StopWorkers();
// Workers running now (for tests).
int32_t RunningWorkers();

// Block `index` of `count` items cut into `blocks` static blocks:
// items [first, last) counted from 0.
struct Block {
    int64_t first, last;
};
Block StaticBlock(int64_t count, int32_t blocks, int32_t index);

// True when a loop of `count` items of `cost_per_item` each runs serially.
bool RunsSerially(int64_t count, int64_t cost_per_item);

using RangeBody = void (*)(void* context, int64_t first, int64_t last);
// Runs body(context, first, last) over the blocks of [begin, end).
void RunRange(int64_t begin, int64_t end, int64_t cost_per_item, RangeBody body, void* context);

// Runs body(first, last) once per non-empty block of [begin, end).
template <class Body>
void ParallelForRanges(int64_t begin, int64_t end, int64_t cost_per_item, const Body& body) {
    RunRange(
        begin, end, cost_per_item,
        [](void* context, int64_t first, int64_t last) {
            (*static_cast<const Body*>(context))(first, last);
        },
        const_cast<Body*>(&body));
}

// Runs body(i) for every i in [begin, end), each block's items in ascending
// order; i has the type of begin and end.
template <class Index, class Body>
void ParallelFor(Index begin, Index end, int64_t cost_per_item, const Body& body) {
    ParallelForRanges(begin, end, cost_per_item, [&body](int64_t first, int64_t last) {
        for (int64_t i = first; i < last; ++i)
            body(static_cast<Index>(i));
    });
}

}  // namespace parallel
