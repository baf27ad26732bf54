// The directory rule for Shift-JIS paths.
#include "platform/platform.h"
#include "common/shiftjis.h"

namespace platform {

size_t ShiftJisDirectoryPartLength(const char* path, size_t capacity, char separator) {
    size_t last = 0;
    size_t i = 0;
    while (i < capacity && path[i] != '\0') {
        if (i + 1 < capacity && CharLength(path + i) == 2) {
            i += 2;
            continue;
        }
        if (path[i] == separator) last = i;
        ++i;
    }
    return last + 1;
}

}  // namespace platform
