#include "farm/join.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

extern "C" {
#include <libavformat/avformat.h>
}

#include "base/exit_status.h"
#include "base/ffmpeg_util.h"
#include "base/paths.h"
#include "farm/run_program.h"
#include "output/output_safety.h"

namespace {

bool Exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

// The concat demuxer's list: each segment with its exact duration, so that
// the joined time stamps run on without gaps or overlaps.
bool WriteConcatList(const FarmPlan& plan, int32_t source, const std::string& path) {
    const FarmSource& s = plan.sources[size_t(source)];
    std::ofstream list(path);
    list << "ffconcat version 1.0\n";
    for (const FarmSegment& segment : plan.segments) {
        if (segment.source != source) continue;
        double seconds =
            double(segment.last - segment.first + 1) * s.frame_rate.den / s.frame_rate.num;
        char duration[64];
        std::snprintf(duration, sizeof duration, "%.9f", seconds);
        list << "file " << ShellQuote(segment.file) << "\nduration " << duration << "\n";
    }
    return bool(list.flush());
}

// The ffmpeg command that joins into `temporary` (of the container `format`).
std::vector<std::string> JoinCommand(const FarmPlan& plan, int32_t source, const std::string& list,
                                     const std::string& format, const std::string& temporary) {
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
                                     "-f",     "concat",   "-safe",        "0",         "-i",
                                     list,     "-map",     "0:v:0",        "-c:v",      "copy"};
    if (plan.sources[size_t(source)].audio_rate > 0) {
        args.insert(args.end(), {"-map", "0:a:0", "-c:a", plan.audio_codec});
        if (!plan.audio_bitrate.empty()) args.insert(args.end(), {"-b:a", plan.audio_bitrate});
    }
    args.insert(args.end(), {"-f", format, temporary});
    return args;
}

// Joins the segments of one source into `output`.
bool JoinSource(const FarmPlan& plan, int32_t source, const std::string& output,
                std::string* error) {
    const AVOutputFormat* container = av_guess_format(nullptr, output.c_str(), nullptr);
    if (container == nullptr) {
        *error = "no container is known for this name; use .mp4, .mov or .mkv";
        return false;
    }
    std::string list = plan.job + "/join-" + std::to_string(source) + ".ffconcat";
    if (!WriteConcatList(plan, source, list)) {
        *error = "cannot write " + list;
        return false;
    }
    std::string temporary = TemporaryName(output, long(getpid()));
    int status =
        RunProgram(JoinCommand(plan, source, list, container->name, temporary), nullptr, error);
    SegmentCounts joined;
    if (status == 0 && !CountSegment(temporary, &joined, error)) status = 1;
    const FarmSource& s = plan.sources[size_t(source)];
    if (status == 0 && joined.frames != s.frames) {
        *error = "the joined file has " + std::to_string(joined.frames) + " frames, not " +
                 std::to_string(s.frames);
        status = 1;
    }
    if (status != 0 || std::rename(temporary.c_str(), output.c_str()) != 0) {
        if (error->empty())
            *error = "ffmpeg failed joining the segments (status " + std::to_string(status) + ")";
        std::remove(temporary.c_str());
        return false;
    }
    std::remove(list.c_str());
    return true;
}

}  // namespace

bool CountSegment(const std::string& path, SegmentCounts* counts, std::string* error) {
    InputPtr input = OpenInput(path, error);
    if (!input) return false;
    int video = FindStream(input.get(), AVMEDIA_TYPE_VIDEO);
    int audio = FindStream(input.get(), AVMEDIA_TYPE_AUDIO);
    if (video < 0) {
        *error = "it has no video stream";
        return false;
    }
    const AVCodecParameters* sound = audio >= 0 ? input->streams[audio]->codecpar : nullptr;
    int bytes = sound != nullptr ? av_get_bits_per_sample(sound->codec_id) / 8 : 0;
    int channels = sound != nullptr ? sound->ch_layout.nb_channels : 0;
    AVPacket* packet = av_packet_alloc();
    *counts = SegmentCounts();
    while (av_read_frame(input.get(), packet) >= 0) {
        if (packet->stream_index == video) ++counts->frames;
        if (packet->stream_index == audio && bytes > 0 && channels > 0)
            counts->samples += packet->size / (bytes * channels);
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    return true;
}

std::string FindChangedFile(const FarmPlan& plan) {
    for (const auto& hashed : plan.hashes) {
        std::string error;
        std::string now = HashFile(hashed.first, &error);
        if (now.empty())
            return hashed.first + ": " + error + "; the segments were rendered from it";
        if (now != hashed.second)
            return hashed.first + ": changed since the segments were planned (its hash differs)";
    }
    return "";
}

std::string FindWrongSegment(const FarmPlan& plan, int32_t source) {
    for (const FarmSegment& segment : plan.segments) {
        if (segment.source != source) continue;
        std::string range =
            " (frames " + std::to_string(segment.first) + ".." + std::to_string(segment.last) + ")";
        if (!Exists(segment.file)) return segment.file + ": missing" + range;
        SegmentCounts counts;
        std::string error;
        if (!CountSegment(segment.file, &counts, &error)) return segment.file + ": " + error;
        int64_t frames = segment.last - segment.first + 1;
        if (counts.frames != frames) {
            return segment.file + ": holds " + std::to_string(counts.frames) + " frames, not " +
                   std::to_string(frames) + range;
        }
        if (counts.samples != segment.samples) {
            return segment.file + ": holds " + std::to_string(counts.samples) +
                   " sample frames of sound, not " + std::to_string(segment.samples) + range;
        }
    }
    return "";
}

int RunJoin(const JoinOptions& options) {
    QuietFfmpegLog();
    FarmPlan plan;
    std::string error;
    if (!ReadPlan(options.plan, &plan, &error)) {
        std::fprintf(stderr, "kinetra: %s: %s\n", options.plan.c_str(), error.c_str());
        return kExitFailure;
    }
    if (!options.output.empty() && plan.sources.size() != 1) {
        std::fprintf(stderr, "kinetra: %s: the plan has %zu sources; -o names one output\n",
                     options.plan.c_str(), plan.sources.size());
        return kExitUsage;
    }
    std::string changed = FindChangedFile(plan);
    if (!changed.empty()) {
        std::fprintf(stderr, "kinetra: %s; nothing was written\n", changed.c_str());
        return kExitFailure;
    }
    int status = kExitOk;
    for (size_t i = 0; i < plan.sources.size(); ++i) {
        std::string output =
            options.output.empty() ? plan.sources[i].output : AbsolutePath(options.output);
        std::string wrong = FindWrongSegment(plan, int32_t(i));
        if (!wrong.empty()) {
            std::fprintf(stderr, "kinetra: %s; %s was not written\n", wrong.c_str(),
                         output.c_str());
            status = kExitFailure;
            continue;
        }
        if (!MayReplace(FilesReplacedBy(output, 1), options.overwrite, isatty(STDIN_FILENO) != 0,
                        stdin, stderr, &error) ||
            !JoinSource(plan, int32_t(i), output, &error)) {
            std::fprintf(stderr, "kinetra: %s: %s\n", output.c_str(), error.c_str());
            status = kExitFailure;
            continue;
        }
        if (!options.quiet) std::fprintf(stderr, "kinetra: joined %s\n", output.c_str());
    }
    return status;
}
