// Fuzz target: the script loader on any file, through the plug-in's own load
// step (file reading, line grammar, sections, jump resolution).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kinetra/plugin_abi.h"
#include "script/script.h"

namespace {

std::string g_directory;
std::string g_source;
int32_t g_longest = 0;

int32_t QuerySource(void*, SourceInfo* info) {
    std::memset(info, 0, sizeof *info);
    info->path = g_source.c_str();
    info->audio_rate = 48000;
    return 1;
}

int32_t SetTimelineLength(void*, int32_t frames) {
    if (frames > g_longest) g_longest = frames;
    return 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/kinetra-loader-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    g_directory = pattern;
    g_source = g_directory + "/source.avi";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_directory.empty()) LLVMFuzzerInitialize(nullptr, nullptr);
    std::string script = g_directory + "/kinetra.txt";
    std::FILE* file = std::fopen(script.c_str(), "wb");
    if (file == nullptr) std::abort();
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    HostServices services;
    std::memset(&services, 0, sizeof services);
    services.query_source_file = QuerySource;
    services.set_timeline_length = SetTimelineLength;
    FilterTable filter;
    std::memset(&filter, 0, sizeof filter);
    filter.services = &services;
    FrameInfo frame;
    std::memset(&frame, 0, sizeof frame);
    frame.frame_count = 100;

    FreeScript();  // forget the last look, so that the file is read now
    LoadScript(&filter, &frame);
    // Every stored line comes from a line of the file, and every jump lands
    // on a stored line or nowhere.
    int64_t line_feeds = 1;
    for (size_t i = 0; i < size; ++i)
        line_feeds += data[i] == '\n';
    if (g_script.count < 0 || g_script.count > line_feeds + int64_t(size / 511) + 1) std::abort();
    for (int32_t i = 0; i < g_script.count; ++i) {
        const ScriptLine& line = g_script.lines[i];
        if (line.jump < -1 || line.jump >= g_script.count) {
            bool jumps =
                std::strcmp(line.command, "if") == 0 || std::strcmp(line.command, "goto") == 0;
            if (jumps) std::abort();
        }
    }
    FreeScript();
    return 0;
}
