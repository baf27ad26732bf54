// The process-wide generator behind "rand(" and the random commands.
#include "formula/random.h"

namespace {
RandomState g_shared_random = {1};
}  // namespace

RandomState* SharedRandom() {
    return &g_shared_random;
}
