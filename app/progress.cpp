#include "progress.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr int kBarWidth = 24;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

}  // namespace

void FormatProgress(int64_t done, int64_t total, double seconds, char* out, int capacity) {
    if (total < 1) total = 1;
    if (done > total) done = total;
    int percent = static_cast<int>(done * 100 / total);
    char bar[kBarWidth + 1];
    int filled = static_cast<int>(done * kBarWidth / total);
    for (int i = 0; i < kBarWidth; ++i)
        bar[i] = i < filled ? '#' : ' ';
    bar[kBarWidth] = '\0';
    double fps = seconds > 0 ? done / seconds : 0.0;
    char left[32] = "--:--";
    if (fps > 0) {
        long remaining = static_cast<long>((total - done) / fps + 0.5);
        std::snprintf(left, sizeof left, "%ld:%02ld", remaining / 60, remaining % 60);
    }
    std::snprintf(out, capacity, "%3d%% [%s] %lld/%lld frames  %.1f fps  %s left", percent, bar,
                  static_cast<long long>(done), static_cast<long long>(total), fps, left);
}

ProgressBar::ProgressBar(bool enabled)
    : shown_(enabled && isatty(STDERR_FILENO)),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

void ProgressBar::Update(int64_t done, int64_t total) {
    if (!shown_) return;
    auto now = std::chrono::steady_clock::now();
    if (drawn_ && done < total && now - last_draw_ < kRedrawInterval) return;
    last_draw_ = now;
    char line[160];
    FormatProgress(done, total, std::chrono::duration<double>(now - start_).count(), line,
                   sizeof line);
    std::fprintf(stderr, "\r%s\033[K", line);
    std::fflush(stderr);
    drawn_ = true;
}

void ProgressBar::Finish() {
    if (shown_ && drawn_) std::fputc('\n', stderr);
    drawn_ = false;
}
