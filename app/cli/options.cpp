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
constexpr const char kSliderLetters[] = "abcduvxyz";
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
    "SOURCE-kinetra.mp4 next to the source with the render command's defaults.\n"
    "Ctrl-C stops it.\n"
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
    "usage: kinetra check [SOURCE|SCRIPT|DIR]\n"
    "\n"
    "Reads the script (kinetra.txt next to SOURCE or in DIR, or SCRIPT itself;\n"
    "default ./kinetra.txt) the way the plug-in does and lists, one line each as\n"
    "PATH:LINE: message, what would silently go wrong: unknown commands, arguments\n"
    "that do not compile, missing labels and files, sections that never apply,\n"
    "and more; then a count and the encoding it read. With SOURCE it also knows\n"
    "the project's length. 'kinetra render' runs the same check first.\n"
    "\n"
    "Exit status: 0 no errors (warnings allowed), 1 errors found, 2 wrong use.\n";

const CommandDoc kCommands[] = {
    {"render", "render SOURCE -o OUTPUT [options]", "run the script over a clip and encode it",
     kRenderHelp},
    {"demo", "demo [DIR]", "render the built-in demo into DIR (./kinetra-demo)", kDemoHelp},
    {"preview", "preview SOURCE [--port N] [--open]",
     "a local page that follows the script as it is saved", kPreviewHelp},
    {"check", "check [SOURCE|SCRIPT]", "list the script's mistakes by line", kCheckHelp},
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

// Takes the value of an option: "--name=value" or "--name value" (a value
// may begin with '-': "-o -").
bool TakeValue(const std::vector<std::string>& args, size_t* i, const std::string& name,
               std::string* value, bool* matched) {
    const std::string& arg = args[*i];
    *matched = false;
    if (arg == name) {
        *matched = true;
        if (*i + 1 >= args.size()) return false;
        *value = args[++*i];
        return true;
    }
    if (arg.compare(0, name.size() + 1, name + "=") == 0) {
        *matched = true;
        *value = arg.substr(name.size() + 1);
        return true;
    }
    return false;
}

bool ParseRender(const std::vector<std::string>& args, RenderOptions* r, std::string* error) {
    std::vector<std::string> positional;
    bool only_positional = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string value;
        bool matched = false;
        auto option = [&](const char* name) {
            bool ok = TakeValue(args, &i, name, &value, &matched);
            if (matched && !ok) *error = std::string(name) + " needs a value";
            return matched && ok;
        };
        auto name_option = [&](const char* name, const char* what, std::string* to) {
            if (!option(name)) return false;
            if (!IsName(value))
                *error = std::string(name) + " takes " + what + ", not '" + value + "'";
            *to = value;
            return true;
        };
        if (only_positional || arg == "-" || arg.empty() || arg[0] != '-') {
            positional.push_back(arg);
        } else if (arg == "--") {
            only_positional = true;
        } else if (arg == "--quiet" || arg == "-q") {
            r->quiet = true;
        } else if (arg == "--verbose" || arg == "-v") {
            r->verbose = true;
        } else if (arg == "-y" || arg == "--overwrite") {
            r->overwrite = Overwrite::kYes;
        } else if (arg == "-n" || arg == "--no-overwrite") {
            r->overwrite = Overwrite::kNo;
        } else if (arg == "--lossless") {
            r->lossless = true;
        } else if (arg == "--no-audio") {
            r->audio = false;
        } else if (arg == "--strict") {
            r->strict = true;
        } else if (option("-o") || option("--output")) {
            r->output = value;
        } else if (name_option("-f", "a container name", &r->format) ||
                   name_option("--format", "a container name", &r->format) ||
                   name_option("-c:v", "an encoder name", &r->video_codec) ||
                   name_option("--vcodec", "an encoder name", &r->video_codec) ||
                   name_option("-c:a", "an encoder name", &r->audio_codec) ||
                   name_option("--acodec", "an encoder name", &r->audio_codec) ||
                   name_option("--pix-fmt", "a pixel format name", &r->pixel_format)) {
        } else if (option("-b:v") || option("--video-bitrate")) {
            if (!ParseBitRate(value, &r->video_bitrate)) {
                *error = "-b:v takes a bit rate such as 2500k or 8M, not '" + value + "'";
            }
        } else if (option("-b:a") || option("--audio-bitrate")) {
            if (!ParseBitRate(value, &r->audio_bitrate)) {
                *error = "-b:a takes a bit rate such as 192k, not '" + value + "'";
            }
        } else if (option("--frames")) {
            if (!ParseFrameRange(value, &r->first_frame, &r->last_frame)) {
                *error = "--frames takes A-B, A- or A with 0 <= A <= B, not '" + value + "'";
            }
        } else if (option("--show")) {
            int32_t shown = 0;
            if (!ParseInt(value, 0, kShowMax, &shown)) {
                *error = "--show takes a buffer number 0..9, not '" + value + "'";
            }
            r->sliders.push_back({0, shown});
        } else if (option("--var")) {
            int32_t v = 0;
            int32_t slider = value.size() >= 3 && value[1] == '=' ? SliderOfLetter(value[0]) : -1;
            if (slider < 0 || !ParseInt(value.substr(2), 0, kVariableMax, &v)) {
                *error = "--var takes L=V with L one of a b c d u v x y z and V 0..4096, not '" +
                         value + "'";
            }
            r->sliders.push_back({slider, v});
        } else if (option("--canvas")) {
            if (!ParseSize(value, &r->canvas_width, &r->canvas_height)) {
                *error = "--canvas takes WxH, each 1..16384, not '" + value + "'";
            }
        } else if (option("--threads")) {
            if (!ParseInt(value, 1, kMaxThreads, &r->threads)) {
                *error = "--threads takes a number 1..256, not '" + value + "'";
            }
        } else if (option("--max-frames")) {
            if (!ParseInt(value, 1, INT32_MAX, &r->max_frames)) {
                *error = "--max-frames takes a frame count 1..2147483647, not '" + value + "'";
                return false;
            }
        } else if (option("--crf")) {
            if (!ParseInt(value, 0, kMaxCrf, &r->crf)) {
                *error = "--crf takes a number 0..63, not '" + value + "'";
            }
        } else if (option("--preset")) {
            if (!IsName(value)) *error = "--preset takes a preset name, not '" + value + "'";
            r->preset = value;
        } else if (option("--plugin")) {
            r->plugin = value;
        } else if (error->empty()) {
            *error = "unknown option '" + arg + "'";
        }
        if (!error->empty()) return false;
    }
    // x264 and x265 share their preset names: a typo is found here.
    bool x26x =
        r->video_codec.empty() || r->video_codec == "libx264" || r->video_codec == "libx265";
    if (r->crf > kMaxX26xCrf && x26x && !r->lossless) {
        *error = "--crf takes 0..51 for H.264 and H.265, not " + std::to_string(r->crf);
        return false;
    }
    if (!r->preset.empty() && x26x && !r->lossless) {
        bool known = false;
        for (const char* p : kX26xPresets)
            known = known || r->preset == p;
        if (!known) {
            *error =
                "--preset takes an x264 preset (ultrafast .. placebo), not '" + r->preset + "'";
            return false;
        }
    }
    if (positional.size() != 1) {
        *error = positional.empty() ? "render needs a SOURCE file" : "render takes one SOURCE file";
        return false;
    }
    r->source = positional[0];
    if (r->output.empty()) {
        *error = "render needs an output file: -o OUTPUT";
        return false;
    }
    if (r->output == "-" && r->format.empty()) {
        *error = "-o - (standard output) needs a container: -f nut, matroska, yuv4mpegpipe or wav";
        return false;
    }
    return true;
}

