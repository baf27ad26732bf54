#include "cli/options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int32_t kShowMax = 9;         // "表示Buf": buffers 0..9
constexpr int32_t kVariableMax = 4096;  // "変数a".."変数z": 0..4096
constexpr int32_t kMaxThreads = 256;
constexpr int32_t kMaxCanvas = 16384;  // a side of the plug-in's buffers
constexpr int32_t kMaxCrf = 63;        // the widest quality scale (VP9, AV1)
constexpr int32_t kMaxX26xCrf = 51;
// The speed presets of the H.264 and H.265 encoders, checked here so that a
// typo is a usage error; other encoders' presets are checked when they open.
const char* const kX26xPresets[] = {"ultrafast", "superfast", "veryfast", "faster",   "fast",
                                    "medium",    "slow",      "slower",   "veryslow", "placebo"};

// One command of the program: its synopsis and one-line summary for the
// usage, and its full help.
struct CommandDoc {
    const char* name;
    const char* synopsis;
    const char* summary;
    const char* help;
};

const char kRenderHelp[] =
    "usage: kinetra render SOURCE -o OUTPUT [options]\n"
    "\n"
    "Runs the script kinetra.txt that lies next to SOURCE on every frame and\n"
    "audio block of SOURCE, through the plug-in, and encodes the result.\n"
    "\n"
    "Output:\n"
    "  -o, --output FILE   the result; its extension picks the container, '-' is\n"
    "                      standard output (give -f)\n"
    "  -f, --format NAME   the container by FFmpeg's name (nut, matroska, mp4,\n"
    "                      yuv4mpegpipe, wav, ...), whatever the extension\n"
    "  -y                  replace an existing output without asking\n"
    "  -n                  never replace an existing output (exit 1 instead)\n"
    "                      (without either: ask on a terminal, else refuse)\n"
    "  --no-audio          write no audio stream\n"
    "\n"
    "Codecs (FFmpeg encoder names):\n"
    "  -c:v, --vcodec NAME    video encoder: libx264 libx265 libvpx-vp9 libaom-av1\n"
    "                         ffv1 prores_ks png ...\n"
    "  -c:a, --acodec NAME    audio encoder: aac libopus libmp3lame flac pcm_s16le ...\n"
    "  --pix-fmt NAME         the encoded pixel format (yuv420p, yuv422p10le, ...);\n"
    "                         by default the source's bit depth and chroma\n"
    "                         subsampling, where the encoder has them\n"
    "  -b:v, --video-bitrate RATE  video bit rate (2500k, 8M) instead of --crf\n"
    "  -b:a, --audio-bitrate RATE  audio bit rate (192k)\n"
    "  --crf N             quality, 0 (best) .. 51 (x264, x265) or 63 (VP9, AV1);\n"
    "                      H.264 default 20\n"
    "  --preset NAME       encoder speed preset (x264/x265: ultrafast .. placebo)\n"
    "  --lossless          FFV1 video and PCM audio (for .mkv), for exact work;\n"
    "                      --crf and --preset do not apply\n"
    "\n"
    "Containers that work (by extension):\n"
    "  .mp4 .mov .mkv      H.264 and AAC (.mkv takes every encoder above)\n"
    "  .webm               VP9 (4:2:0, 8-bit) and Opus\n"
    "  .avi .nut           H.264 and AAC or PCM\n"
    "  out_%04d.png        numbered pictures (also .jpg .tif .bmp); one name\n"
    "                      without a number: one frame (--frames N)\n"
    "  .wav .flac .mp3 .m4a .ogg  the audio alone\n"
    "  -o - -f nut|matroska|yuv4mpegpipe|wav  to standard output, for a pipe\n"
    "\n"
    "Script and frames:\n"
    "  --frames A-B        render frames A to B only (A- to the end, A one frame)\n"
    "  --show N            show buffer N (slider \"display buffer\", 0..9)\n"
    "  --var L=V           set variable slider L (a b c d u v x y z) to V (0..4096)\n"
    "  --canvas WxH        the plug-in's buffers are W x H (at least the frame),\n"
    "                      so a script can hold larger clips and pictures\n"
    "  --max-frames N      the longest project a script may ask for (default: the\n"
    "                      source's length and 10 minutes)\n"
    "\n"
    "Program:\n"
    "  --threads N         worker threads (default: the machine's cores)\n"
    "  --plugin PATH       the plug-in (default: $KINETRA_PLUGIN, kinetra.auf next\n"
    "                      to this program or in ../lib/kinetra)\n"
    "  -q, --quiet         no progress, notes or summary\n"
    "  --strict            stop before writing anything when the script check\n"
    "                      (see 'kinetra check') finds an error\n"
    "  --strict=warnings   stop on a warning of the check as well\n"
    "  -v, --verbose       also name the decoder and encoders chosen\n"
    "  -h, --help          this help\n"
    "\n"
    "Progress goes to standard error: a bar on a terminal, else a line every 5 %\n"
    "or 10 seconds; a summary line ends every render. Ctrl-C stops a render and\n"
    "keeps the frames done.\n"
    "\n"
    "Exit status: 0 done, 1 failed (or an output not replaced), 2 wrong use,\n"
    "128+N stopped by signal N.\n";

