// File names as the program handles them: absolute forms, the directory and
// last part of a path (POSIX paths, '/' between parts), and the program's own.
#pragma once

#include <string>

// An absolute form of `path` (against the current directory), without
// resolving links.
std::string AbsolutePath(const std::string& path);

// The directory part of `path` with its trailing '/', ready to have a file
// name appended: "a/b/c" gives "a/b/", "/c" gives "/", and a bare name "c"
// gives "./". DirectoryOf(p) + BaseName(p) names the same file as p.
std::string DirectoryOf(const std::string& path);

// The part after the last '/' (all of `path` when it has none).
std::string BaseName(const std::string& path);

// The running program's absolute path ("kinetra" when it cannot be told).
std::string ProgramPath();
