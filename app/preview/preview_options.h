// The options of `kinetra preview`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PreviewOptions {
    std::string source;
    int32_t port = 0;     // 0: an unused port
    bool open = false;    // open the page with xdg-open
    int32_t threads = 0;  // 0: the machine's cores
    std::string plugin;   // empty: as for render
};

// Parses the arguments of `kinetra preview` (args[0] is "preview"); false
// with a one-line `error` for a usage error.
bool ParsePreviewArguments(const std::vector<std::string>& args, PreviewOptions* options,
                           std::string* error);

// Runs the preview until it is stopped; returns the exit status.
int RunPreview(const PreviewOptions& options);
