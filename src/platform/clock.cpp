// The calendar clock, the same on every platform.
#include <ctime>

#include "platform/platform.h"

namespace platform {

int64_t g_clock_override = 0;

int64_t ClockSeconds() {
    if (g_clock_override != 0) return g_clock_override;
    return static_cast<int64_t>(std::time(nullptr));
}

}  // namespace platform
