// Kinetra as a filter of the MLT framework (melt, Kdenlive): one more host of
// kinetra.auf, through the same filter runner as render and the preview.
//
// The filter opens its runner's project on the file of the producer whose
// frames it gets, so that copyframe and a_copyframe read that clip's own
// frames with the host's exact random access, and the project is as long as
// the producer. Every frame MLT hands it is the plug-in's frame number f, its
// position in the clip (the producer's `in` point counts). The picture comes
// as 16-bit planar 4:2:2 (or 8-bit 4:2:0 when that is what the consumer
// asks), converted exactly to the plug-in's pixels and back; the sound as
// 16-bit samples, changed in place. The ten sliders are properties (`display`
// and the variables' letters), animatable with MLT's keyframes.
//
// What cannot be run (no plug-in, no script, a producer that is no file) is
// said once on stderr and the frames pass through unchanged; the plug-in's
// run-time failures are said once per script line, as render says them. MLT
// may ask for frames on several threads: one mutex makes the runner's calls
// one after another. The plug-in and the services it calls back are one per
// process, so one filter at a time runs it; another that starts meanwhile
// lets its frames through and says so.
#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>

extern "C" {
#include <framework/mlt.h>
}

#include "base/paths.h"
#include "checker/check.h"
#include "checker/script_check.h"
#include "colour/colour.h"
#include "plugin/filter_runner.h"
#include "render/render.h"

namespace {

constexpr char kStateName[] = "_kinetra";
constexpr char kPluginFile[] = "kinetra.auf";
constexpr char kScriptFile[] = "kinetra.txt";

struct KinetraState;

// The calls into the plug-in, one at a time, and the filter that runs it.
std::mutex g_plugin_mutex;
KinetraState* g_running = nullptr;

// What one filter holds: its runner, started at its first frame.
struct KinetraState {
    bool tried = false;  // the start was made (and said what failed)
    bool running = false;
    std::string script;  // the script as the user named it, absolute
    ScriptRead script_read;
    std::string link_dir;  // where a script of another name is linked as kinetra.txt
    SliderTable sliders;
    FilterRunner runner;
    ToYCConverter to_yc;
    FromYCConverter from_yc;
    PictureYC picture;
    bool warned_size = false, warned_sound = false, warned_failure = false;

    ~KinetraState() {
        std::lock_guard<std::mutex> lock(g_plugin_mutex);
        runner.Stop();
        if (g_running == this) g_running = nullptr;
        if (link_dir.empty()) return;
        DIR* dir = opendir(link_dir.c_str());
        for (dirent* entry = dir ? readdir(dir) : nullptr; entry; entry = readdir(dir)) {
            unlink((link_dir + "/" + entry->d_name).c_str());
        }
        if (dir) closedir(dir);
        rmdir(link_dir.c_str());
    }
};

// Whether `key` comes for the first time in the process: MLT may make the
// filter more than once for one clip (melt does while it guesses the
// profile), and what it says is said once.
bool FirstTime(const std::string& key) {
    static std::mutex mutex;
    static std::set<std::string> seen;
    std::lock_guard<std::mutex> lock(mutex);
    return seen.insert(key).second;
}

// Says a message on stderr, once in the process.
void Say(const std::string& text) {
    if (FirstTime(text)) std::fprintf(stderr, "kinetra: %s\n", text.c_str());
}

// The folder this module was loaded from (links resolved).
std::string ModuleDirectory() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&Say), &info) == 0 || info.dli_fname == nullptr) return "";
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved) == nullptr) return "";
    return DirectoryOf(resolved);
}

// The plug-in: the filter's `plugin` property, else $KINETRA_PLUGIN, else
// the first that exists of kinetra.auf beside this module (the build),
// P/lib/kinetra/ from its P/lib/<arch>/mlt-7/ (the package) and the folder
// the build was configured to install to.
std::string PluginFor(mlt_properties properties) {
    const char* asked = mlt_properties_get(properties, "plugin");
    if (asked != nullptr && *asked != '\0') return AbsolutePath(asked);
    const char* env = std::getenv("KINETRA_PLUGIN");
    if (env != nullptr && *env != '\0') return AbsolutePath(env);
    std::string module = ModuleDirectory();
    for (std::string path : {module + kPluginFile, module + "../../kinetra/" + kPluginFile}) {
        if (access(path.c_str(), F_OK) == 0) return path;
    }
    return KINETRA_INSTALLED_PLUGIN;
}

