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

    // The export job: the preview starts the program again with these set to
    // render the project in a process of its own (see preview_export.h).
    std::string export_output;
    std::vector<int32_t> export_sliders;
};

// Parses the arguments of `kinetra preview` (args[0] is "preview"); false
// with a one-line `error` for a usage error.
bool ParsePreviewArguments(const std::vector<std::string>& args, PreviewOptions* options,
                           std::string* error);

// Runs the preview (or an export job); returns the exit status.
int RunPreview(const PreviewOptions& options);
