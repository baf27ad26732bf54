#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int32_t kShowMax = 9;         // "表示Buf": buffers 0..9
constexpr int32_t kVariableMax = 4096;  // "変数a".."変数z": 0..4096
constexpr int32_t kMaxThreads = 256;
constexpr const char kSliderLetters[] = "abcduvxyz";
const char* const kPresets[] = {"ultrafast", "superfast", "veryfast", "faster",   "fast",
                                "medium",    "slow",      "slower",   "veryslow", "placebo"};

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

// Takes the value of an option: "--name=value" or "--name value".
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
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string value;
        bool matched = false;
        auto option = [&](const char* name) {
            bool ok = TakeValue(args, &i, name, &value, &matched);
            if (matched && !ok) *error = std::string(name) + " needs a value";
            return matched && ok;
        };
        if (arg == "--quiet" || arg == "-q") {
            r->quiet = true;
        } else if (arg == "--lossless") {
            r->lossless = true;
        } else if (arg == "--no-audio") {
            r->audio = false;
        } else if (option("-o") || option("--output")) {
            r->output = value;
        } else if (option("--frames")) {
            if (!ParseFrameRange(value, &r->first_frame, &r->last_frame)) {
                *error = "--frames takes A-B, A- or A with 0 <= A <= B, not '" + value + "'";
                return false;
            }
        } else if (option("--show")) {
            int32_t shown = 0;
            if (!ParseInt(value, 0, kShowMax, &shown)) {
                *error = "--show takes a buffer number 0..9, not '" + value + "'";
                return false;
            }
            r->sliders.push_back({0, shown});
        } else if (option("--var")) {
            int32_t v = 0;
            int32_t slider = value.size() >= 3 && value[1] == '=' ? SliderOfLetter(value[0]) : -1;
            if (slider < 0 || !ParseInt(value.substr(2), 0, kVariableMax, &v)) {
                *error = "--var takes L=V with L one of a b c d u v x y z and V 0..4096, not '" +
                         value + "'";
                return false;
            }
            r->sliders.push_back({slider, v});
        } else if (option("--threads")) {
            if (!ParseInt(value, 1, kMaxThreads, &r->threads)) {
                *error = "--threads takes a number 1..256, not '" + value + "'";
                return false;
            }
        } else if (option("--max-frames")) {
            if (!ParseInt(value, 1, INT32_MAX, &r->max_frames)) {
                *error = "--max-frames takes a frame count 1..2147483647, not '" + value + "'";
                return false;
            }
        } else if (option("--crf")) {
            int32_t crf = 0;
            if (!ParseInt(value, 0, 51, &crf)) {
                *error = "--crf takes a number 0..51, not '" + value + "'";
                return false;
            }
            r->crf = crf;
        } else if (option("--preset")) {
            bool known = false;
            for (const char* p : kPresets)
                known = known || value == p;
            if (!known) {
                *error =
                    "--preset takes an x264 preset (ultrafast .. placebo), not '" + value + "'";
                return false;
            }
            r->preset = value;
        } else if (option("--plugin")) {
            r->plugin = value;
        } else if (!error->empty()) {
            return false;
        } else if (arg.size() > 1 && arg[0] == '-') {
            *error = "unknown option '" + arg + "'";
            return false;
        } else {
            positional.push_back(arg);
        }
        if (!error->empty()) return false;
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

}  // namespace

int32_t SliderOfLetter(char letter) {
    const char* at = std::strchr(kSliderLetters, letter);
    if (letter == '\0' || at == nullptr) return -1;
    return static_cast<int32_t>(at - kSliderLetters) + 1;
}

bool ParseCommandLine(const std::vector<std::string>& args, Command* command, std::string* error) {
    error->clear();
    *command = Command{};
    if (args.empty() || args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
        command->kind = CommandKind::kHelp;
        return true;
    }
    if (args[0] == "render") {
        command->kind = CommandKind::kRender;
        return ParseRender(args, &command->render, error);
    }
    if (args[0] == "demo") {
        command->kind = CommandKind::kDemo;
        return ParseDemo(args, &command->demo, error);
    }
    *error = "unknown command '" + args[0] + "'";
    return false;
}

std::string UsageText() {
    return "usage: kinetra render SOURCE -o OUTPUT [options]\n"
           "       kinetra demo [DIR]\n"
           "\n"
           "render runs the script kinetra.txt that lies next to SOURCE on every frame.\n"
           "  -o, --output FILE  the result; its extension picks the container\n"
           "                     (.mp4 .mov .mkv: H.264 and AAC; out_%04d.png: images;\n"
           "                     .wav: the audio alone)\n"
           "  --frames A-B       render frames A to B only (A- to the end)\n"
           "  --show N           show buffer N (slider \"display buffer\", 0..9)\n"
           "  --var L=V          set variable slider L (a b c d u v x y z) to V (0..4096)\n"
           "  --lossless         FFV1 video and PCM audio (for .mkv), for exact work\n"
           "  --crf N            H.264 quality, 0..51 (default 20)\n"
           "  --preset NAME      H.264 speed preset (default medium)\n"
           "  --no-audio         write no audio stream\n"
           "  --max-frames N     the longest project a script may ask for (default: the\n"
           "                     source's length and 10 minutes)\n"
           "  --threads N        worker threads (default: the machine's cores)\n"
           "  --plugin PATH      the plug-in (default: kinetra.auf next to this program,\n"
           "                     or $KINETRA_PLUGIN)\n"
           "  --quiet            no progress bar or notes\n"
           "\n"
           "demo renders a built-in example into DIR (default ./kinetra-demo).\n";
}