// The producer's file, absolute; empty when its frames come from no file.
// A clip may reach the filter as a cut of its producer, or a chain around it.
std::string SourceOf(mlt_frame frame) {
    mlt_producer producer = mlt_frame_get_original_producer(frame);
    for (int depth = 0; producer != nullptr && depth < 4; ++depth) {
        if (mlt_producer_is_cut(producer)) {
            producer = mlt_producer_cut_parent(producer);
        } else if (mlt_service_identify(MLT_PRODUCER_SERVICE(producer)) == mlt_service_chain_type) {
            producer = mlt_chain_get_source(reinterpret_cast<mlt_chain>(producer));
        } else {
            break;
        }
    }
    const char* resource =
        producer ? mlt_properties_get(MLT_PRODUCER_PROPERTIES(producer), "resource") : nullptr;
    struct stat info;
    if (resource == nullptr || stat(resource, &info) != 0 || !S_ISREG(info.st_mode)) return "";
    return AbsolutePath(resource);
}

// The plug-in reads the kinetra.txt in the folder of the source it is told.
// A script of another name is linked as kinetra.txt in a folder of its own,
// beside links to everything in the script's folder, so that the files it
// names from there are found. Returns the path to tell; empty on failure.
std::string ScriptToTell(KinetraState* s) {
    if (BaseName(s->script) == kScriptFile) return s->script;
    char pattern[] = "/tmp/kinetra-mlt-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return "";
    s->link_dir = pattern;
    std::string from = DirectoryOf(s->script);
    DIR* dir = opendir(from.c_str());
    for (dirent* entry = dir ? readdir(dir) : nullptr; entry; entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == ".." || name == kScriptFile) continue;
        symlink((from + name).c_str(), (s->link_dir + "/" + name).c_str());
    }
    if (dir) closedir(dir);
    std::string told = s->link_dir + "/" + kScriptFile;
    return symlink(s->script.c_str(), told.c_str()) == 0 ? told : "";
}

// A file of the script's folder as the plug-in names it: through the
// folder of links when the script has one.
std::string AsOpened(const KinetraState& s, const std::string& file) {
    std::string folder = DirectoryOf(s.script);
    if (s.link_dir.empty() || file.compare(0, folder.size(), folder) != 0) return file;
    return s.link_dir + "/" + file.substr(folder.size());
}

// The script check render makes before its first frame: its findings are
// said now, and what it said is not said again at run time.
void CheckScript(KinetraState* s) {
    ScriptCheck check = CheckForRender(s->script_read, s->runner.project().frame_count());
    if (FirstTime(s->script_read.path + '\n' + s->script_read.text)) PrintScriptCheck(check);
    std::map<std::string, std::string> notes;
    for (const auto& note : FileLineNotes(check))
        notes[AsOpened(*s, note.first)] = note.second;
    s->runner.media().SetFileNotes(notes);
    const CheckTold told = ToldByCheck(check);
    std::set<std::string> told_files;
    for (const std::string& file : told.files)
        told_files.insert(AsOpened(*s, file));
    s->runner.media().SetToldFiles(told_files);
    s->runner.SetToldLines(told.lines);
}

