// The operating system's services that the plug-in needs, behind one small
// interface so that each platform can supply its own: the error message box,
// the current directory, file times and reading, the calendar clock and the
// path rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace platform {

// The one message the plug-in ever shows: "out of memory", captioned "Kinetra".
void ShowOutOfMemoryMessage();

// Room for a saved current directory.
constexpr size_t kDirectoryCapacity = 4096;
struct SavedDirectory {
    char path[kDirectoryCapacity];
    bool valid;
};

// Remembers the current directory, then makes `directory` current (a failure
// to change leaves the directory as it was). Always pair with RestoreDirectory.
void EnterDirectory(const char* directory, SavedDirectory* saved);
void RestoreDirectory(const SavedDirectory* saved);

// Last-write time of an existing, readable file, in a 64-bit count that
// changes whenever the file is saved; false when the file cannot be opened.
bool FileLastWriteTime(const char* path, int64_t* time);

// Opens an existing regular file for reading (binary), never waiting: a FIFO
// or a device put in the script's place is refused, not waited on. Null
// when the file cannot be opened or is not a regular file.
std::FILE* OpenRegularFile(const char* path);

// The calendar clock in whole seconds (src/platform/clock.cpp).
int64_t ClockSeconds();

// When not zero, ClockSeconds returns this instead of the calendar clock.
// Only the test programs, which link the plug-in's parts directly, set it, to
// step the script's once-a-second reload rule without waiting for real
// seconds; the plug-in itself never writes it and does not export it, so the
// shipped kinetra.auf always reads the real clock.
extern int64_t g_clock_override;

// The byte that separates directories in a path.
extern const char kPathSeparator;

// Length of the directory part of `path` including its trailing separator,
// reading at most `capacity` bytes; 1 when the path has no separator (the path
// is then cut to its first byte).
size_t DirectoryPartLength(const char* path, size_t capacity);

// The same for paths in Shift-JIS with `separator` (a Windows build passes
// '\\'): the path is walked character by character, so the second byte of a
// two-byte character (0x5C in "ソ" and "表") is never taken for a separator.
// Built on every platform; DirectoryPartLength of a Shift-JIS platform is this.
size_t ShiftJisDirectoryPartLength(const char* path, size_t capacity, char separator);

}  // namespace platform
