// `kinetra render`: runs the plug-in's video and audio filter on every frame
// of a source and encodes the result.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/exit_status.h"
#include "kinetra/plugin_abi.h"
#include "output/encoders.h"
#include "output/overwrite.h"

// Called after each rendered frame with the output image (width x height
// pixels, rows of `stride`); returning false stops the render as Ctrl-C does.
using FrameObserver = std::function<bool(int32_t frame, const PixelYC* pixels, int32_t width,
                                         int32_t height, int32_t stride)>;

// The variable sliders 1..9 by the letters that name them in scripts and on
// the command line (--var a=V); slider 0 is the display buffer (--show N).
constexpr char kVariableSliderLetters[] = "abcduvxyz";

// Everything `kinetra render` (or the preview's export, which runs one)
// was asked: built once from the command line and handed down as const.
struct RenderSettings {
    std::string source;
    std::string output;  // "-": standard output (with `encode.format`)
    EncodeSettings encode;
    int32_t first_frame = 0;
    int32_t last_frame = -1;                           // -1: to the end of the project
    std::vector<std::pair<int32_t, int32_t>> sliders;  // (slider index, value) to set
    int32_t threads = 0;                               // 0: the machine's cores
    int32_t max_frames = 0;  // longest project a script may ask for; 0: source + 10 minutes
    bool quiet = false;
    bool verbose = false;
    Overwrite overwrite = Overwrite::kAsk;
    int32_t canvas_width = 0;  // buffer size for the plug-in; 0: the frame's size
    int32_t canvas_height = 0;
    std::string plugin;            // empty: $KINETRA_PLUGIN, or found next to the executable
    bool strict = false;           // an error found by the script check stops the render
    bool strict_warnings = false;  // --strict=warnings: a warning stops it too
    FrameObserver observer;
};

// Renders as the options say; returns the exit status. Failures are one line
// on standard error naming the file and the reason.
int RunRender(const RenderSettings& settings);
