#include "base/host_threads.h"

#include <thread>

namespace {

int32_t g_thread_count = 0;

}  // namespace

int32_t HostThreadCount() {
    if (g_thread_count <= 0) {
        unsigned cores = std::thread::hardware_concurrency();
        g_thread_count = cores > 0 ? static_cast<int32_t>(cores) : 1;
    }
    return g_thread_count;
}

void SetHostThreadCount(int32_t count) {
    g_thread_count = count > 0 ? count : 1;
}
