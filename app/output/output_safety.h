// Guards around the output name: that it names no file the render reads (the
// source, the script and the files the script opens, whatever path reaches
// them), the name under which an interrupted render keeps its frames, and the
// removal of temporary files that killed renders left behind.
#pragma once

#include <string>
#include <vector>

// True when `path` names an existing regular file or other non-directory
// reached through links that is the same file as one of `inputs` (same device
// and inode), or, for a numbered sequence (`pattern` with a %d), when one of
// `inputs` is a file in the pattern's directory whose name the pattern
// produces. `clash` gets the input it met.
bool OutputHitsInput(const std::string& path, bool pattern, const std::vector<std::string>& inputs,
                     std::string* clash);

// "dir/out.mp4" -> "dir/out.partial.mp4"; "dir/out" -> "dir/out.partial".
// `attempt` > 1 gives "dir/out.partial2.mp4" and so on.
std::string PartialName(const std::string& path, int attempt = 1);

// Moves `from` to the first free partial name of `path` without replacing
// anything; returns that name, or "" (with errno) when it could not.
std::string KeepAsPartial(const std::string& from, const std::string& path);

// The temporary name a render writes `path` under: ".NAME.part<pid>" next
// to it.
std::string TemporaryName(const std::string& path, long pid);

// Removes ".NAME.part<pid>" files next to `path` whose process no longer
// exists; returns how many.
int RemoveStaleTemporaries(const std::string& path);
