// Helpers for the script tests: parsing a script text with the loader's own
// steps, and running the plug-in's process entry in this process (from
// kinetra_core) so that its line table and variables can be read directly.
#pragma once

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "host/buffers.h"
#include "host/plugin.h"
#include "platform/platform.h"
#include "script/loader.h"
#include "script/script.h"
#include "support/test_host.h"

namespace scripttest {

// The pieces a script text is read as.
inline std::vector<std::string> ReadPieces(const std::string& text) {
    std::vector<std::string> pieces;
    std::FILE* file = std::tmpfile();
    if (file == nullptr) return pieces;
    std::fwrite(text.data(), 1, text.size(), file);
    std::rewind(file);
    char piece[kScriptTextSize];
    while (ReadScriptPiece(file, piece)) {
        pieces.emplace_back(piece);
    }
    std::fclose(file);
    return pieces;
}

// The records a script text makes, as parsed, with the jumps that the stored
// table resolves for them.
inline std::vector<ParsedLine> ParseText(const std::string& text, int32_t frame_count = 100,
                                         HostServices* services = nullptr) {
    ParseContext context;
    BeginParse(&context, frame_count, services, nullptr);
    std::vector<ParsedLine> lines;
    ParsedLine record;
    for (const std::string& piece : ReadPieces(text)) {
        std::memset(&record, 0, sizeof record);
        if (ParseScriptLine(piece.c_str(), &context, &record)) lines.push_back(record);
    }
    std::vector<ScriptLine> stored(lines.size() + 1);
    ScriptTable table{stored.data(), 0, nullptr};
    for (const ParsedLine& line : lines)
        StoreScriptLine(&table, line);
    ResolveJumps(&table);
    for (int32_t i = 0; i < table.count; ++i)
        lines[size_t(i)].jump = table.lines[i].jump;
    table.lines = nullptr;  // owned by `stored`
    FreeScriptTable(&table);
    return lines;
}

// Steps the clock of the plug-in in this process to its next second, so that
// the next call looks at the script file again. The clock stays there until
// the next step (or until an InProcessPlugin is made or destroyed).
inline void NextClockSecond() {
    if (platform::g_clock_override == 0) platform::g_clock_override = std::time(nullptr);
    ++platform::g_clock_override;
}

// The plug-in's process entry driven in this process with the services of a
// test host (which also provides the project directory). Every instance
// starts from a clean plug-in state: no script, no buffers, variables 0.
class InProcessPlugin {
  public:
    explicit InProcessPlugin(testhost::TestHost* host) : host_(host) {
        Reset();
        std::memset(&video_, 0, sizeof video_);
        std::memset(&audio_, 0, sizeof audio_);
        video_.flags = KINETRA_FLAG_HOST_DEFAULT;
        audio_.flags = KINETRA_FLAG_HOST_DEFAULT | KINETRA_FLAG_AUDIO;
        for (FilterTable* filter : {&video_, &audio_}) {
            filter->track_values = host->tracks;
            filter->services = host->video()->services;
        }
    }
    ~InProcessPlugin() { Reset(); }
    InProcessPlugin(const InProcessPlugin&) = delete;
    InProcessPlugin& operator=(const InProcessPlugin&) = delete;

    int32_t RunVideo(int32_t f) {
        testhost::Picture picture = host_->ProjectFrame(f);
        edit_ = picture.pixels;
        temp_ = picture.pixels;
        Prepare(f);
        info_.edit_pixels = edit_.data();
        info_.temp_pixels = temp_.data();
        int32_t result = FilterProcess(&video_, &info_);
        if (info_.edit_pixels == temp_.data()) std::swap(edit_, temp_);
        return result;
    }
    int32_t RunAudio(int32_t f) {
        block_ = host_->ProjectAudio(f);
        Prepare(f);
        info_.audio_samples = block_.data();
        info_.sample_count = host_->samples_per_frame;
        info_.channel_count = host_->channels;
        return FilterProcess(&audio_, &info_);
    }
    // Loads the script as a video call would, without running it.
    void Load(int32_t f = 0) {
        Prepare(f);
        LoadScript(&video_, &info_);
    }

    FilterTable* video() { return &video_; }
    // The picture the last video call gave the host.
    const std::vector<PixelYC>& output() const { return edit_; }
    FrameInfo* info() { return &info_; }

    // The visible size each call reports (max_w x max_h when 0).
    int32_t width = 0;
    int32_t height = 0;

  private:
    // What the host's exit frees, and the variables and clock besides.
    static void Reset() {
        ReleaseVideoCommandState();
        FreeScript();
        ReleaseBuffers();
        platform::g_clock_override = 0;
        std::memset(g_user_variables, 0, sizeof g_user_variables);
        std::memset(g_system_variables, 0, sizeof g_system_variables);
    }
    void Prepare(int32_t f) {
        std::memset(&info_, 0, sizeof info_);
        info_.width = width != 0 ? width : host_->max_w;
        info_.height = height != 0 ? height : host_->max_h;
        info_.max_w = host_->max_w;
        info_.max_h = host_->max_h;
        info_.frame = f;
        info_.frame_count = host_->frame_count;
        info_.edit_handle = host_;
    }

    testhost::TestHost* host_;
    FilterTable video_;
    FilterTable audio_;
    FrameInfo info_;
    std::vector<PixelYC> edit_, temp_;
    std::vector<int16_t> block_;
};

// User variable by letter.
inline double User(char letter) {
    return g_user_variables[letter - 'A'];
}

}  // namespace scripttest