// Finds the script and the plug-in, opens the producer's file and starts the
// runner; false (said once) when the frames must pass through.
bool StartRunner(KinetraState* s, mlt_filter filter, mlt_frame frame) {
    mlt_properties properties = MLT_FILTER_PROPERTIES(filter);
    std::string source = SourceOf(frame), error;
    if (source.empty()) {
        Say("the clip is no file that can be read; frames pass through unchanged");
        return false;
    }
    const char* asked = mlt_properties_get(properties, "script");
    s->script = asked != nullptr && *asked != '\0' ? AbsolutePath(asked) : ScriptBeside(source);
    if (!ReadScript(s->script, &s->script_read, &error)) {
        Say(s->script + ": " + error + "; frames pass through unchanged");
        return false;
    }
    if (!s->script_read.exists) {
        Say("no " + s->script + "; frames pass through unchanged");
        return false;
    }
    std::string plugin = PluginFor(properties);
    if (!s->runner.LoadPlugin(plugin, &error)) {
        Say(plugin + ": plug-in " + error +
            "; name it with the filter's plugin property or KINETRA_PLUGIN; frames pass "
            "through unchanged");
        return false;
    }
    if (!s->runner.OpenSource(source, &error)) {
        Say(source + ": " + error + "; frames pass through unchanged");
        return false;
    }
    Project& project = s->runner.project();
    project.SetExactColour(true);
    RunSetup setup;
    setup.script_path = ScriptToTell(s);
    if (setup.script_path.empty()) {
        Say(s->script + ": cannot be linked as " + kScriptFile + "; frames pass through unchanged");
        return false;
    }
    CheckScript(s);
    mlt_profile profile = mlt_service_profile(MLT_FILTER_SERVICE(filter));
    setup.max_w = std::max(project.width(), profile ? profile->width : 0);
    setup.max_h = std::max(project.height(), profile ? profile->height : 0);
    s->sliders = s->runner.Sliders();
    setup.sliders = s->sliders.defaults;
    s->runner.Start(setup);
    s->to_yc.set_exact(true);
    s->from_yc.set_exact(true);
    return true;
}

// Starts the runner at the first frame; whether it runs.
bool Ready(KinetraState* s, mlt_filter filter, mlt_frame frame) {
    if (!s->tried) {
        s->tried = true;
        if (g_running != nullptr) {
            Say("another kinetra filter runs the plug-in in this process; frames pass through "
                "unchanged");
            return false;
        }
        s->running = StartRunner(s, filter, frame);
        if (s->running) g_running = s;
    }
    return s->running;
}

// The property that holds slider i: `display` for the display buffer, the
// variable's letter for the others.
std::string SliderProperty(int32_t i) {
    return i == 0 ? "display" : std::string(1, kVariableSliderLetters[i - 1]);
}

// The sliders at the frame's place in the filter: a property's value (or
// its keyframes' value there), else the plug-in's default.
void SetSliders(KinetraState* s, mlt_filter filter, mlt_frame frame) {
    mlt_properties properties = MLT_FILTER_PROPERTIES(filter);
    int position = mlt_filter_get_position(filter, frame);
    int length = mlt_filter_get_length2(filter, frame);
    SliderValues values = s->sliders.defaults;
    for (int32_t i = 0; i < KINETRA_TRACK_COUNT; ++i) {
        std::string name = SliderProperty(i);
        if (mlt_properties_get(properties, name.c_str()) == nullptr) continue;
        int value = mlt_properties_anim_get_int(properties, name.c_str(), position, length);
        values[i] = std::clamp<int32_t>(value, s->sliders.minimums[i], s->sliders.maximums[i]);
    }
    s->runner.SetSliders(values);
}

// What the plug-in said while running frame f, as render says it.
void ReportFrame(KinetraState* s, int32_t f, bool ok) {
    for (const KinetraRunFailure& failure : s->runner.TakeFailures())
        std::fprintf(stderr, "%s\n",
                     FormatRunFailure(s->script, failure, s->script_read.utf8).c_str());
    if (!ok && !s->warned_failure) {
        Say("warning: the plug-in failed on frame " + std::to_string(f));
        s->warned_failure = true;
    }
}

// The frame's matrix and range, as MLT tags its pictures.
void TagColour(mlt_properties frame_properties, AVFrame* frame) {
    int matrix = mlt_properties_get_int(frame_properties, "colorspace");
    frame->colorspace = matrix == 709    ? AVCOL_SPC_BT709
                        : matrix == 240  ? AVCOL_SPC_SMPTE240M
                        : matrix == 2020 ? AVCOL_SPC_BT2020_NCL
                                         : AVCOL_SPC_BT470BG;
    frame->color_range = mlt_properties_get_int(frame_properties, "full_range") ? AVCOL_RANGE_JPEG
                                                                                : AVCOL_RANGE_MPEG;
}

