// The host's worker-thread count: `--threads`, by default the machine's cores.
// The plug-in's loops, the host's own conversion loops and the codecs use it.
#pragma once

#include <cstdint>

int32_t HostThreadCount();
// Sets the count (at least 1).
void SetHostThreadCount(int32_t count);
