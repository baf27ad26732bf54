// What the tests need of the operating system, the same on Linux and Windows:
// loading the plug-in as a library, directories and paths in each system's
// own spelling, and file times.
#pragma once

#include <cstdint>
#include <string>

namespace testhost {

// The separator of the system's paths: '/' on Linux, '\' on Windows.
extern const char kSeparator;

// directory + separator + name (`directory` without a trailing separator).
std::string JoinPath(const std::string& directory, const std::string& name);
bool IsAbsolutePath(const std::string& path);

// A new empty directory in the system's temporary folder.
std::string MakeTempDirectory(const char* prefix);
// Creates one directory (names in the system's narrow code page); false when
// it exists or cannot be made.
bool MakeDirectory(const std::string& path);
bool RemoveEmptyDirectory(const std::string& path);
void RemoveTree(const std::string& path);

// The current directory and the canonical spelling of a path, both as the
// system's narrow calls report them ("" when the path does not exist).
std::string CurrentDirectory();
std::string RealPath(const std::string& path);

// A file's last-write time in the system's own units.
bool GetWriteTime(const std::string& path, int64_t* time);
bool SetWriteTime(const std::string& path, int64_t time);

// A loaded library and its exports.
void* LoadLibraryFile(const std::string& path);
void* FindExport(void* library, const char* name);
void UnloadLibrary(void* library);
std::string LastLibraryError();

// Threads of this process; -1 where the system cannot say.
int32_t ProcessThreadCount();

}  // namespace testhost