const char kDemoHelp[] =
    "usage: kinetra demo [DIR] [options]\n"
    "\n"
    "Writes a synthetic source clip and the built-in demo script into DIR\n"
    "(default ./kinetra-demo), renders DIR/output.mp4 and a contact sheet of a\n"
    "few frames, DIR/contact-sheet.png. Its own files in DIR are replaced.\n"
    "\n"
    "  --threads N     worker threads (default: the machine's cores)\n"
    "  --plugin PATH   the plug-in\n"
    "  -q, --quiet     no progress or notes\n"
    "  -h, --help      this help\n";

const char kPreviewHelp[] =
    "usage: kinetra preview SOURCE [--port N] [--open]\n"
    "\n"
    "Serves a page on 127.0.0.1 that shows SOURCE through the script kinetra.txt\n"
    "next to it and follows the script as it is saved: the frame, the timeline\n"
    "with step and play, the ten sliders, when the plug-in loaded the script and\n"
    "the checker's findings, the sound of the next seconds, and an export to\n"
    "SOURCE-kinetra.mp4 next to the source with the render command's defaults\n"
    "(an existing file is never replaced: the next export is SOURCE-kinetra-2.mp4,\n"
    "then -3, ...; a running export can be cancelled from the page). Ctrl-C stops it.\n"
    "\n"
    "  --port N        the port (default: an unused one); the address is printed\n"
    "  --open          open the page with xdg-open\n"
    "  --threads N     worker threads (default: the machine's cores)\n"
    "  --plugin PATH   the plug-in\n"
    "  -h, --help      this help\n";

const char kHelpHelp[] =
    "usage: kinetra help [COMMAND|SCRIPT-COMMAND [--markdown]]\n"
    "\n"
    "Lists the program's commands and the script's commands, or shows the help\n"
    "of one: a program command (the same as 'kinetra COMMAND --help'), or a\n"
    "script command's arguments (--markdown: as a Markdown table).\n";

const char kCheckHelp[] =
    "usage: kinetra check [--strict=warnings] [SOURCE|SCRIPT|DIR]\n"
    "\n"
    "Reads the script (kinetra.txt next to SOURCE or in DIR, or SCRIPT itself;\n"
    "default ./kinetra.txt) the way the plug-in does and lists, one line each as\n"
    "PATH:LINE: message, what would silently go wrong: unknown commands, arguments\n"
    "that do not compile, missing labels and files, sections that never apply,\n"
    "and more; then a count and the encoding it read. With SOURCE it also knows\n"
    "the project's length and prints its frame rate. 'kinetra render' runs the\n"
    "same check first. A symlinked SOURCE uses the kinetra.txt next to the link.\n"
    "\n"
    "  --strict=warnings   exit 1 on warnings too\n"
    "\n"
    "Exit status: 0 no errors (warnings allowed), 1 errors found, 2 wrong use.\n";

