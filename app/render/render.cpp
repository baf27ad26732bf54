#include "render/render.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "output/encode_worker.h"
#include "output/encoders.h"
#include "checker/check.h"
#include "base/ffmpeg_util.h"
#include "base/host_threads.h"
#include "plugin/media_services.h"
#include "output/output_file.h"
#include "output/output_safety.h"
#include "output/overwrite.h"
#include "base/paths.h"
#include "plugin/plugin_loader.h"
#include "render/progress.h"
#include "source/project.h"
#include "checker/script_check.h"
#include "plugin/services.h"
#include "base/stop_signals.h"

namespace {

// How much longer than its source a script may make the project by default.
constexpr int64_t kDefaultLengthening = 600;  // seconds

// Frames decoded ahead of the plug-in, and frames waiting for the encoder.
// Each frame in flight holds two or three pictures of 12 MB at 1080p, whose
// first touch (clearing fresh pages) is most of a render's start-up cost;
// deeper queues did not render faster.
constexpr int32_t kReadAheadFrames = 1;
constexpr int32_t kEncodeQueueFrames = 2;

void Fail(const std::string& file, const std::string& reason) {
    std::fprintf(stderr, "kinetra: %s: %s\n", file.c_str(), reason.c_str());
}

// A stop asked for by a signal before anything was written.
int StoppedBeforeWriting(int signal) {
    std::fprintf(stderr, "kinetra: stopped by %s before any frame was rendered; nothing written\n",
                 SignalName(signal).c_str());
    return 128 + signal;
}

// Refuses an output that is one of the files the render reads, however the
// name reaches it.
bool OutputIsAnInput(const std::string& shown, const std::string& output,
                     const std::vector<std::string>& inputs) {
    std::string clash;
    if (!OutputHitsInput(output, NamesPictureSequence(output), inputs, &clash)) return false;
    Fail(shown,
         "is the same file as " + clash + ", which this render reads; choose another output name");
    return true;
}

// The slider positions: the plug-in's defaults, then the options' values.
void SetSliders(const LoadedPlugin& plugin, const RenderOptions& options, int32_t* tracks) {
    for (int32_t i = 0; i < KINETRA_TRACK_COUNT; ++i) {
        tracks[i] = plugin.video->track_defaults != nullptr && plugin.video->track_count > i
                        ? plugin.video->track_defaults[i]
                        : 0;
    }
    for (const auto& slider : options.sliders)
        tracks[slider.first] = slider.second;
}

// Everything one render holds; released in the right order by the destructor.
struct RenderSession {
    Project project;
    LoadedPlugin plugin;
    HostServices services;
    int32_t tracks[KINETRA_TRACK_COUNT] = {0};
    int32_t max_w = 0, max_h = 0;  // the buffers' size: the frame's, or --canvas
    PixelBuffer edit, temp, staging;
    std::vector<int16_t> audio;
    ~RenderSession() {
        // exit closes the plug-in's files through the services, so they go last.
        UnloadPlugin(&plugin);
        CloseAllMedia();
        BindProject(nullptr);
    }
};

// Runs the video filter on frame f of the project; the output image is left
// in info (edit_pixels, width, height).
bool RunVideoFilter(RenderSession* s, int32_t f, FrameInfo* info) {
    Project& p = s->project;
    size_t count = static_cast<size_t>(s->max_w) * s->max_h;
    // Frames read ahead come with their working copies made, when the
    // buffers are the frame's size.
    bool canvas = s->max_w != p.width() || s->max_h != p.height();
    if (canvas || !p.TakeCopies(f, &s->edit, &s->temp)) {
        // Buffers handed to the encoder come back as storage of earlier frames.
        if (s->edit.size() != count) s->edit.resize(count);
        if (s->temp.size() != count) s->temp.resize(count);
        const PixelYC* source = p.FrameForCopies(f);
        // The frame's rows into buffers of max_w x max_h pixels; with a larger
        // canvas the rest is black, whatever the last frame left there.
        if (canvas) {
            std::fill(s->edit.begin(), s->edit.end(), PixelYC{0, 0, 0});
            std::fill(s->temp.begin(), s->temp.end(), PixelYC{0, 0, 0});
        }
        for (int32_t y = 0; y < p.height(); ++y) {
            const PixelYC* row = source + static_cast<size_t>(y) * p.width();
            size_t at = static_cast<size_t>(y) * s->max_w;
            std::copy(row, row + p.width(), s->edit.begin() + at);
            std::copy(row, row + p.width(), s->temp.begin() + at);
        }
    }
    std::memset(info, 0, sizeof *info);
    info->edit_pixels = s->edit.data();
    info->temp_pixels = s->temp.data();
    info->width = p.width();
    info->height = p.height();
    info->max_w = s->max_w;
    info->max_h = s->max_h;
    info->frame = f;
    info->frame_count = p.frame_count();
    info->edit_handle = &p;
    int32_t ok = s->plugin.video->process(s->plugin.video, info);
    info->width = std::clamp(info->width, 1, s->max_w);
    info->height = std::clamp(info->height, 1, s->max_h);
    return ok != 0;
}

// Runs the audio filter on frame f's samples; returns the sample frames.
int32_t RunAudioFilter(RenderSession* s, int32_t f, bool* ok) {
    Project& p = s->project;
    int32_t n = p.AudioLength(f);
    s->audio.assign(static_cast<size_t>(n) * p.channels(), 0);
    p.ReadAudio(f, s->audio.data());
    FrameInfo info;
    std::memset(&info, 0, sizeof info);
    info.audio_samples = s->audio.data();
    info.sample_count = n;
    info.channel_count = p.channels();
    info.width = p.width();
    info.height = p.height();
    info.max_w = s->max_w;
    info.max_h = s->max_h;
    info.frame = f;
    info.frame_count = p.frame_count();
    info.edit_handle = &p;
    SetMediaAudioBlock(n);
    *ok = s->plugin.audio->process(s->plugin.audio, &info) != 0;
    return n;
}

// The output image in the output's size: a frame of another size is placed
// top-left on black and cut.
const PixelYC* FitToOutput(RenderSession* s, const FrameInfo& info, int32_t out_w, int32_t out_h,
                           int32_t* stride) {
    if (info.width == out_w && info.height == out_h) {
        *stride = info.max_w;
        return info.edit_pixels;
    }
    s->staging.resize(static_cast<size_t>(out_w) * out_h);
    std::fill(s->staging.begin(), s->staging.end(), PixelYC{0, 0, 0});
    CopyTopLeft(info.edit_pixels, info.width, info.height, info.max_w, s->staging.data(), out_w,
                out_h, out_w);
    *stride = out_w;
    return s->staging.data();
}

// The longest project a script may ask for: as the options say, or the
// source's length and ten minutes.
int64_t LengthBound(const Project& p, const RenderOptions& options) {
    if (options.max_frames > 0) return options.max_frames;
    AVRational fps = p.frame_rate();
    int64_t ten_minutes = av_rescale(kDefaultLengthening, fps.num, fps.den);
    return std::min<int64_t>(INT32_MAX, p.source_frames() + ten_minutes);
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

// Where the script asks for `frames`: "DIR/kinetra.txt:3: the section [0-900]"
// when the header is known.
std::string WhereAsked(const std::string& script, int64_t frames, const ScriptFacts& facts) {
    if (facts.longest_end == frames && facts.longest_end_line > 0) {
        return script + ":" + std::to_string(facts.longest_end_line) + ": the section " +
               facts.longest_end_header;
    }
    return script + ": a section";
}

void RefuseLength(const Project& p, const std::string& script, int64_t frames,
                  const ScriptFacts& facts) {
    std::fprintf(stderr,
                 "kinetra: %s lengthens the project to %lld frames (%s), more than the %lld "
                 "allowed (the source's %d frames and 10 minutes); --max-frames N allows "
                 "more\n",
                 WhereAsked(script, frames, facts).c_str(), static_cast<long long>(frames),
                 Duration(frames, p.frame_rate()).c_str(), static_cast<long long>(p.length_bound()),
                 p.source_frames());
}

void ReportLengthening(const Project& p, int32_t from, const std::string& script,
                       const ScriptFacts& facts) {
    int64_t added = int64_t(p.frame_count()) - from;
    std::fprintf(stderr,
                 "kinetra: %s lengthens the project from %d to %d frames (+%lld frames, %s of "
                 "black and silence)\n",
                 WhereAsked(script, p.frame_count(), facts).c_str(), from, p.frame_count(),
                 static_cast<long long>(added), Duration(added, p.frame_rate()).c_str());
}

// Ends a render stopped by a signal: the frames done are kept under a name
// that says so, never under the name asked for.
int KeepInterrupted(OutputFile* output, const std::string& shown, int signal, int64_t rendered) {
    std::string kept, error;
    if (!output->FinishPartial(&kept, &error)) {
        std::fprintf(stderr, "kinetra: stopped by %s; the %lld frames done are lost: %s\n",
                     SignalName(signal).c_str(), static_cast<long long>(rendered), error.c_str());
    } else if (kept.empty()) {
        // Sequences and streams are written as they go.
        std::fprintf(stderr, "kinetra: stopped by %s; the %lld frames done were written to %s\n",
                     SignalName(signal).c_str(), static_cast<long long>(rendered), shown.c_str());
    } else {
        // The kept name as the user wrote the output's.
        std::string kept_shown = shown.substr(0, shown.rfind('/') + 1) + BaseName(kept);
        std::fprintf(stderr,
                     "kinetra: stopped by %s; the %lld frames done are kept in %s; %s was not "
                     "written\n",
                     SignalName(signal).c_str(), static_cast<long long>(rendered),
                     kept_shown.c_str(), shown.c_str());
    }
    return 128 + signal;
}

}  // namespace

namespace {

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

OutputSettings SettingsFor(const RenderOptions& options, const std::string& path) {
    OutputSettings settings;
    settings.path = path;
    settings.format = options.format;
    settings.lossless = options.lossless;
    settings.audio = options.audio;
    settings.video_codec = options.video_codec;
    settings.audio_codec = options.audio_codec;
    settings.pixel_format = options.pixel_format;
    settings.video_bitrate = options.video_bitrate;
    settings.audio_bitrate = options.audio_bitrate;
    settings.crf = options.crf;
    settings.preset = options.preset;
    return settings;
}

}  // namespace

int RunRender(const RenderOptions& options) {
    InstallStopSignals();
    QuietFfmpegLog();
    SetHostThreadCount(options.threads > 0 ? options.threads : HostThreadCount());

    std::string source = AbsolutePath(options.source);
    struct stat info;
    if (stat(source.c_str(), &info) != 0) {
        Fail(options.source, std::strerror(errno));
        return kExitFailure;
    }
    if (!S_ISREG(info.st_mode)) {
        Fail(options.source, "not a regular file");
        return kExitFailure;
    }
    std::string output_path = options.output == "-" ? "-" : AbsolutePath(options.output);
    const std::string shown = ShownName(options.output);
    std::string script = ScriptBeside(source);
    ScriptRead script_read;
    std::string script_error;
    if (!ReadScript(script, &script_read, &script_error)) {
        Fail(script, script_error);
        return kExitFailure;
    }
    const ScriptFacts& facts = script_read.facts;
    std::vector<std::string> inputs = facts.media_files;
    inputs.push_back(source);
    inputs.push_back(script);
    if (output_path == source || OutputIsAnInput(shown, output_path, inputs)) {
        if (output_path == source) Fail(options.output, "the output would overwrite the source");
        return kExitFailure;
    }
    struct stat existing;
    if (output_path != "-" && stat(output_path.c_str(), &existing) == 0 &&
        S_ISDIR(existing.st_mode)) {
        Fail(shown, "is a directory; name a file to write");
        return kExitFailure;
    }
    if (StopSignal() != 0) return StoppedBeforeWriting(StopSignal());

    RenderSession s;
    std::string error;
    std::string plugin_path = PluginPath(options.plugin);
    if (!LoadPlugin(plugin_path, &s.plugin, &error)) {
        bool missing = access(plugin_path.c_str(), F_OK) != 0;
        Fail(plugin_path,
             "plug-in " + error + (missing ? "; " + PluginNotFoundHint(options.plugin) : ""));
        return kExitFailure;
    }
    if (!s.project.Open(source, &error)) {
        Fail(options.source, error);
        return kExitFailure;
    }
    Project& p = s.project;
    bool have_script = script_read.exists;
    if (!have_script) {
        std::fprintf(stderr, "kinetra: no %s; frames pass through unchanged\n", script.c_str());
    } else {
        ScriptCheck check;
        if (!ReportScriptCheck(script_read, p.frame_count(), &check) && options.strict) {
            std::fprintf(stderr, "kinetra: --strict: the script has errors; nothing was written\n");
            return kExitFailure;
        }
        SetMediaFileNotes(FileLineNotes(check));
    }
    s.project.SetLengthBound(LengthBound(s.project, options));
    if (facts.longest_end > s.project.length_bound()) {
        RefuseLength(s.project, script, facts.longest_end, facts);
        return kExitFailure;
    }

    // An output that would replace files asks first (or is refused).
    int64_t planned = static_cast<int64_t>(p.frame_count()) - options.first_frame;
    if (options.last_frame >= 0) {
        planned = std::min<int64_t>(planned, options.last_frame - options.first_frame + 1);
    }
    if (!MayReplace(FilesReplacedBy(output_path, std::max<int64_t>(planned, 1)), options.overwrite,
                    isatty(STDIN_FILENO) != 0, stdin, stderr, &error)) {
        std::fprintf(stderr, "kinetra: %s\n", error.c_str());
        return kExitFailure;
    }

    // Audio is written when the source has some or the script makes some.
    OutputSettings settings = SettingsFor(options, output_path);
    bool makes_audio = p.has_audio() || facts.has_audio_commands;
    if (!makes_audio && options.audio) {
        EncoderRequest request;
        request.format = options.format;
        const AVOutputFormat* container = ChooseContainer(output_path, request, &error);
        if (container != nullptr && IsAudioOnlyContainer(container)) {
            Fail(options.output, "the source has no audio and the script makes none: the " +
                                     std::string(container->name) + " output would be empty");
            return kExitFailure;
        }
        settings.audio = false;
        settings.audio_codec.clear();
    }
    OutputFile output;
    if (!output.Create(settings, &error)) {
        Fail(shown, error);
        return kExitFailure;
    }
    int64_t last_asked = options.last_frame >= 0 ? options.last_frame : s.project.frame_count() - 1;
    if (output.single_picture() && last_asked != options.first_frame) {
        Fail(shown,
             "holds one picture; name a numbered sequence (out_%04d.png) or ask for one frame "
             "(--frames N)");
        return kExitFailure;
    }

    // The buffers: the frame's size, or a larger canvas for the script.
    s.max_w = std::max(p.width(), options.canvas_width);
    s.max_h = std::max(p.height(), options.canvas_height);
    if ((options.canvas_width > 0 && options.canvas_width < p.width()) ||
        (options.canvas_height > 0 && options.canvas_height < p.height())) {
        std::fprintf(stderr,
                     "kinetra: note: --canvas %dx%d is smaller than the %dx%d frame; the "
                     "buffers are %dx%d\n",
                     options.canvas_width, options.canvas_height, p.width(), p.height(), s.max_w,
                     s.max_h);
    }
    SetSliders(s.plugin, options, s.tracks);
    FillHostServices(&s.services);
    BindProject(&p);
    SetMediaBufferSize(s.max_w, s.max_h);
    SetMediaNotes(!options.quiet);
    InitPlugin(&s.plugin, s.tracks, &s.services);
    // Decoding runs ahead on its own thread, encoding behind on another; the
    // plug-in is called from this thread only, frame after frame.
    p.StartReadAhead(options.first_frame, kReadAheadFrames);
    std::unique_ptr<EncodeWorker> encoder;

    if (StopSignal() != 0) return StoppedBeforeWriting(StopSignal());
    bool observer_stopped = false;
    ProgressBar progress(!options.quiet);
    bool warned_size = false, warned_filter = false;
    int64_t rendered = 0;
    int32_t reported_length = p.source_frames();
    for (int32_t f = options.first_frame;; ++f) {
        // The project may grow during the first frames (set_timeline_length).
        int32_t last = p.frame_count() - 1;
        if (options.last_frame >= 0) last = std::min(last, options.last_frame);
        if (f > last || StopSignal() != 0 || observer_stopped) break;
        if (encoder && encoder->failed()) break;

        FrameInfo video;
        bool video_ok = RunVideoFilter(&s, f, &video);
        bool audio_ok = true;
        int32_t samples = RunAudioFilter(&s, f, &audio_ok);
        if (p.refused_length() > 0) {
            progress.Finish();
            RefuseLength(p, script, p.refused_length(), facts);
            return kExitFailure;
        }
        if (p.frame_count() > reported_length) {
            ReportLengthening(p, reported_length, script, facts);
            reported_length = p.frame_count();
        }
        // The first run-time failure of each script line, once, with its line.
        std::vector<KinetraRunFailure> failures = TakeRunFailures(&s.plugin);
        if (!failures.empty()) progress.Finish();
        for (const KinetraRunFailure& failure : failures)
            std::fprintf(stderr, "%s\n", FormatRunFailure(script, failure).c_str());
        if ((!video_ok || !audio_ok) && !warned_filter) {
            std::fprintf(stderr, "kinetra: warning: the plug-in failed on frame %d\n", f);
            warned_filter = true;
        }
        if (rendered == 0) {
            if (!output.Start(video.width, video.height, p.frame_rate(), p.colour(),
                              p.pixel_format(), p.audio_rate(), p.channels(), &error)) {
                Fail(shown, error);
                return kExitFailure;
            }
            if (!options.quiet && !output.pixel_note().empty()) {
                std::fprintf(stderr, "kinetra: note: %s\n", output.pixel_note().c_str());
            }
            if (options.verbose) {
                std::fprintf(stderr, "kinetra: decoder: %s %s %dx%d\n", p.video().decoder_name(),
                             av_get_pix_fmt_name(p.pixel_format()), p.width(), p.height());
                std::fprintf(stderr, "kinetra: encoder: %s\n", output.EncoderSummary().c_str());
            }
        }
        if (rendered == 0 && (output.width() != video.width || output.height() != video.height)) {
            std::fprintf(stderr,
                         "kinetra: the output is %dx%d: the encoder needs even sizes, so the last "
                         "%s of the %dx%d frames is left out\n",
                         output.width(), output.height(),
                         output.width() != video.width && output.height() != video.height
                             ? "column and row"
                         : output.width() != video.width ? "column"
                                                         : "row",
                         video.width, video.height);
        }
        if (!encoder) encoder.reset(new EncodeWorker(&output, kEncodeQueueFrames));
        if ((video.width != output.asked_width() || video.height != output.asked_height()) &&
            !warned_size && rendered > 0) {
            std::fprintf(stderr,
                         "kinetra: warning: frame %d is %dx%d, the output %dx%d; placed top-left\n",
                         f, video.width, video.height, output.width(), output.height());
            warned_size = true;
        }
        int32_t stride = 0;
        const PixelYC* image = FitToOutput(&s, video, output.width(), output.height(), &stride);
        ++rendered;
        int64_t total = static_cast<int64_t>(last) - options.first_frame + 1;
        progress.Update(rendered, total);
        if (options.observer &&
            !options.observer(f, image, output.width(), output.height(), stride)) {
            observer_stopped = true;
        }
        // The picture goes to the encoder by swapping its buffer for a spare one.
        PixelBuffer* picture = &s.staging;
        if (image == s.edit.data()) {
            picture = &s.edit;
        } else if (image == s.temp.data()) {
            picture = &s.temp;
        } else if (image != s.staging.data()) {
            s.staging.assign(image, image + static_cast<size_t>(stride) * output.height());
        }
        if (!encoder->Push(picture, stride, &s.audio, samples)) break;
    }
    p.StopReadAhead();
    if (encoder && !encoder->Finish(&error)) {
        progress.Finish();
        Fail(shown, error);
        return kExitFailure;
    }
    progress.Finish();
    int signal = StopSignal() != 0 ? StopSignal() : observer_stopped ? SIGINT : 0;
    if (rendered == 0) {
        output.Abandon();
        if (signal != 0) return StoppedBeforeWriting(signal);
        Fail(options.source, "no frames in the range to render");
        return kExitFailure;
    }
    // The script may have opened files that are the output under another name.
    if (OutputIsAnInput(options.output, output_path, MediaFilesOpened())) {
        output.Abandon();
        return kExitFailure;
    }
    if (signal != 0) return KeepInterrupted(&output, shown, signal, rendered);
    if (!output.Finish(&error)) {
        Fail(shown, error);
        return kExitFailure;
    }
    if (!options.quiet) {
        std::fprintf(
            stderr, "kinetra: %s\n",
            FormatSummary(rendered, progress.Elapsed(), shown, OutputBytes(output_path)).c_str());
    }
    return kExitOk;
}
