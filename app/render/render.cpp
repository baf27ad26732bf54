#include "render/render.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "output/encode_worker.h"
#include "output/encoders.h"
#include "checker/check.h"
#include "base/ffmpeg_util.h"
#include "base/host_threads.h"
#include "plugin/filter_runner.h"
#include "output/output_file.h"
#include "output/output_safety.h"
#include "output/overwrite.h"
#include "base/paths.h"
#include "base/shown_text.h"
#include "plugin/plugin_loader.h"
#include "render/progress.h"
#include "checker/script_check.h"
#include "checker/segment_safety.h"
#include "base/stop_signals.h"

namespace {

// Frames decoded ahead of the plug-in, and frames waiting for the encoder.
// A frame read ahead holds one to three pictures of 12 MB at 1080p (the
// plug-in's 16-bit pixels), a frame waiting for the encoder one in the
// encoder's format (3 MB for 8-bit 4:2:0); their first touch (clearing fresh
// pages) is most of a render's start-up cost. Deeper queues did not render
// faster.
constexpr int32_t kReadAheadFrames = 1;
constexpr int32_t kEncodeQueueFrames = 2;

// Returned by the steps of a render that went well and let it go on, and
// by a frame after which the render stops without failing (a failed encoder
// says why at the finish).
constexpr int kGoOn = -1;
constexpr int kStopFrames = -2;

void Fail(const std::string& file, const std::string& reason) {
    std::fprintf(stderr, "kinetra: %s: %s\n", file.c_str(), reason.c_str());
}

// A stop asked for by a signal before anything was written.
int StoppedBeforeWriting(int signal) {
    std::fprintf(stderr, "kinetra: stopped by %s before any frame was rendered; nothing written\n",
                 SignalName(signal).c_str());
    return 128 + signal;
}

// Refuses an output that is one of the files the render reads (`inputs`,
// which are `what`), however the name reaches it.
bool OutputIsAnInput(const std::string& shown, const std::string& output,
                     const std::vector<std::string>& inputs,
                     const char* what = "which this render reads") {
    std::string clash;
    if (!OutputHitsInput(output, NamesPictureSequence(output), inputs, &clash)) return false;
    Fail(shown, "is the same file as " + clash + ", " + what + "; choose another output name");
    return true;
}

// The output's name in messages: as the user gave it.
std::string ShownName(const std::string& output) {
    return output == "-" ? "standard output" : output;
}

// The size of a finished output; -1 for streams and sequences.
int64_t OutputBytes(const std::string& path) {
    struct stat info;
    if (path == "-" || stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    return static_cast<int64_t>(info.st_size);
}

std::string Duration(int64_t frames, AVRational fps) {
    double seconds = fps.num > 0 ? double(frames) * fps.den / fps.num : 0.0;
    char text[64];
    if (seconds < 120) {
        std::snprintf(text, sizeof text, "%.1f s", seconds);
    } else if (seconds < 2 * 86400) {
        std::snprintf(text, sizeof text, "%.1f hours", seconds / 3600);
    } else {
        std::snprintf(text, sizeof text, "%.0f days", seconds / 86400);
    }
    return text;
}

// Everything one render holds. The runner ends the plug-in's run in its own
// order; the encoder, declared after the output it writes, goes before it.
struct Render {
    explicit Render(const RenderSettings& s) : settings(s), progress(!s.quiet) {}

    const RenderSettings& settings;
    std::string source;       // absolute
    std::string output_path;  // absolute, or "-"
    std::string shown;        // the output's name in messages
    std::string script;
    ScriptRead script_read;  // the script as read once before the render
    const ScriptFacts& facts = script_read.facts;
    FilterRunner runner;
    OutputFile output;
    std::unique_ptr<EncodeWorker> encoder;
    ProgressBar progress;
    PixelBuffer staging;  // an output image of another size, placed top-left
    int64_t rendered = 0;
    int32_t reported_length = 0;
    // The frame the filters start on: the first asked for, or an earlier one
    // that a warm-up runs from so that a range renders as in a whole render.
    int32_t warm_from = 0;
    int32_t whole_w = 0, whole_h = 0;  // the output's size; 0: the first frame's
    bool warned_size = false, warned_filter = false, observer_stopped = false;
};

// ---- preflight: everything that can fail before the first frame -------------

// Refuses an output that is one of the program's own files: the plug-in the
// render loads, or the program itself.
bool OutputIsTheProgram(const Render& r) {
    return OutputIsAnInput(r.shown, r.output_path, {PluginPath(r.settings.plugin)},
                           "the plug-in this render loads") ||
           OutputIsAnInput(r.shown, r.output_path, {ProgramPath()}, "the kinetra program itself");
}

// The source is a regular file, the script can be read, the output is none
// of the files the render reads (the program's own included) and no directory.
int CheckNames(Render* r) {
    const RenderSettings& settings = r->settings;
    r->source = AbsolutePath(settings.source);
    struct stat info;
    if (stat(r->source.c_str(), &info) != 0) {
        Fail(settings.source, std::strerror(errno));
        return kExitFailure;
    }
    if (!S_ISREG(info.st_mode)) {
        Fail(settings.source, "not a regular file");
        return kExitFailure;
    }
    r->output_path = settings.output == "-" ? "-" : AbsolutePath(settings.output);
    r->shown = ShownName(settings.output);
    r->script = ScriptBeside(r->source);
    std::string script_error;
    if (!ReadScript(r->script, &r->script_read, &script_error)) {
        Fail(r->script, script_error);
        return kExitFailure;
    }
    std::vector<std::string> inputs = r->facts.media_files;
    inputs.push_back(r->source);
    inputs.push_back(r->script);
    if (r->output_path == r->source) {
        Fail(settings.output, "the output would overwrite the source");
        return kExitFailure;
    }
    if (OutputIsAnInput(r->shown, r->output_path, inputs) || OutputIsTheProgram(*r)) {
        return kExitFailure;
    }
    struct stat existing;
    if (r->output_path != "-" && stat(r->output_path.c_str(), &existing) == 0 &&
        S_ISDIR(existing.st_mode)) {
        Fail(r->shown, "is a directory; name a file to write");
        return kExitFailure;
    }
    return kGoOn;
}

// Where the script asks for `frames`: "DIR/kinetra.txt:3: the section [0-900]"
// when the header is known.
std::string WhereAsked(const Render& r, int64_t frames) {
    if (r.facts.longest_end == frames && r.facts.longest_end_line > 0) {
        return r.script + ":" + std::to_string(r.facts.longest_end_line) + ": the section " +
               ShownScriptText(r.facts.longest_end_header, r.script_read.utf8);
    }
    return r.script + ": a section";
}

// Says which bound applied: the one --max-frames gave, or the source's
// length and ten minutes.
void RefuseLength(const Render& r, int64_t frames) {
    const Project& p = r.runner.project();
    std::string bound = r.settings.max_frames > 0
                            ? "allowed by --max-frames " + std::to_string(r.settings.max_frames) +
                                  "; a larger --max-frames allows more"
                            : "allowed (the source's " + std::to_string(p.source_frames()) +
                                  " frames and 10 minutes); --max-frames N allows more";
    std::fprintf(stderr,
                 "kinetra: %s lengthens the project to %lld frames (%s), more than the %lld %s\n",
                 WhereAsked(r, frames).c_str(), static_cast<long long>(frames),
                 Duration(frames, p.frame_rate()).c_str(), static_cast<long long>(p.length_bound()),
                 bound.c_str());
}

void ReportLengthening(Render* r) {
    const Project& p = r->runner.project();
    int64_t added = int64_t(p.frame_count()) - r->reported_length;
    std::fprintf(stderr,
                 "kinetra: %s lengthens the project from %d to %d frames (+%lld frames, %s of "
                 "black and silence)\n",
                 WhereAsked(*r, p.frame_count()).c_str(), r->reported_length, p.frame_count(),
                 static_cast<long long>(added), Duration(added, p.frame_rate()).c_str());
    r->reported_length = p.frame_count();
}

// Loads the plug-in and opens the source.
int OpenPluginAndSource(Render* r) {
    std::string error;
    std::string plugin_path = PluginPath(r->settings.plugin);
    if (!r->runner.LoadPlugin(plugin_path, &error)) {
        bool missing = access(plugin_path.c_str(), F_OK) != 0;
        Fail(plugin_path,
             "plug-in " + error + (missing ? "; " + PluginNotFoundHint(r->settings.plugin) : ""));
        return kExitFailure;
    }
    if (!r->runner.OpenSource(r->source, &error)) {
        Fail(r->settings.source, error);
        return kExitFailure;
    }
    r->runner.project().SetExactColour(r->settings.encode.lossless);
    return kGoOn;
}

// The script's findings against the project, and what they decide: --strict
// stops at an error, and files already reported are not reported again.
int CheckScriptAgainstProject(Render* r) {
    r->warm_from = r->settings.first_frame;
    if (!r->script_read.exists) {
        std::fprintf(stderr, "kinetra: no %s; frames pass through unchanged\n", r->script.c_str());
        return kGoOn;
    }
    ScriptCheck check;
    if (!ReportScriptCheck(r->script_read, r->runner.project().frame_count(), &check) &&
        r->settings.strict) {
        std::fprintf(stderr, "kinetra: --strict: the script has errors; nothing was written\n");
        return kExitFailure;
    }
    if (check.warnings() > 0 && r->settings.strict_warnings) {
        std::fprintf(stderr,
                     "kinetra: --strict=warnings: the script has warnings; nothing was written\n");
        return kExitFailure;
    }
    r->runner.media().SetFileNotes(FileLineNotes(check));
    // What the check told is not told again: neither the media services'
    // warning about a file it reported nor the run-time failure of a line
    // it found an error on or a file it reported.
    const CheckTold told = ToldByCheck(check);
    r->runner.media().SetToldFiles(told.files);
    r->runner.SetToldLines(told.lines);
    // A render from frame 0 warms up from nowhere.
    if (r->settings.first_frame > 0) {
        r->warm_from =
            AnalyseSegments(r->script_read.text, r->runner.project().frame_count(), told.file_lines)
                .WarmUpFrom(r->settings.first_frame);
    }
    return kGoOn;
}

// The longest project the script may ask for: as the settings say, or the
// source's length and ten minutes.
int64_t LengthBound(Render* r) {
    if (r->settings.max_frames > 0) return r->settings.max_frames;
    return DefaultLengthBound(r->runner.project());
}

// An output that would replace files asks first (or is refused).
int AskToReplace(Render* r) {
    const RenderSettings& settings = r->settings;
    int64_t planned =
        static_cast<int64_t>(r->runner.project().frame_count()) - settings.first_frame;
    if (settings.last_frame >= 0) {
        planned = std::min<int64_t>(planned, settings.last_frame - settings.first_frame + 1);
    }
    std::string error;
    if (!MayReplace(FilesReplacedBy(r->output_path, std::max<int64_t>(planned, 1)),
                    settings.overwrite, isatty(STDIN_FILENO) != 0, stdin, stderr, &error)) {
        std::fprintf(stderr, "kinetra: %s\n", error.c_str());
        return kExitFailure;
    }
    return kGoOn;
}

SliderValues SlidersFor(const Render& r);

// Whether the render asks for the source's sound as it is, which is then
// copied rather than encoded where the container holds its codec: an audio
// codec or bit rate asks for an encoding, and a line that may write audio
// buffer 0 or a displayed buffer other than 0 (another buffer's sound, or
// silence) changes the sound.
bool KeepsSourceSound(const Render& r) {
    const EncodeSettings& encode = r.settings.encode;
    return encode.audio && r.runner.project().has_audio() && !r.facts.changes_sound &&
           encode.audio_codec.empty() && encode.audio_bitrate == 0 && SlidersFor(r)[0] == 0;
}

// Why the source's sound, which the render keeps, is encoded all the same;
// "" when it is copied. Copied packets could start only at a packet's edge,
// not exactly at a first frame past 0, and a copy ends where the source's
// sound does, short of the silence of frames the script adds.
std::string WhySoundIsEncoded(const Render& r) {
    const RenderSettings& settings = r.settings;
    if (settings.first_frame > 0) {
        return "a copy of the source's could not start exactly at frame " +
               std::to_string(settings.first_frame);
    }
    int64_t end = std::max<int64_t>(r.runner.project().frame_count(), r.facts.longest_end);
    if (settings.last_frame >= 0) end = std::min<int64_t>(end, settings.last_frame + 1);
    if (end > r.runner.project().source_frames()) {
        return "the script lengthens the project, and a copy of the source's could not add "
               "the silence of the frames past its end";
    }
    return "";
}

// Asks the output to copy the source's sound where the render keeps it.
void PlanSoundCopy(Render* r) {
    if (!KeepsSourceSound(*r)) return;
    std::string why = WhySoundIsEncoded(*r);
    if (why.empty()) {
        r->output.CopySoundFrom(r->source, r->runner.project().video().start_seconds());
    } else if (!r->settings.quiet) {
        std::fprintf(stderr, "kinetra: note: the sound is encoded: %s\n", why.c_str());
    }
}

// Chooses the container and encoders and opens the output. Audio is written
// when the source has some or the script makes some.
int CreateOutput(Render* r) {
    const RenderSettings& settings = r->settings;
    std::string error;
    bool makes_audio = r->runner.project().has_audio() || r->facts.has_audio_commands;
    if (!makes_audio && settings.encode.audio) {
        const AVOutputFormat* container = ChooseContainer(r->output_path, settings.encode, &error);
        if (container != nullptr && IsAudioOnlyContainer(container)) {
            Fail(settings.output, "the source has no audio and the script makes none: the " +
                                      std::string(container->name) + " output would be empty");
            return kExitFailure;
        }
        r->output.LeaveOutSound();
    }
    PlanSoundCopy(r);
    if (!r->output.Create(r->output_path, settings.encode, &error)) {
        Fail(r->shown, error);
        return kExitFailure;
    }
    if (r->output.copies_sound() && !settings.quiet) {
        std::fprintf(stderr,
                     "kinetra: note: the sound is copied from the source unchanged, as the "
                     "script leaves it alone; -c:a CODEC encodes it\n");
    }
    // The plug-in's audio filter still runs (its lines may set variables
    // that the picture uses), but with no sound written and no audio
    // command, or the sound copied, nothing hears the source's sound: it is
    // not decoded.
    if ((!r->output.wants_audio() && !r->facts.has_audio_commands) || r->output.copies_sound()) {
        r->runner.project().LeaveSourceAudioUnread();
    }
    int64_t last_asked =
        settings.last_frame >= 0 ? settings.last_frame : r->runner.project().frame_count() - 1;
    if (r->output.single_picture() && last_asked != settings.first_frame) {
        Fail(r->shown,
             "holds one picture; name a numbered sequence (out_%04d.png) or ask for one frame "
             "(--frames N)");
        return kExitFailure;
    }
    return kGoOn;
}

// The slider positions: the plug-in's defaults, then the settings' values.
SliderValues SlidersFor(const Render& r) {
    SliderValues values = r.runner.Sliders().defaults;
    for (const auto& slider : r.settings.sliders)
        values[slider.first] = slider.second;
    return values;
}

// Whether the source's pictures go to the encoder as decoded: the script
// leaves the picture alone (no video command; buffer 0 shown, as the
// commands left it), the buffers are the frame's size, nobody watches the
// plug-in's images and the encoder takes the decoder's format and size. The
// video filter still runs on every frame, for the script's variables.
bool PassesPicture(const Render& r, const RunSetup& setup) {
    const Project& p = r.runner.project();
    return !r.facts.has_video_commands && setup.sliders[0] == 0 && !r.settings.observer &&
           setup.max_w == p.width() && setup.max_h == p.height() &&
           r.output.TakesAsDecoded(p.pixel_format(), p.width(), p.height());
}

// Starts the plug-in on buffers of the frame's size, or a larger canvas.
void StartFilters(Render* r) {
    const RenderSettings& settings = r->settings;
    const Project& p = r->runner.project();
    RunSetup setup;
    setup.max_w = std::max(p.width(), settings.canvas_width);
    setup.max_h = std::max(p.height(), settings.canvas_height);
    if ((settings.canvas_width > 0 && settings.canvas_width < p.width()) ||
        (settings.canvas_height > 0 && settings.canvas_height < p.height())) {
        std::fprintf(stderr,
                     "kinetra: note: --canvas %dx%d is smaller than the %dx%d frame; the "
                     "buffers are %dx%d\n",
                     settings.canvas_width, settings.canvas_height, p.width(), p.height(),
                     setup.max_w, setup.max_h);
    }
    setup.length_bound = r->runner.project().length_bound();  // set by the preflight
    setup.sliders = SlidersFor(*r);
    setup.second_image_is_frame = r->facts.uses_second_image || setup.sliders[0] == 1;
    setup.passes_picture = PassesPicture(*r, setup);
    setup.notes_shown = !settings.quiet;
    r->runner.Start(setup);
    // Decoding runs ahead on its own thread, encoding behind on another; the
    // plug-in is called from this thread only, frame after frame.
    r->runner.project().StartReadAhead(r->warm_from, kReadAheadFrames);
    r->reported_length = p.source_frames();
}

// A range that starts in the tail a section adds to the project: a whole
// render has lengthened the project by then, so the range starts with it
// lengthened. Its output has the size of the project's first frame, which a
// warm-up from frame 0 learns; without one, no dispsize runs there and it
// is the project's size.
void ReachTheFirstFrame(Render* r) {
    Project& p = r->runner.project();
    if (r->warm_from >= p.frame_count() && r->facts.longest_end > p.frame_count()) {
        p.Lengthen(static_cast<int32_t>(r->facts.longest_end));
    }
    if (r->warm_from > 0) {
        r->whole_w = p.width();
        r->whole_h = p.height();
    }
}

// Every check that can fail before the first frame, in the order that
// reports the cheapest first; then the plug-in's init.
int Preflight(Render* r) {
    int status = CheckNames(r);
    if (status != kGoOn) return status;
    if (StopSignal() != 0) return StoppedBeforeWriting(StopSignal());
    for (int (*step)(Render*) : {OpenPluginAndSource, CheckScriptAgainstProject}) {
        status = step(r);
        if (status != kGoOn) return status;
    }
    r->runner.project().SetLengthBound(LengthBound(r));
    if (r->facts.longest_end > r->runner.project().length_bound()) {
        RefuseLength(*r, r->facts.longest_end);
        return kExitFailure;
    }
    for (int (*step)(Render*) : {AskToReplace, CreateOutput}) {
        status = step(r);
        if (status != kGoOn) return status;
    }
    ReachTheFirstFrame(r);
    StartFilters(r);
    if (StopSignal() != 0) return StoppedBeforeWriting(StopSignal());
    return kGoOn;
}

// ---- the frame loop ------------------------------------------------------------

// What the render turns or leaves out of the source, one line each: its
// display matrix's turn, its alpha channel, its audio streams after the one
// read and the field order the output cannot mark.
void ReportSourceNotes(const Render& r) {
    const VideoSource& video = r.runner.project().video();
    std::vector<std::string> notes = {video.OrientationNote()};
    if (r.output.wants_video()) notes.push_back(video.AlphaNote());
    if (r.output.wants_audio()) notes.push_back(video.AudioStreamsNote());
    for (const std::string& note : notes) {
        if (note.empty()) continue;
        std::fprintf(stderr, "kinetra: note: %s: %s\n", r.settings.source.c_str(), note.c_str());
    }
    if (!r.output.tags_note().empty()) {
        std::fprintf(stderr, "kinetra: note: %s\n", r.output.tags_note().c_str());
    }
}

// Starts the output with the first frame's size, and tells what the encoding
// changes of it.
bool StartOutput(Render* r, const FilterImage& image) {
    Project& p = r->runner.project();
    std::string error;
    r->output.KeepSourceTags(p.video().tags());
    int32_t width = r->whole_w > 0 ? r->whole_w : image.width;
    int32_t height = r->whole_h > 0 ? r->whole_h : image.height;
    if (!r->output.Start(width, height, p.frame_rate(), p.colour(), p.pixel_format(),
                         p.audio_rate(), p.channels(), &error)) {
        Fail(r->shown, error);
        return false;
    }
    if (!r->settings.quiet) ReportSourceNotes(*r);
    if (!r->settings.quiet && !r->output.pixel_note().empty()) {
        std::fprintf(stderr, "kinetra: note: %s\n", r->output.pixel_note().c_str());
    }
    if (r->settings.verbose) {
        std::fprintf(stderr, "kinetra: decoder: %s %s %dx%d\n", p.video().decoder_name(),
                     av_get_pix_fmt_name(p.pixel_format()), p.width(), p.height());
        std::fprintf(stderr, "kinetra: encoder: %s\n", r->output.EncoderSummary().c_str());
    }
    const OutputFile& out = r->output;
    if (out.width() != width || out.height() != height) {
        std::fprintf(stderr,
                     "kinetra: the output is %dx%d: the encoder needs even sizes, so the last "
                     "%s of the %dx%d frames is left out\n",
                     out.width(), out.height(),
                     out.width() != width && out.height() != height ? "column and row"
                     : out.width() != width                         ? "column"
                                                                    : "row",
                     width, height);
    }
    r->encoder.reset(new EncodeWorker(&r->output, kEncodeQueueFrames));
    return true;
}

// The output image in the output's size: a frame of another size is placed
// top-left on black and cut.
FilterImage FitToOutput(Render* r, const FilterImage& image) {
    int32_t out_w = r->output.width(), out_h = r->output.height();
    if (image.width == out_w && image.height == out_h) return image;
    r->staging.resize(static_cast<size_t>(out_w) * out_h);
    std::fill(r->staging.begin(), r->staging.end(), PixelYC{0, 0, 0});
    CopyTopLeft(image.pixels, image.width, image.height, image.stride, r->staging.data(), out_w,
                out_h, out_w);
    return FilterImage{r->staging.data(), out_w, out_h, out_w};
}

// What the plug-in said while running frame f: a lengthening, its run-time
// failures (the first of each script line, once), a failed call. False when
// the render must stop (a lengthening beyond the bound).
bool ReportFrame(Render* r, int32_t f, bool filters_ok) {
    Project& p = r->runner.project();
    if (p.refused_length() > 0) {
        r->progress.Finish();
        RefuseLength(*r, p.refused_length());
        return false;
    }
    if (p.frame_count() > r->reported_length) ReportLengthening(r);
    std::vector<KinetraRunFailure> failures = r->runner.TakeFailures();
    if (!failures.empty()) r->progress.Finish();
    for (const KinetraRunFailure& failure : failures)
        std::fprintf(stderr, "%s\n",
                     FormatRunFailure(r->script, failure, r->script_read.utf8).c_str());
    if (!filters_ok && !r->warned_filter) {
        std::fprintf(stderr, "kinetra: warning: the plug-in failed on frame %d\n", f);
        r->warned_filter = true;
    }
    return true;
}

// Hands the frame's picture and sound to the encoder: the decoder's picture
// as it is, or the plug-in's image converted for the encoder here, into a
// frame the encoder is done with.
bool Encode(Render* r, const FilterImage& image, FramePtr decoded, int32_t samples) {
    std::vector<int16_t>* sound = &r->runner.audio();
    if (decoded || !r->output.wants_video()) {
        return r->encoder->Push(std::move(decoded), false, sound, samples);
    }
    std::string error;
    FramePtr picture =
        r->output.ConvertPicture(image.pixels, image.stride, r->encoder->SpareFrame(), &error);
    if (!picture) {
        r->encoder->Fail(error);
        return false;
    }
    return r->encoder->Push(std::move(picture), true, sound, samples);
}

// Runs both filters on frame f and reports what the plug-in said; false
// when the render must stop. The picture is in `image`, or as decoded in
// `decoded` for a script that leaves it alone; the sound block's length in
// `samples`.
bool RunFilters(Render* r, int32_t f, FilterImage* image, FramePtr* decoded, int32_t* samples) {
    bool video_ok = r->runner.RunVideoPassing(f, image, decoded);
    bool audio_ok = r->runner.RunAudio(f, samples);
    return ReportFrame(r, f, video_ok && audio_ok);
}

// Renders frame f: kGoOn, kStopFrames, or the exit status of a failure.
int RenderFrame(Render* r, int32_t f, int32_t last) {
    FilterImage image;
    FramePtr decoded;
    int32_t samples = 0;
    if (!RunFilters(r, f, &image, &decoded, &samples)) return kExitFailure;
    if (r->rendered == 0 && !StartOutput(r, image)) return kExitFailure;
    if ((image.width != r->output.asked_width() || image.height != r->output.asked_height()) &&
        !r->warned_size && r->rendered > 0) {
        std::fprintf(stderr,
                     "kinetra: warning: frame %d is %dx%d, the output %dx%d; placed top-left\n", f,
                     image.width, image.height, r->output.width(), r->output.height());
        r->warned_size = true;
    }
    FilterImage fitted = FitToOutput(r, image);
    ++r->rendered;
    r->progress.Update(r->rendered, static_cast<int64_t>(last) - r->settings.first_frame + 1);
    if (r->settings.observer &&
        !r->settings.observer(f, fitted.pixels, fitted.width, fitted.height, fitted.stride)) {
        r->observer_stopped = true;
    }
    return Encode(r, fitted, std::move(decoded), samples) ? kGoOn : kStopFrames;
}

// Runs both filters on the frames before the first asked for, from the
// warm-up's start, encoding nothing: the state the script carries is then
// the whole render's. Frame 0's picture gives the output's size.
int WarmUp(Render* r) {
    if (r->warm_from < r->settings.first_frame && !r->settings.quiet) {
        std::fprintf(stderr,
                     "kinetra: the script carries state from frame to frame: frames %d..%d run "
                     "first, not written\n",
                     r->warm_from, r->settings.first_frame - 1);
    }
    for (int32_t f = r->warm_from; f < r->settings.first_frame; ++f) {
        if (StopSignal() != 0 || f >= r->runner.project().frame_count()) break;
        FilterImage image;
        FramePtr decoded;
        int32_t samples = 0;
        if (!RunFilters(r, f, &image, &decoded, &samples)) return kExitFailure;
        if (f == 0) {
            r->whole_w = image.width;
            r->whole_h = image.height;
        }
    }
    return kGoOn;
}

// Runs the frames asked for, one after another, until the last, a stop or a
// failure; returns an exit status when the render failed, else kGoOn.
int RenderFrames(Render* r) {
    const RenderSettings& settings = r->settings;
    int status = WarmUp(r);
    if (status != kGoOn) return status;
    for (int32_t f = settings.first_frame;; ++f) {
        // The project may grow during the first frames (set_timeline_length).
        int32_t last = r->runner.project().frame_count() - 1;
        if (settings.last_frame >= 0) last = std::min(last, settings.last_frame);
        if (f > last || StopSignal() != 0 || r->observer_stopped) break;
        if (r->encoder && r->encoder->failed()) break;
        status = RenderFrame(r, f, last);
        if (status == kStopFrames) break;
        if (status != kGoOn) return status;
    }
    return kGoOn;
}

// ---- finish ------------------------------------------------------------------

// Ends a render stopped by a signal: the frames done are kept under a name
// that says so, never under the name asked for.
int KeepInterrupted(Render* r, int signal) {
    std::string kept, error;
    const std::string& shown = r->shown;
    long long rendered = static_cast<long long>(r->rendered);
    if (!r->output.FinishPartial(&kept, &error)) {
        std::fprintf(stderr, "kinetra: stopped by %s; the %lld frames done are lost: %s\n",
                     SignalName(signal).c_str(), rendered, error.c_str());
    } else if (kept.empty()) {
        // Sequences and streams are written as they go.
        std::fprintf(stderr, "kinetra: stopped by %s; the %lld frames done were written to %s\n",
                     SignalName(signal).c_str(), rendered, shown.c_str());
    } else {
        // The kept name as the user wrote the output's.
        std::string kept_shown = shown.substr(0, shown.rfind('/') + 1) + BaseName(kept);
        std::fprintf(stderr,
                     "kinetra: stopped by %s; the %lld frames done are kept in %s; %s was not "
                     "written\n",
                     SignalName(signal).c_str(), rendered, kept_shown.c_str(), shown.c_str());
    }
    return 128 + signal;
}

// A --frames range that runs past the project's end renders the frames that
// exist; this says how many, so that a short output is no surprise.
void ReportShortRange(const Render& r) {
    const RenderSettings& settings = r.settings;
    const int32_t length = r.runner.project().frame_count();
    if (settings.last_frame < length) return;
    std::fprintf(stderr,
                 "kinetra: warning: --frames %d-%d reaches past the project's last frame (%d): "
                 "only %lld of the %lld frames asked for exist and were rendered\n",
                 settings.first_frame, settings.last_frame, length - 1,
                 static_cast<long long>(r.rendered),
                 static_cast<long long>(settings.last_frame) - settings.first_frame + 1);
}

// Waits for the encoder and gives the output its name, or keeps what a stop
// left, or abandons it.
int Finish(Render* r) {
    std::string error;
    r->runner.project().StopReadAhead();
    if (r->encoder && !r->encoder->Finish(&error)) {
        r->progress.Finish();
        Fail(r->shown, error);
        return kExitFailure;
    }
    r->progress.Finish();
    int signal = StopSignal() != 0 ? StopSignal() : r->observer_stopped ? SIGINT : 0;
    if (r->rendered == 0) {
        r->output.Abandon();
        if (signal != 0) return StoppedBeforeWriting(signal);
        Fail(r->settings.source, "no frames in the range to render");
        return kExitFailure;
    }
    // The script may have opened files that are the output under another name.
    if (OutputIsAnInput(r->settings.output, r->output_path, r->runner.media().FilesOpened())) {
        r->output.Abandon();
        return kExitFailure;
    }
    if (signal != 0) return KeepInterrupted(r, signal);
    if (!r->output.Finish(&error)) {
        Fail(r->shown, error);
        return kExitFailure;
    }
    ReportShortRange(*r);
    if (!r->settings.quiet) {
        std::fprintf(
            stderr, "kinetra: %s\n",
            FormatSummary(r->rendered, r->progress.Elapsed(), r->shown, OutputBytes(r->output_path))
                .c_str());
    }
    return kExitOk;
}

}  // namespace

int RunRender(const RenderSettings& settings) {
    InstallStopSignals();
    QuietFfmpegLog();
    SetHostThreadCount(settings.threads > 0 ? settings.threads : HostThreadCount());
    Render render(settings);
    int status = Preflight(&render);
    if (status == kGoOn) status = RenderFrames(&render);
    if (status == kGoOn) status = Finish(&render);
    return status;
}