const char kFarmHelp[] =
    "usage: kinetra farm SOURCE... -o OUT --segments N [options] [render options]\n"
    "\n"
    "Splits the render of SOURCE into N segments that the machines of a cluster\n"
    "render at the same time, and joins them into OUT. Writes the job folder\n"
    "OUT.farm (the plan, segment.sh, join.sh, logs/), which every machine must\n"
    "see at the same path, then submits one array task per segment and a join\n"
    "that runs when all have succeeded. A task renders its segments again when\n"
    "they fail, up to 3 times; running the same farm again renders only the\n"
    "segments that are missing. Several sources: OUT is a directory, short\n"
    "sources go several to a task.\n"
    "\n"
    "  --segments N          how many segments (tasks) to cut the work into\n"
    "  --scheduler NAME      slurm (sbatch, the default) or parallel (GNU parallel)\n"
    "  -S, --hosts LIST      parallel's ssh logins (default ':' this machine)\n"
    "  --dry-run             write the job folder and print the commands only\n"
    "  --wait                wait for the join (Slurm: sbatch --wait)\n"
    "\n"
    "The render options (see 'kinetra render --help', all but --frames) apply to\n"
    "every segment. The pictures and sound are those of one whole render; with a\n"
    "lossy video codec the bitstream differs (each segment starts on a key frame),\n"
    "with --lossless the join is identical.\n";

const char kJoinHelp[] =
    "usage: kinetra join PLAN [-o OUT] [-y|-n] [-q]\n"
    "\n"
    "Checks every segment of a farm job (PLAN is its plan.json): its frame and\n"
    "sample counts against the plan, and that the source, script, plug-in and\n"
    "media files are unchanged; then joins the pictures by stream copy and\n"
    "encodes the sound once. A missing or wrong segment is named and nothing is\n"
    "written. OUT (default: as planned) appears only when complete.\n";

const CommandDoc kCommands[] = {
    {"render", "render SOURCE -o OUTPUT [options]", "run the script over a clip and encode it",
     kRenderHelp},
    {"demo", "demo [DIR]", "render the built-in demo into DIR (./kinetra-demo)", kDemoHelp},
    {"preview", "preview SOURCE [--port N] [--open]",
     "a local page that follows the script as it is saved", kPreviewHelp},
    {"check", "check [SOURCE|SCRIPT|DIR]", "list the script's mistakes by line", kCheckHelp},
    {"farm", "farm SOURCE... -o OUT --segments N",
     "split a render across machines (Slurm, parallel)", kFarmHelp},
    {"join", "join PLAN [-o OUT]", "check a farm job's segments and join them", kJoinHelp},
    {"help", "help [COMMAND]", "this list, or a command's help", kHelpHelp},
};

const CommandDoc* FindCommand(const std::string& name) {
    for (const CommandDoc& c : kCommands) {
        if (name == c.name) return &c;
    }
    return nullptr;
}

// A whole decimal number in [low, high].
bool ParseInt(const std::string& text, int32_t low, int32_t high, int32_t* value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high) return false;
    *value = static_cast<int32_t>(v);
    return true;
}

// "A-B", "A-" (to the end) or "A" (one frame).
bool ParseFrameRange(const std::string& text, int32_t* first, int32_t* last) {
    size_t dash = text.find('-');
    if (dash == std::string::npos) {
        if (!ParseInt(text, 0, INT32_MAX - 1, first)) return false;
        *last = *first;
        return true;
    }
    if (!ParseInt(text.substr(0, dash), 0, INT32_MAX - 1, first)) return false;
    std::string rest = text.substr(dash + 1);
    if (rest.empty()) {
        *last = -1;
        return true;
    }
    return ParseInt(rest, 0, INT32_MAX - 1, last) && *last >= *first;
}

// "WxH" with both sides 1..kMaxCanvas.
bool ParseSize(const std::string& text, int32_t* width, int32_t* height) {
    size_t x = text.find_first_of("xX");
    return x != std::string::npos && ParseInt(text.substr(0, x), 1, kMaxCanvas, width) &&
           ParseInt(text.substr(x + 1), 1, kMaxCanvas, height);
}

// Encoder, format and pixel-format names: FFmpeg's, letters, digits and _ -.
bool IsName(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') return false;
    }
    return true;
}

// What TakeValue found at the current argument.
enum class Taken {
    kOther,    // another argument
    kValue,    // the option with its value
    kNoValue,  // the option as the last argument, without a value
};

// One command's arguments after the command word, read left to right.
class ArgumentCursor {
  public:
    explicit ArgumentCursor(const std::vector<std::string>& args) : args_(args) {}

    bool AtEnd() const { return at_ >= args_.size(); }
    const std::string& Current() const { return args_[at_]; }
    void Next() { ++at_; }
    size_t Index() const { return at_; }

