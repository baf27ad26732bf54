// The progress line on standard error while rendering: frames done and
// total, frames per second and the time left. Drawn only on a terminal.
#pragma once

#include <chrono>
#include <cstdint>

class ProgressBar {
  public:
    // Shown when `enabled` and standard error is a terminal.
    explicit ProgressBar(bool enabled);
    // Redraws (at most ten times a second, and always for the last frame).
    void Update(int64_t done, int64_t total);
    // Ends the line.
    void Finish();

  private:
    bool shown_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
};

// The text of the line, e.g. " 40% [########            ]  12/30 frames  24.0 fps  0:01 left".
void FormatProgress(int64_t done, int64_t total, double seconds, char* out, int capacity);
