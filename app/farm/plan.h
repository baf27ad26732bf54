// A render farm's plan: one long render cut into segments that machines
// render on their own (each a `kinetra render --frames A-B`, which warms up
// from the frame the script's analysis gives) and that `kinetra join` puts
// back together. The plan lies in the job folder as plan.json, beside the
// segment script and the join script; it records what the segments must
// match (the project's length and frame rate, each segment's frame and
// sample count) and the hashes of every file that decides the pictures and
// sound (the source, its script, the plug-in and every media file the script
// names), so that a join refuses segments rendered from other files.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/rational.h>
}

// One source of the job and the project it makes.
struct FarmSource {
    std::string path;    // absolute
    std::string output;  // absolute: where the joined render goes
    int32_t frames = 0;  // the project's length, sections' lengthening included
    AVRational frame_rate{0, 1};
    int32_t audio_rate = 0;  // 0: the output has no sound
    int32_t channels = 0;
};

// Frames first..last of one source, rendered by one task into `file`.
struct FarmSegment {
    int32_t source = 0;  // index into FarmPlan::sources
    int32_t task = 0;
    int32_t first = 0, last = 0;
    int64_t samples = 0;  // sample frames of its sound (tiled exactly per frame)
    std::string file;     // absolute
};

struct FarmPlan {
    std::string job;      // the job folder, absolute
    std::string program;  // the kinetra program the tasks run
    std::string plugin;   // the plug-in, absolute
    bool lossless = false;
    std::string audio_codec;               // the join's sound: "copy" or an encoder name
    std::string audio_bitrate;             // empty: the encoder's default
    std::vector<std::string> render_args;  // passed to every segment's render
    std::vector<FarmSource> sources;
    std::vector<FarmSegment> segments;  // by source, then frame
    int32_t tasks = 0;
    std::map<std::string, std::string> hashes;  // absolute path -> SHA-256 (hex)
};

// Cuts the sources into about `segments` tasks of the same work: a source of
// one task's share or more into segments of its own task each (one source
// alone: exactly `segments`), shorter sources whole, several to a task until
// the task has its share. Each segment's file is in the job folder.
void CutIntoSegments(FarmPlan* plan, int32_t segments);

// SHA-256 of a file's bytes as hex; empty with `error` when unreadable.
std::string HashFile(const std::string& path, std::string* error);

bool WritePlan(const FarmPlan& plan, const std::string& path, std::string* error);
bool ReadPlan(const std::string& path, FarmPlan* plan, std::string* error);