bool ParseDemo(const std::vector<std::string>& args, DemoOptions* d, std::string* error) {
    bool have_directory = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string value;
        bool matched = false;
        if (arg == "--quiet" || arg == "-q") {
            d->quiet = true;
        } else if (TakeValue(args, &i, "--threads", &value, &matched) || matched) {
            if (!ParseInt(value, 1, kMaxThreads, &d->threads)) {
                *error = "--threads takes a number 1..256";
                return false;
            }
        } else if (TakeValue(args, &i, "--plugin", &value, &matched) || matched) {
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

bool IsHelpFlag(const std::string& arg) {
    return arg == "--help" || arg == "-h";
}

}  // namespace

int32_t SliderOfLetter(char letter) {
    const char* at = std::strchr(kSliderLetters, letter);
    if (letter == '\0' || at == nullptr) return -1;
    return static_cast<int32_t>(at - kSliderLetters) + 1;
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
    if (first == "--version" || first == "-V") {
        command->kind = CommandKind::kVersion;
        // --plugin PATH shows that plug-in instead of the one found.
        for (size_t i = 1; i < args.size(); ++i) {
            std::string value;
            bool matched = false;
            if (!TakeValue(args, &i, "--plugin", &value, &matched)) {
                *error = matched ? "--plugin needs a value"
                                 : "--version takes no arguments but --plugin PATH";
                return false;
            }
            command->plugin = value;
        }
        return true;
    }
    command->name = first;
    if (first == "help") {
        command->kind = CommandKind::kHelp;
        command->markdown = args.size() == 3 && args[2] == "--markdown";
        if (args.size() > 3 || (args.size() == 3 && !command->markdown)) {
            *error = "help takes one COMMAND";
            return false;
        }
        if (args.size() >= 2) command->topic = args[1];
        return true;
    }
    if (FindCommand(first) == nullptr) {
        command->name.clear();
        *error =
            first[0] == '-' ? "unknown option '" + first + "'" : "unknown command '" + first + "'";
        return false;
    }
    // `kinetra COMMAND --help` anywhere before "--" is that command's help.
    for (size_t i = 1; i < args.size() && args[i] != "--"; ++i) {
        if (IsHelpFlag(args[i])) {
            command->kind = CommandKind::kHelp;
            command->topic = first;
            return true;
        }
    }
    if (first == "check") {
        command->kind = CommandKind::kCheck;
        if (args.size() > 2 || (args.size() == 2 && args[1].size() > 1 && args[1][0] == '-')) {
            *error = args.size() > 2 ? "check takes one SOURCE, SCRIPT or directory"
                                     : "unknown option '" + args[1] + "'";
            return false;
        }
        if (args.size() == 2) command->check = args[1];
        return true;
    }
    if (first == "render") {
        command->kind = CommandKind::kRender;
        return ParseRender(args, &command->render, error);
    }
    if (first == "preview") {
        command->kind = CommandKind::kPreview;
        return ParsePreviewArguments(args, &command->preview, error);
    }
    command->kind = CommandKind::kDemo;
    return ParseDemo(args, &command->demo, error);
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