    // Whether the current argument is option `name`, given as "name=value" or
    // "name value" (a value may begin with '-': "-o -"); the second form
    // moves on to the value.
    Taken TakeValue(const std::string& name, std::string* value) {
        const std::string& arg = args_[at_];
        if (arg == name) {
            if (at_ + 1 >= args_.size()) return Taken::kNoValue;
            *value = args_[++at_];
            return Taken::kValue;
        }
        if (arg.compare(0, name.size() + 1, name + "=") == 0) {
            *value = arg.substr(name.size() + 1);
            return Taken::kValue;
        }
        return Taken::kOther;
    }

  private:
    const std::vector<std::string>& args_;
    size_t at_ = 1;
};

// The refusal of an option's value: "--show takes a buffer number 0..9, not 'x'".
void Refuse(const std::string& takes, const std::string& value, std::string* error) {
    *error = takes + ", not '" + value + "'";
}

// A whole number in [low, high] into `to`, or the refusal `takes`.
void ReadNumber(const std::string& value, int32_t low, int32_t high, const char* takes, int32_t* to,
                std::string* error) {
    if (!ParseInt(value, low, high, to)) Refuse(takes, value, error);
}

// An FFmpeg name (IsName) into `to`, or "NAME takes WHAT, not 'value'".
void ReadName(const char* name, const char* what, const std::string& value, std::string* to,
              std::string* error) {
    if (!IsName(value)) Refuse(std::string(name) + " takes " + what, value, error);
    *to = value;
}

// Reads the value of render option `name` (the spelling given) into `r`, or
// sets `error`.
using ReadRenderValue = void (*)(const char* name, const std::string& value, RenderSettings* r,
                                 std::string* error);

void ReadOutput(const char*, const std::string& value, RenderSettings* r, std::string*) {
    r->output = value;
}

void ReadContainer(const char* name, const std::string& value, RenderSettings* r,
                   std::string* error) {
    ReadName(name, "a container name", value, &r->encode.format, error);
}

void ReadVideoEncoder(const char* name, const std::string& value, RenderSettings* r,
                      std::string* error) {
    ReadName(name, "an encoder name", value, &r->encode.video_codec, error);
}

void ReadAudioEncoder(const char* name, const std::string& value, RenderSettings* r,
                      std::string* error) {
    ReadName(name, "an encoder name", value, &r->encode.audio_codec, error);
}

void ReadPixelFormat(const char* name, const std::string& value, RenderSettings* r,
                     std::string* error) {
    ReadName(name, "a pixel format name", value, &r->encode.pixel_format, error);
}

void ReadVideoBitRate(const char*, const std::string& value, RenderSettings* r,
                      std::string* error) {
    if (!ParseBitRate(value, &r->encode.video_bitrate))
        Refuse("-b:v takes a bit rate such as 2500k or 8M", value, error);
}

void ReadAudioBitRate(const char*, const std::string& value, RenderSettings* r,
                      std::string* error) {
    if (!ParseBitRate(value, &r->encode.audio_bitrate))
        Refuse("-b:a takes a bit rate such as 192k", value, error);
}

void ReadFrames(const char*, const std::string& value, RenderSettings* r, std::string* error) {
    if (!ParseFrameRange(value, &r->first_frame, &r->last_frame))
        Refuse("--frames takes A-B, A- or A with 0 <= A <= B", value, error);
}

void ReadShow(const char*, const std::string& value, RenderSettings* r, std::string* error) {
    int32_t shown = 0;
    ReadNumber(value, 0, kShowMax, "--show takes a buffer number 0..9", &shown, error);
    r->sliders.push_back({0, shown});
}

// "L=V": variable slider L (a b c d u v x y z) set to V.
void ReadVariable(const char*, const std::string& value, RenderSettings* r, std::string* error) {
    int32_t v = 0;
    int32_t slider = value.size() >= 3 && value[1] == '=' ? SliderOfLetter(value[0]) : -1;
    if (slider < 0 || !ParseInt(value.substr(2), 0, kVariableMax, &v)) {
        Refuse("--var takes L=V with L one of a b c d u v x y z and V 0..4096", value, error);
    }
    r->sliders.push_back({slider, v});
}

void ReadCanvas(const char*, const std::string& value, RenderSettings* r, std::string* error) {
    if (!ParseSize(value, &r->canvas_width, &r->canvas_height))
        Refuse("--canvas takes WxH, each 1..16384", value, error);
}

