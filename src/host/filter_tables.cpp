// The two filters the plug-in registers with the host, its one export for
// the editor, and the run-time failure reports other hosts look up by name.
#include <cstring>

#include "host/plugin.h"
#include "script/run_failures.h"

namespace {

constexpr int32_t kFilterCount = 2;

// Slider names in Shift-JIS: "表示Buf" and "変数a" .. "変数z".
const char* const kTrackNames[KINETRA_TRACK_COUNT] = {
    "\x95\x5C\x8E\xA6"
    "Buf",
    "\x95\xCF\x90\x94"
    "a",
    "\x95\xCF\x90\x94"
    "b",
    "\x95\xCF\x90\x94"
    "c",
    "\x95\xCF\x90\x94"
    "d",
    "\x95\xCF\x90\x94"
    "u",
    "\x95\xCF\x90\x94"
    "v",
    "\x95\xCF\x90\x94"
    "x",
    "\x95\xCF\x90\x94"
    "y",
    "\x95\xCF\x90\x94"
    "z",
};
const int32_t kTrackDefaults[KINETRA_TRACK_COUNT] = {0, 0, 0, 0, 0, 0, 0, 2048, 2048, 2048};
const int32_t kTrackMinimums[KINETRA_TRACK_COUNT] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const int32_t kTrackMaximums[KINETRA_TRACK_COUNT] = {9,    4096, 4096, 4096, 4096,
                                                     4096, 4096, 4096, 4096, 4096};

FilterTable g_video_filter;
FilterTable g_audio_filter;
FilterTable* g_filter_list[kFilterCount + 1];

FilterTable MakeTemplate() {
    FilterTable t;
    std::memset(&t, 0, sizeof t);
    t.flags = 0;
    t.name = nullptr;
    t.track_count = KINETRA_TRACK_COUNT;
    t.track_names = kTrackNames;
    t.track_defaults = kTrackDefaults;
    t.track_minimums = kTrackMinimums;
    t.track_maximums = kTrackMaximums;
    t.process = FilterProcess;
    t.init = FilterInit;
    t.exit = FilterExit;
    t.info_text = "Kinetra";
    return t;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) FilterTable** GetFilterTableList(void) {
    const FilterTable base = MakeTemplate();
    g_video_filter = base;
    g_audio_filter = base;
    g_video_filter.flags = KINETRA_FLAG_HOST_DEFAULT;
    g_video_filter.name = "Kinetra[Video]";
    g_video_filter.info_text = "Kinetra[Video] ver1.4";
    g_audio_filter.flags = KINETRA_FLAG_HOST_DEFAULT | KINETRA_FLAG_AUDIO;
    g_audio_filter.name = "Kinetra[Audio]";
    g_audio_filter.info_text = "Kinetra[Audio] ver1.4";
    g_filter_list[0] = &g_video_filter;
    g_filter_list[1] = &g_audio_filter;
    g_filter_list[2] = nullptr;
    return g_filter_list;
}

// Reports of run-time failures of script lines, for the Linux host, which
// looks this up by name; see KinetraRunFailure in the interface header.
extern "C" __attribute__((visibility("default"))) int32_t KinetraTakeRunFailures(
    KinetraRunFailure* out, int32_t capacity) {
    return TakeRunFailures(out, capacity);
}
