// POSIX stand-ins for the platform services.
#include "platform/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace platform {

const char kPathSeparator = '/';

void ShowOutOfMemoryMessage() {
    std::fputs("Kinetra: メモリが確保できません。\n", stderr);
    // The same in English, for readers of a terminal rather than a dialog.
    std::fputs("Kinetra: out of memory: the script or the frame's buffers could not be allocated\n",
               stderr);
    std::fflush(stderr);
}

void EnterDirectory(const char* directory, SavedDirectory* saved) {
    saved->valid = getcwd(saved->path, sizeof saved->path) != nullptr;
    if (directory != nullptr && directory[0] != '\0' && chdir(directory) != 0) {
        // Stay where we are; the host resolves names against that.
    }
}

void RestoreDirectory(const SavedDirectory* saved) {
    if (saved->valid && chdir(saved->path) != 0) {
        // Nothing better to do: the directory we came from is gone.
    }
}

bool FileLastWriteTime(const char* path, int64_t* time) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a FIFO must not block
    if (fd < 0) return false;
    struct stat info;
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    close(fd);
    if (!ok) return false;
    *time = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return true;
}

std::FILE* OpenRegularFile(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return nullptr;
    }
    // Reads of a regular file never wait; the flag is cleared all the same.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) close(fd);
    return file;
}

// UTF-8 file names: no byte of a multi-byte character equals '/', so the last
// '/' is the separator.
size_t DirectoryPartLength(const char* path, size_t capacity) {
    size_t last = 0;
    for (size_t i = 0; i < capacity && path[i] != '\0'; ++i) {
        if (path[i] == kPathSeparator) last = i;
    }
    return last + 1;
}

}  // namespace platform