void ReadThreads(const char*, const std::string& value, RenderSettings* r, std::string* error) {
    ReadNumber(value, 1, kMaxThreads, "--threads takes a number 1..256", &r->threads, error);
}

void ReadMaxFrames(const char*, const std::string& value, RenderSettings* r, std::string* error) {
    ReadNumber(value, 1, INT32_MAX, "--max-frames takes a frame count 1..2147483647",
               &r->max_frames, error);
}

void ReadCrf(const char*, const std::string& value, RenderSettings* r, std::string* error) {
    ReadNumber(value, 0, kMaxCrf, "--crf takes a number 0..63", &r->encode.crf, error);
}

void ReadPreset(const char*, const std::string& value, RenderSettings* r, std::string* error) {
    if (!IsName(value)) Refuse("--preset takes a preset name", value, error);
    r->encode.preset = value;
}

void ReadPlugin(const char*, const std::string& value, RenderSettings* r, std::string*) {
    r->plugin = value;
}

// The render options that take a value, every spelling, in the order tried.
const struct {
    const char* name;
    ReadRenderValue read;
} kRenderValueOptions[] = {
    {"-o", ReadOutput},
    {"--output", ReadOutput},
    {"-f", ReadContainer},
    {"--format", ReadContainer},
    {"-c:v", ReadVideoEncoder},
    {"--vcodec", ReadVideoEncoder},
    {"-c:a", ReadAudioEncoder},
    {"--acodec", ReadAudioEncoder},
    {"--pix-fmt", ReadPixelFormat},
    {"-b:v", ReadVideoBitRate},
    {"--video-bitrate", ReadVideoBitRate},
    {"-b:a", ReadAudioBitRate},
    {"--audio-bitrate", ReadAudioBitRate},
    {"--frames", ReadFrames},
    {"--show", ReadShow},
    {"--var", ReadVariable},
    {"--canvas", ReadCanvas},
    {"--threads", ReadThreads},
    {"--max-frames", ReadMaxFrames},
    {"--crf", ReadCrf},
    {"--preset", ReadPreset},
    {"--plugin", ReadPlugin},
};

// -y or -n: the other one given too is a contradiction, not the last word.
void SetOverwrite(Overwrite mode, RenderSettings* r, std::string* error) {
    if (r->overwrite != Overwrite::kAsk && r->overwrite != mode) {
        *error = "-y (--overwrite) and -n (--no-overwrite) contradict each other";
    }
    r->overwrite = mode;
}

// A render option without a value; false when `arg` is none of them.
bool SetRenderFlag(const std::string& arg, RenderSettings* r, std::string* error) {
    if (arg == "--quiet" || arg == "-q") {
        r->quiet = true;
    } else if (arg == "--verbose" || arg == "-v") {
        r->verbose = true;
    } else if (arg == "-y" || arg == "--overwrite") {
        SetOverwrite(Overwrite::kYes, r, error);
    } else if (arg == "-n" || arg == "--no-overwrite") {
        SetOverwrite(Overwrite::kNo, r, error);
    } else if (arg == "--lossless") {
        r->encode.lossless = true;
    } else if (arg == "--no-audio") {
        r->encode.audio = false;
    } else if (arg == "--strict") {
        r->strict = true;
    } else if (arg == "--strict=warnings") {
        r->strict = r->strict_warnings = true;
    } else {
        return false;
    }
    return true;
}

// A render option with a value at the cursor, read into `r` (or `error` set);
// false when the current argument is none of them.
bool TakeRenderValue(ArgumentCursor* cursor, RenderSettings* r, std::string* error) {
    for (const auto& option : kRenderValueOptions) {
        std::string value;
        Taken taken = cursor->TakeValue(option.name, &value);
        if (taken == Taken::kOther) continue;
        if (taken == Taken::kNoValue) {
            *error = std::string(option.name) + " needs a value";
        } else {
            option.read(option.name, value, r, error);
        }
        return true;
    }
    return false;
}

