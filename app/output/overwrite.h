// The overwrite rule: an existing output is never replaced silently. -y
// replaces it, -n never does; without either the user is asked when
// standard input is a terminal, and the render is refused otherwise.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// What to do when the output already exists: ask on a terminal (and refuse
// elsewhere), replace it (-y) or never replace it (-n).
enum class Overwrite { kAsk, kYes, kNo };

// The existing files a render to `output` would replace: the file itself,
// or for a numbered sequence (out_%04d.png) the pictures numbered 1 to
// `frames`. Standard output ("-"), FIFOs and devices replace nothing.
std::vector<std::string> FilesReplacedBy(const std::string& output, int64_t frames);

// Whether the render may go on: true when nothing is replaced or the user
// agrees; false with `error` (one line) otherwise. `answers` is read for the
// question when `interactive`; the question goes to `prompt`.
bool MayReplace(const std::vector<std::string>& existing, Overwrite mode, bool interactive,
                FILE* answers, FILE* prompt, std::string* error);
