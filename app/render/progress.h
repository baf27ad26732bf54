// Progress on standard error while rendering. On a terminal: a bar redrawn
// in place (frames done and total, frames per second, time left). Elsewhere
// (a log, a pipe): one line per 5 % of the frames or per 10 seconds,
// whichever comes first. A summary line closes every render.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

class ProgressBar {
  public:
    // Shown when `enabled`; a bar when standard error is a terminal.
    explicit ProgressBar(bool enabled);
    ProgressBar(bool enabled, bool terminal);
    // Redraws the bar (at most ten times a second, and always for the last
    // frame) or prints a line when one is due.
    void Update(int64_t done, int64_t total);
    // Ends the bar's line.
    void Finish();
    // Seconds since the progress began.
    double Elapsed() const;

  private:
    bool shown_;
    bool terminal_;
    bool drawn_ = false;
    int64_t next_percent_ = 5;  // lines: the next multiple of 5 % to report
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
};

// The text of the bar, e.g. " 40% [########            ]  12/30 frames  24.0 fps  0:01 left".
void FormatProgress(int64_t done, int64_t total, double seconds, char* out, int capacity);

// A progress line for logs: "frame 120/300 (40%), 24.0 fps, 0:05 elapsed".
std::string FormatProgressLine(int64_t done, int64_t total, double seconds);

// The closing line: "300 frames in 12.5 s (24.0 fps), out.mp4 12.3 MB".
// `bytes` < 0 leaves the size out.
std::string FormatSummary(int64_t frames, double seconds, const std::string& output, int64_t bytes);

// "512 bytes", "12.3 kB", "4.5 MB", "1.2 GB".
std::string FormatSize(int64_t bytes);