// The choices only the whole command line can judge: x264 and x265 share
// their preset names and the top of their quality scale, so a typo or an
// out-of-range --crf is found here rather than when the encoder opens.
bool CheckX26xChoices(const RenderSettings& r, std::string* error) {
    bool x26x = r.encode.video_codec.empty() || r.encode.video_codec == "libx264" ||
                r.encode.video_codec == "libx265";
    if (!x26x || r.encode.lossless) return true;
    if (r.encode.crf > kMaxX26xCrf) {
        *error = "--crf takes 0..51 for H.264 and H.265, not " + std::to_string(r.encode.crf);
        return false;
    }
    if (r.encode.preset.empty()) return true;
    for (const char* p : kX26xPresets) {
        if (r.encode.preset == p) return true;
    }
    *error = "--preset takes an x264 preset (ultrafast .. placebo), not '" + r.encode.preset + "'";
    return false;
}

// One SOURCE, and an output to write (with a container when it is a pipe).
bool CheckSourceAndOutput(const std::vector<std::string>& positional, RenderSettings* r,
                          std::string* error) {
    if (positional.size() != 1) {
        *error = positional.empty() ? "render needs a SOURCE file" : "render takes one SOURCE file";
        return false;
    }
    r->source = positional[0];
    if (r->output.empty()) {
        *error = "render needs an output file: -o OUTPUT";
        return false;
    }
    if (r->output == "-" && r->encode.format.empty()) {
        *error = "-o - (standard output) needs a container: -f nut, matroska, yuv4mpegpipe or wav";
        return false;
    }
    return true;
}

bool ParseRender(const std::vector<std::string>& args, RenderSettings* r, std::string* error) {
    std::vector<std::string> positional;
    bool only_positional = false;
    for (ArgumentCursor cursor(args); !cursor.AtEnd(); cursor.Next()) {
        const std::string& arg = cursor.Current();
        if (only_positional || arg == "-" || arg.empty() || arg[0] != '-') {
            positional.push_back(arg);
        } else if (arg == "--") {
            only_positional = true;
        } else if (!SetRenderFlag(arg, r, error) && !TakeRenderValue(&cursor, r, error)) {
            *error = "unknown option '" + arg + "'";
        }
        if (!error->empty()) return false;
    }
    return CheckX26xChoices(*r, error) && CheckSourceAndOutput(positional, r, error);
}

bool ParseDemo(const std::vector<std::string>& args, DemoOptions* d, std::string* error) {
    bool have_directory = false;
    for (ArgumentCursor cursor(args); !cursor.AtEnd(); cursor.Next()) {
        const std::string& arg = cursor.Current();
        std::string value;
        if (arg == "--quiet" || arg == "-q") {
            d->quiet = true;
        } else if (cursor.TakeValue("--threads", &value) != Taken::kOther) {
            if (!ParseInt(value, 1, kMaxThreads, &d->threads)) {
                *error = "--threads takes a number 1..256";
                return false;
            }
        } else if (cursor.TakeValue("--plugin", &value) != Taken::kOther) {
            if (value.empty()) {
                *error = "--plugin needs a value";
                return false;
            }
            d->plugin = value;
        } else if (arg.size() > 1 && arg[0] == '-') {
            *error = "unknown option '" + arg + "'";
            return false;
        } else if (!have_directory) {
            d->directory = arg;
            have_directory = true;
        } else {
            *error = "demo takes one directory";
            return false;
        }
    }
    return true;
}

// `kinetra --version [--plugin PATH]`: that plug-in shown instead of the one found.
bool ParseVersion(const std::vector<std::string>& args, Command* command, std::string* error) {
    command->kind = CommandKind::kVersion;
    for (ArgumentCursor cursor(args); !cursor.AtEnd(); cursor.Next()) {
        std::string value;
        Taken taken = cursor.TakeValue("--plugin", &value);
        if (taken != Taken::kValue) {
            *error = taken == Taken::kNoValue ? "--plugin needs a value"
                                              : "--version takes no arguments but --plugin PATH";
            return false;
        }
        command->plugin = value;
    }
    return true;
}

// `kinetra help [TOPIC [--markdown]]`.
bool ParseHelp(const std::vector<std::string>& args, Command* command, std::string* error) {
    command->kind = CommandKind::kHelp;
    command->markdown = args.size() == 3 && args[2] == "--markdown";
    if (args.size() > 3 || (args.size() == 3 && !command->markdown)) {
        *error = "help takes one COMMAND";
        return false;
    }
    if (args.size() >= 2) command->topic = args[1];
    return true;
}