// An MLT picture as a planar frame the colour converters take exactly:
// 16-bit 4:2:2 and 8-bit 4:2:0 are its own planes; packed 8-bit 4:2:2 is
// copied into planes of the frame (and back by Repack).
AVFrame* PlanarFrame(uint8_t* image, mlt_image_format format, int width, int height) {
    AVFrame* frame = av_frame_alloc();
    if (frame == nullptr) return nullptr;
    frame->width = width;
    frame->height = height;
    if (format == mlt_image_yuv422) {
        frame->format = AV_PIX_FMT_YUV422P;
        if (av_frame_get_buffer(frame, 0) < 0) av_frame_free(&frame);
        return frame;
    }
    int luma = width * height, chroma_w = (width + 1) / 2;
    int bytes = format == mlt_image_yuv422p16 ? 2 : 1;
    int chroma_h = format == mlt_image_yuv422p16 ? height : (height + 1) / 2;
    frame->format = bytes == 2 ? AV_PIX_FMT_YUV422P16LE : AV_PIX_FMT_YUV420P;
    frame->data[0] = image;
    frame->data[1] = image + luma * bytes;
    frame->data[2] = frame->data[1] + chroma_w * chroma_h * bytes;
    frame->linesize[0] = width * bytes;
    frame->linesize[1] = frame->linesize[2] = chroma_w * bytes;
    return frame;
}

// Packed 4:2:2 (Y0 U Y1 V) into the frame's planes, or back.
void Repack(uint8_t* packed, AVFrame* planar, bool to_planes) {
    for (int y = 0; y < planar->height; ++y) {
        uint8_t* row = packed + static_cast<size_t>(y) * planar->width * 2;
        uint8_t* p[3] = {planar->data[0] + y * planar->linesize[0],
                         planar->data[1] + y * planar->linesize[1],
                         planar->data[2] + y * planar->linesize[2]};
        for (int x = 0; x < planar->width; ++x) {
            uint8_t* chroma = &p[1 + (x & 1)][x / 2];
            uint8_t* at[2] = {&p[0][x], chroma};
            for (int k = 0; k < 2; ++k) {
                uint8_t& sample = row[2 * x + k];
                if (to_planes) {
                    *at[k] = sample;
                } else {
                    sample = *at[k];
                }
            }
        }
    }
}

// Runs the video filter on the picture, and puts its result in the frame
// (in a new picture when the script changed the size).
void FilterPicture(KinetraState* s, mlt_frame frame, uint8_t** image, mlt_image_format format,
                   int* width, int* height) {
    mlt_properties properties = MLT_FRAME_PROPERTIES(frame);
    int32_t f = static_cast<int32_t>(mlt_frame_original_position(frame));
    if (*width > s->runner.max_w() || *height > s->runner.max_h()) {
        if (!s->warned_size) Say("a frame is larger than the clip and the profile; left unchanged");
        s->warned_size = true;
        return;
    }
    AVFrame* in = PlanarFrame(*image, format, *width, *height);
    if (in == nullptr) return;
    TagColour(properties, in);
    if (format == mlt_image_yuv422) Repack(*image, in, true);
    ColourSpec colour =
        ColourOf(AVPixelFormat(in->format), in->colorspace, in->color_range, *height);
    s->picture.ResizeForOverwrite(*width, *height);
    bool converted = s->to_yc.Convert(in, s->picture.pixels.data(), *width);
    av_frame_free(&in);
    if (!converted) return;
    FilterImage result;
    bool ok = s->runner.RunVideoOn(f, s->picture.pixels.data(), *width, *height, *width, &result);
    ReportFrame(s, f, ok);
    if (result.width != *width || result.height != *height) {
        int size = mlt_image_format_size(format, result.width, result.height, nullptr);
        *image = static_cast<uint8_t*>(mlt_pool_alloc(size));
        mlt_frame_set_image(frame, *image, size, mlt_pool_release);
        *width = result.width;
        *height = result.height;
    }
    AVFrame* out = PlanarFrame(*image, format, *width, *height);
    if (out == nullptr) return;
    if (s->from_yc.Open(*width, *height, AVPixelFormat(out->format), colour) &&
        s->from_yc.Convert(result.pixels, result.stride, out) && format == mlt_image_yuv422) {
        Repack(*image, out, false);
    }
    av_frame_free(&out);
}

KinetraState* StateOf(mlt_filter filter) {
    return static_cast<KinetraState*>(
        mlt_properties_get_data(MLT_FILTER_PROPERTIES(filter), kStateName, nullptr));
}

