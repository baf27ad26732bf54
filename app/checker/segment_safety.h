// Whether a range of frames renders on its own exactly as it would inside a
// whole render, and if not, from which earlier frame a warm-up (both filters
// run without encoding) makes it exact. A script carries state from frame to
// frame through the user variables A-Z and k l o q r t (never reset, shared by
// both filters), the one random generator (rand(, a_noise), the diffuse
// seed (the count of its runs so far), image buffers 2-9 and audio buffers
// 1-9, the tone and voice-change phase (reset at its section's first frame),
// the font style, and the output size (dispsize at the project's first
// frame). The analysis reads the script with the plug-in's own loader and is
// static and conservative: what it cannot prove starts the warm-up at 0.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

// One thing that carries from frame to frame. A range starting at frame A
// with from < A <= until warms up from `from`; outside that span the thing
// is the same in a range as in a whole render.
struct StateCarrier {
    int32_t line = 0;  // the first line of the file that makes or uses it
    std::string what;  // "variable A is set on line 3 and read on line 5", ...
    int32_t from = 0;
    int32_t until = INT32_MAX;
};

struct SegmentSafety {
    std::vector<StateCarrier> carriers;  // in the order of the file

    bool safe() const { return carriers.empty(); }
    // The frame a render of frames first.. starts its filters on.
    int32_t WarmUpFrom(int32_t first) const;
};

// Analyses `text` (a script) for a project of `frame_count` frames (-1:
// unknown; sections ending at a frame number then cover only up to it).
// `broken_file_lines` are lines whose files cannot be read: their loads
// prove nothing.
SegmentSafety AnalyseSegments(const std::string& text, int32_t frame_count,
                              const std::set<int32_t>& broken_file_lines = {});

// What `kinetra check` prints: one "PATH:LINE: state: ..." line per carrier,
// then "PATH: segment-safe: ..." or "PATH: not segment-safe: ...".
std::vector<std::string> FormatSegmentSafety(const std::string& path, const SegmentSafety& safety);
