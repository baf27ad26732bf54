// The command line of the kinetra program.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "kinetra/plugin_abi.h"

// Called after each rendered frame with the output image (width x height
// pixels, rows of `stride`); returning false stops the render as Ctrl-C does.
using FrameObserver = std::function<bool(int32_t frame, const PixelYC* pixels, int32_t width,
                                         int32_t height, int32_t stride)>;

struct RenderOptions {
    std::string source;
    std::string output;
    int32_t first_frame = 0;
    int32_t last_frame = -1;                           // -1: to the end of the project
    std::vector<std::pair<int32_t, int32_t>> sliders;  // (slider index, value) to set
    int32_t threads = 0;                               // 0: the machine's cores
    int32_t max_frames = 0;  // longest project a script may ask for; 0: source + 10 minutes
    bool quiet = false;
    bool lossless = false;
    bool audio = true;
    int crf = 20;
    std::string preset = "medium";
    std::string plugin;  // empty: next to the executable, or $KINETRA_PLUGIN
    FrameObserver observer;
};

struct DemoOptions {
    std::string directory = "kinetra-demo";
    int32_t threads = 0;
    bool quiet = false;
    std::string plugin;
};

enum class CommandKind { kHelp, kRender, kDemo };

struct Command {
    CommandKind kind = CommandKind::kHelp;
    RenderOptions render;
    DemoOptions demo;
};

// Parses the arguments after the program name; false with a one-line
// `error` for a usage error.
bool ParseCommandLine(const std::vector<std::string>& args, Command* command, std::string* error);

std::string UsageText();

// The slider index of a variable letter (a b c d u v x y z -> 1..9), or -1.
int32_t SliderOfLetter(char letter);