// The picture in a format the plug-in's pixels come from exactly: 16-bit
// 4:2:2 or 8-bit 4:2:0 when the consumer asks for that, else 8-bit 4:2:2
// (MLT converts what it gives to the format asked for).
int GetImage(mlt_frame frame, uint8_t** image, mlt_image_format* format, int* width, int* height,
             int) {
    mlt_filter filter = static_cast<mlt_filter>(mlt_frame_pop_service(frame));
    if (*format != mlt_image_yuv420p && *format != mlt_image_yuv422p16) *format = mlt_image_yuv422;
    int error = mlt_frame_get_image(frame, image, format, width, height, 1);
    if (error != 0 || *image == nullptr) return error;
    if (*format != mlt_image_yuv420p && *format != mlt_image_yuv422p16 &&
        *format != mlt_image_yuv422) {
        return 0;
    }
    KinetraState* s = StateOf(filter);
    std::lock_guard<std::mutex> lock(g_plugin_mutex);
    try {
        if (!Ready(s, filter, frame)) return 0;
        SetSliders(s, filter, frame);
        FilterPicture(s, frame, image, *format, width, height);
    } catch (const std::exception& e) {
        Say(std::string("the picture passes through unchanged: ") + e.what());
    }
    return 0;
}

// The sound as 16-bit samples, run through the audio filter in place when
// it has the clip's rate and channels (the plug-in's blocks are sized for
// those).
int GetAudio(mlt_frame frame, void** buffer, mlt_audio_format* format, int* frequency,
             int* channels, int* samples) {
    mlt_filter filter = static_cast<mlt_filter>(mlt_frame_pop_audio(frame));
    *format = mlt_audio_s16;
    int error = mlt_frame_get_audio(frame, buffer, format, frequency, channels, samples);
    if (error != 0 || *buffer == nullptr || *format != mlt_audio_s16) return error;
    KinetraState* s = StateOf(filter);
    std::lock_guard<std::mutex> lock(g_plugin_mutex);
    try {
        if (!Ready(s, filter, frame)) return 0;
        const Project& project = s->runner.project();
        if (*frequency != project.audio_rate() || *channels != project.channels()) {
            if (!s->warned_sound) {
                Say("the sound is asked for at " + std::to_string(*frequency) + " Hz in " +
                    std::to_string(*channels) + " channels, the clip's is " +
                    std::to_string(project.audio_rate()) + " Hz in " +
                    std::to_string(project.channels()) + "; the sound passes through unchanged");
            }
            s->warned_sound = true;
            return 0;
        }
        int32_t f = static_cast<int32_t>(mlt_frame_original_position(frame));
        SetSliders(s, filter, frame);
        bool ok = s->runner.RunAudioOn(f, static_cast<int16_t*>(*buffer), *samples, *channels);
        ReportFrame(s, f, ok);
    } catch (const std::exception& e) {
        Say(std::string("the sound passes through unchanged: ") + e.what());
    }
    return 0;
}

mlt_frame Process(mlt_filter filter, mlt_frame frame) {
    mlt_frame_push_service(frame, filter);
    mlt_frame_push_get_image(frame, GetImage);
    mlt_frame_push_audio(frame, filter);
    mlt_frame_push_audio(frame, reinterpret_cast<void*>(GetAudio));
    return frame;
}

void DeleteState(void* state) {
    delete static_cast<KinetraState*>(state);
}

mlt_filter Create(mlt_profile, mlt_service_type, const char*, char* argument) {
    mlt_filter filter = mlt_filter_new();
    if (filter == nullptr) return nullptr;
    mlt_properties properties = MLT_FILTER_PROPERTIES(filter);
    mlt_properties_set_data(properties, kStateName, new KinetraState, 0, DeleteState, nullptr);
    if (argument != nullptr) mlt_properties_set(properties, "script", argument);
    filter->process = Process;
    return filter;
}

// The description `melt -query filter=kinetra` shows: kinetra.yml beside
// this module.
mlt_properties Describe(mlt_service_type, const char*, void*) {
    return mlt_properties_parse_yaml((ModuleDirectory() + "kinetra.yml").c_str());
}

}  // namespace

extern "C" __attribute__((visibility("default"))) MLT_REPOSITORY {
    MLT_REGISTER(mlt_service_filter_type, "kinetra", Create);
    MLT_REGISTER_METADATA(mlt_service_filter_type, "kinetra", Describe, nullptr);
}
