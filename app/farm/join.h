// `kinetra join PLAN -o OUT`: checks every segment of a farm job against its
// plan (each segment's frame and sample counts, and the hashes of the files
// that decided them) and joins them: the pictures by stream copy through
// FFmpeg's concat demuxer (a `duration` line per segment), the sound encoded
// once here from the segments' PCM (or copied, for --lossless). OUT is
// written under a temporary name and renamed when complete; a missing or
// wrong segment is named and nothing is written.
#pragma once

#include <cstdint>
#include <string>

#include "farm/plan.h"
#include "output/overwrite.h"

struct JoinOptions {
    std::string plan;    // the job's plan.json
    std::string output;  // empty: as the plan says (every source's output)
    Overwrite overwrite = Overwrite::kAsk;
    bool quiet = false;
};

// What a segment file holds: its video frames and its sound's sample frames.
struct SegmentCounts {
    int64_t frames = 0;
    int64_t samples = 0;
};
// Counts a file's video packets and PCM samples; false with `error`.
bool CountSegment(const std::string& path, SegmentCounts* counts, std::string* error);

// The first file the plan's hashes name that is gone or changed, as one line
// naming it; empty when all are as planned.
std::string FindChangedFile(const FarmPlan& plan);
// The first of the plan's segments of source `source` that is missing or
// holds other frame or sample counts, as one line naming it; empty when all
// are as planned.
std::string FindWrongSegment(const FarmPlan& plan, int32_t source);

int RunJoin(const JoinOptions& options);
