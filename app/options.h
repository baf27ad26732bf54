// The command line of the kinetra program: `kinetra COMMAND [arguments]`,
// one parser and one help text per command, and the program-wide options
// (--help, --version).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "kinetra/plugin_abi.h"
#include "preview_options.h"

// Called after each rendered frame with the output image (width x height
// pixels, rows of `stride`); returning false stops the render as Ctrl-C does.
using FrameObserver = std::function<bool(int32_t frame, const PixelYC* pixels, int32_t width,
                                         int32_t height, int32_t stride)>;

// What to do when the output already exists: ask on a terminal (and refuse
// elsewhere), replace it (-y) or never replace it (-n).
enum class Overwrite { kAsk, kYes, kNo };

struct RenderOptions {
    std::string source;
    std::string output;  // "-": standard output (with `format`)
    std::string format;  // -f: the container by name; empty: by the output's extension
    int32_t first_frame = 0;
    int32_t last_frame = -1;                           // -1: to the end of the project
    std::vector<std::pair<int32_t, int32_t>> sliders;  // (slider index, value) to set
    int32_t threads = 0;                               // 0: the machine's cores
    int32_t max_frames = 0;  // longest project a script may ask for; 0: source + 10 minutes
    bool quiet = false;
    bool verbose = false;
    bool lossless = false;
    bool audio = true;
    Overwrite overwrite = Overwrite::kAsk;
    std::string video_codec;    // an FFmpeg encoder name; empty: the container's usual one
    std::string audio_codec;    // likewise
    std::string pixel_format;   // empty: the source's where the encoder has it
    int64_t video_bitrate = 0;  // bits per second; 0: quality-driven (crf)
    int64_t audio_bitrate = 0;  // bits per second; 0: the encoder's usual rate
    int crf = -1;               // -1: the encoder's default quality (20 for H.264)
    std::string preset;         // empty: the encoder's default speed
    int32_t canvas_width = 0;   // buffer size for the plug-in; 0: the frame's size
    int32_t canvas_height = 0;
    std::string plugin;   // empty: $KINETRA_PLUGIN, or found next to the executable
    bool strict = false;  // an error found by the script check stops the render
    FrameObserver observer;
};

struct DemoOptions {
    std::string directory = "kinetra-demo";
    int32_t threads = 0;
    bool quiet = false;
    std::string plugin;
};

// kUsage: `kinetra` alone, a wrong use that prints the usage and exits 2.
enum class CommandKind { kUsage, kHelp, kVersion, kRender, kDemo, kPreview, kCheck };

struct Command {
    CommandKind kind = CommandKind::kUsage;
    std::string name;       // the command word as given ("render"), for messages
    std::string topic;      // kHelp: the command or subject asked about; empty: all
    std::string plugin;     // kVersion: --plugin given before it
    bool markdown = false;  // kHelp on a script command: its argument table in Markdown
    std::string check;      // kCheck: source video, script or directory; empty: ./kinetra.txt
    RenderOptions render;
    DemoOptions demo;
    PreviewOptions preview;
};

// Parses the arguments after the program name; false with a one-line
// `error` for a usage error (command->name then names the command whose
// help to point at, when one was recognised).
bool ParseCommandLine(const std::vector<std::string>& args, Command* command, std::string* error);

// The program's usage: every command with its one-line summary.
std::string UsageText();
// The full help of one command ("render"), or empty when there is none.
std::string CommandHelpText(const std::string& name);
// The commands `kinetra help` lists, in order.
std::vector<std::string> CommandNames();

// The slider index of a variable letter (a b c d u v x y z -> 1..9), or -1.
int32_t SliderOfLetter(char letter);

// A bit rate such as 2500000, 2500k, 2.5M; false when malformed or not positive.
bool ParseBitRate(const std::string& text, int64_t* bits);
