#include "render/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kBarWidth = 24;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr auto kLineInterval = std::chrono::seconds(10);
constexpr int64_t kLinePercentStep = 5;

std::string Clock(double seconds) {
    long s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s >= 3600) {
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    }
    return text;
}

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

std::string FormatProgressLine(int64_t done, int64_t total, double seconds) {
    if (total < 1) total = 1;
    char text[160];
    std::snprintf(text, sizeof text, "frame %lld/%lld (%d%%), %.1f fps, %s elapsed",
                  static_cast<long long>(done), static_cast<long long>(total),
                  static_cast<int>(std::min(done, total) * 100 / total),
                  seconds > 0 ? done / seconds : 0.0, Clock(seconds).c_str());
    return text;
}

std::string FormatSize(int64_t bytes) {
    char text[32];
    if (bytes < 1000) {
        std::snprintf(text, sizeof text, "%lld bytes", static_cast<long long>(bytes));
    } else if (bytes < 1000 * 1000) {
        std::snprintf(text, sizeof text, "%.1f kB", bytes / 1e3);
    } else if (bytes < 1000LL * 1000 * 1000) {
        std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
    } else {
        std::snprintf(text, sizeof text, "%.1f GB", bytes / 1e9);
    }
    return text;
}

std::string FormatSummary(int64_t frames, double seconds, const std::string& output,
                          int64_t bytes) {
    char time[32];
    if (seconds < 60) {
        std::snprintf(time, sizeof time, "%.1f s", seconds);
    } else {
        std::snprintf(time, sizeof time, "%s", Clock(seconds).c_str());
    }
    char text[128];
    std::snprintf(text, sizeof text, "%lld frame%s in %s (%.1f fps), ",
                  static_cast<long long>(frames), frames == 1 ? "" : "s", time,
                  seconds > 0 ? frames / seconds : 0.0);
    std::string line = text + output;
    if (bytes >= 0) line += ", " + FormatSize(bytes);
    return line;
}

ProgressBar::ProgressBar(bool enabled) : ProgressBar(enabled, isatty(STDERR_FILENO) != 0) {}

ProgressBar::ProgressBar(bool enabled, bool terminal)
    : shown_(enabled),
      terminal_(terminal),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

double ProgressBar::Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void ProgressBar::Update(int64_t done, int64_t total) {
    if (!shown_) return;
    auto now = std::chrono::steady_clock::now();
    double seconds = std::chrono::duration<double>(now - start_).count();
    if (!terminal_) {
        int64_t percent = total > 0 ? done * 100 / total : 100;
        bool step = percent >= next_percent_ && done < total;
        if (!step && now - last_draw_ < kLineInterval) return;
        if (done >= total) return;  // the summary line follows
        next_percent_ = (percent / kLinePercentStep + 1) * kLinePercentStep;
        last_draw_ = now;
        std::fprintf(stderr, "kinetra: %s\n", FormatProgressLine(done, total, seconds).c_str());
        return;
    }
    if (drawn_ && done < total && now - last_draw_ < kRedrawInterval) return;
    last_draw_ = now;
    char line[160];
    FormatProgress(done, total, seconds, line, sizeof line);
    std::fprintf(stderr, "\r%s\033[K", line);
    std::fflush(stderr);
    drawn_ = true;
}

void ProgressBar::Finish() {
    if (shown_ && terminal_ && drawn_) std::fputc('\n', stderr);
    drawn_ = false;
}