// `kinetra check [--strict=warnings] [SOURCE|SCRIPT|DIR]`.
bool ParseCheck(const std::vector<std::string>& args, Command* command, std::string* error) {
    command->kind = CommandKind::kCheck;
    std::vector<std::string> targets;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--strict=warnings") {
            command->check_strict = true;
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            *error = "unknown option '" + args[i] + "'";
            return false;
        } else {
            targets.push_back(args[i]);
        }
    }
    if (targets.size() > 1) {
        *error = "check takes one SOURCE, SCRIPT or directory";
        return false;
    }
    if (!targets.empty()) command->check = targets[0];
    return true;
}

// A farm option of its own at the cursor; false when it is a render option.
bool TakeFarmOption(ArgumentCursor* cursor, FarmOptions* f, std::string* error) {
    const std::string& arg = cursor->Current();
    std::string value;
    if (arg == "--dry-run" || arg == "--wait") {
        (arg == "--dry-run" ? f->dry_run : f->wait) = true;
    } else if (cursor->TakeValue("--segments", &value) != Taken::kOther) {
        if (!ParseInt(value, 1, 100000, &f->segments))
            *error = "--segments takes a number 1..100000";
    } else if (cursor->TakeValue("--scheduler", &value) != Taken::kOther) {
        f->scheduler = value;
        if (value != "slurm" && value != "parallel") *error = "--scheduler takes slurm or parallel";
    } else if (cursor->TakeValue("--hosts", &value) != Taken::kOther ||
               cursor->TakeValue("-S", &value) != Taken::kOther) {
        f->hosts = value;
        if (value.empty()) *error = "--hosts needs a value";
    } else if (cursor->TakeValue("-o", &value) != Taken::kOther ||
               cursor->TakeValue("--output", &value) != Taken::kOther) {
        f->output = value;
    } else {
        return false;
    }
    return true;
}

// `kinetra farm SOURCE... -o OUT --segments N [options] [render options]`:
// the render options are checked as render's and kept as given.
bool ParseFarm(const std::vector<std::string>& args, FarmOptions* f, std::string* error) {
    for (ArgumentCursor cursor(args); !cursor.AtEnd(); cursor.Next()) {
        const std::string& arg = cursor.Current();
        size_t before = cursor.Index();
        if (arg.empty() || arg[0] != '-') {
            f->sources.push_back(arg);
        } else if (arg == "--frames" || arg.rfind("--frames=", 0) == 0) {
            *error = "farm renders whole sources: --frames is not taken";
        } else if (!TakeFarmOption(&cursor, f, error)) {
            if (!SetRenderFlag(arg, &f->render, error) &&
                !TakeRenderValue(&cursor, &f->render, error))
                *error = "unknown option '" + arg + "'";
            for (size_t i = before; i <= cursor.Index(); ++i)
                f->render_args.push_back(args[i]);
        }
        if (!error->empty()) return false;
    }
    if (f->sources.empty() || f->output.empty() || f->segments == 0) {
        *error = "farm needs SOURCE, -o OUT and --segments N";
        return false;
    }
    return CheckX26xChoices(f->render, error);
}

// `kinetra join PLAN [-o OUT] [-y|-n] [-q]`.
bool ParseJoin(const std::vector<std::string>& args, JoinOptions* j, std::string* error) {
    for (ArgumentCursor cursor(args); !cursor.AtEnd(); cursor.Next()) {
        const std::string& arg = cursor.Current();
        std::string value;
        if (cursor.TakeValue("-o", &value) != Taken::kOther ||
            cursor.TakeValue("--output", &value) != Taken::kOther) {
            j->output = value;
        } else if (arg == "-y" || arg == "-n") {
            j->overwrite = arg == "-y" ? Overwrite::kYes : Overwrite::kNo;
        } else if (arg == "-q" || arg == "--quiet") {
            j->quiet = true;
        } else if (arg.empty() || arg[0] == '-' || !j->plan.empty()) {
            *error = arg.empty() || arg[0] == '-' ? "unknown option '" + arg + "'"
                                                  : "join takes one PLAN";
            return false;
        } else {
            j->plan = arg;
        }
    }
    if (j->plan.empty()) *error = "join needs the job's PLAN (OUT.farm/plan.json)";
    return error->empty();
}

bool IsHelpFlag(const std::string& arg) {
    return arg == "--help" || arg == "-h";
}

// `kinetra COMMAND ... --help`: a help flag anywhere before "--".
bool AsksForHelp(const std::vector<std::string>& args) {
    for (size_t i = 1; i < args.size() && args[i] != "--"; ++i) {
        if (IsHelpFlag(args[i])) return true;
    }
    return false;
}

// The arguments of a program command (args[0] names one: FindCommand).
bool ParseProgramCommand(const std::vector<std::string>& args, Command* command,
                         std::string* error) {
    const std::string& name = args[0];
    if (name == "help") return ParseHelp(args, command, error);
    if (AsksForHelp(args)) {
        command->kind = CommandKind::kHelp;
        command->topic = name;
        return true;
    }
    if (name == "check") return ParseCheck(args, command, error);
    if (name == "render") {
        command->kind = CommandKind::kRender;
        return ParseRender(args, &command->render, error);
    }
    if (name == "farm" || name == "join") {
        command->kind = name == "farm" ? CommandKind::kFarm : CommandKind::kJoin;
        return name == "farm" ? ParseFarm(args, &command->farm, error)
                              : ParseJoin(args, &command->join, error);
    }
    if (name == "preview") {
        command->kind = CommandKind::kPreview;
        return ParsePreviewArguments(args, &command->preview, error);
    }
    command->kind = CommandKind::kDemo;
    return ParseDemo(args, &command->demo, error);
}

}  // namespace

int32_t SliderOfLetter(char letter) {
    const char* at = std::strchr(kVariableSliderLetters, letter);
    if (letter == '\0' || at == nullptr) return -1;
    return static_cast<int32_t>(at - kVariableSliderLetters) + 1;
}

bool ParseBitRate(const std::string& text, int64_t* bits) {
    // Digits with at most one '.', then an optional k, K, M or G.
    size_t digits = 0, points = 0, i = 0;
    for (; i < text.size(); ++i) {
        if (std::isdigit(static_cast<unsigned char>(text[i]))) {
            ++digits;
        } else if (text[i] == '.') {
            ++points;
        } else {
            break;
        }
    }
    if (digits == 0 || points > 1) return false;
    std::string suffix = text.substr(i);
    double scale = 1;
    if (suffix == "k" || suffix == "K") {
        scale = 1e3;
    } else if (suffix == "M") {
        scale = 1e6;
    } else if (suffix == "G") {
        scale = 1e9;
    } else if (!suffix.empty()) {
        return false;
    }
    double total = std::strtod(text.substr(0, i).c_str(), nullptr) * scale;
    if (!(total >= 1) || total > 1e12) return false;
    *bits = static_cast<int64_t>(std::llround(total));
    return true;
}

bool ParseCommandLine(const std::vector<std::string>& args, Command* command, std::string* error) {
    error->clear();
    *command = Command{};
    if (args.empty()) {
        command->kind = CommandKind::kUsage;
        return true;
    }
    const std::string& first = args[0];
    if (IsHelpFlag(first)) {
        command->kind = CommandKind::kHelp;
        return true;
    }
    if (first == "--version" || first == "-V") return ParseVersion(args, command, error);
    if (FindCommand(first) == nullptr) {
        *error =
            first[0] == '-' ? "unknown option '" + first + "'" : "unknown command '" + first + "'";
        return false;
    }
    command->name = first;
    return ParseProgramCommand(args, command, error);
}

std::string UsageText() {
    std::string text = "usage: kinetra COMMAND [arguments]\n\ncommands:\n";
    for (const CommandDoc& c : kCommands) {
        std::string line = std::string("  kinetra ") + c.synopsis;
        if (line.size() < 46) line.resize(46, ' ');
        text += line + " " + c.summary + "\n";
    }
    text +=
        "\n"
        "  kinetra --version  the program's, FFmpeg's and the plug-in's versions\n"
        "\n"
        "'kinetra COMMAND --help' shows a command's options.\n"
        "A script is the file kinetra.txt next to the source clip.\n";
    return text;
}

std::string CommandHelpText(const std::string& name) {
    const CommandDoc* c = FindCommand(name);
    return c != nullptr ? c->help : std::string();
}

std::vector<std::string> CommandNames() {
    std::vector<std::string> names;
    for (const CommandDoc& c : kCommands)
        names.push_back(c.name);
    return names;
}
