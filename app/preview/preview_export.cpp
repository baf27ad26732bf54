#include "preview/preview_export.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/paths.h"
#include "preview/preview_text.h"
#include "render/render.h"

extern char** environ;

namespace {

// The most of the render's error text kept for the page.
constexpr size_t kMaxMessage = 2000;
// A longer line of the render's standard error is taken in pieces.
constexpr size_t kMaxLine = 4096;
constexpr int kMaxExportNames = 1000;

bool Exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

// What a line of the render's standard error tells of its progress: a
// progress line ("kinetra: frame 120/300 (40%), 24.0 fps, 0:05 elapsed"),
// the closing summary ("kinetra: 300 frames in 12.5 s (24.0 fps), OUT, SIZE"),
// or neither (a note, a warning, an error).
enum class RenderLine { kOther, kProgress, kSummary };

RenderLine ReadRenderLine(const std::string& line, int64_t* done, int64_t* total) {
    long long frames = 0, of = 0;
    int percent = 0, end = -1;
    if (std::sscanf(line.c_str(), "kinetra: frame %lld/%lld (%d%%)%n", &frames, &of, &percent,
                    &end) == 3 &&
        end > 0) {
        *done = frames;
        *total = of;
        return RenderLine::kProgress;
    }
    end = -1;
    if (std::sscanf(line.c_str(), "kinetra: %lld frame%n", &frames, &end) == 1 && end > 0) {
        const char* rest = line.c_str() + end;
        if (std::strncmp(rest, "s in ", 5) == 0 || std::strncmp(rest, " in ", 4) == 0) {
            *done = frames;
            *total = frames;
            return RenderLine::kSummary;
        }
    }
    return RenderLine::kOther;
}

// The started render has the stop signals as usual (the preview blocks them
// in its threads) and its standard input and output on /dev/null.
void PrepareChild(int err_write, posix_spawn_file_actions_t* actions,
                  posix_spawnattr_t* attributes) {
    posix_spawn_file_actions_init(actions);
    posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(actions, err_write, 2);
    posix_spawnattr_init(attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(attributes, &none);
    posix_spawnattr_setsigdefault(attributes, &defaults);
    posix_spawnattr_setflags(attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

// Starts `args` (the program first) with its standard error on a pipe whose
// reading end is left in `err_fd`; false with `error`.
bool Spawn(std::vector<std::string> args, pid_t* pid, int* err_fd, std::string* error) {
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int err_pipe[2];
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        *error = std::string("cannot start the export: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    PrepareChild(err_pipe[1], &actions, &attributes);
    int code = posix_spawn(pid, args[0].c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(err_pipe[1]);
    if (code != 0) {
        close(err_pipe[0]);
        *error = args[0] + ": " + std::strerror(code);
        return false;
    }
    *err_fd = err_pipe[0];
    return true;
}

}  // namespace

const char* ExportStateName(ExportStatus::State state) {
    switch (state) {
        case ExportStatus::State::kIdle:
            return "idle";
        case ExportStatus::State::kRunning:
            return "running";
        case ExportStatus::State::kDone:
            return "done";
        case ExportStatus::State::kFailed:
            return "failed";
        case ExportStatus::State::kCancelled:
            return "cancelled";
    }
    return "idle";
}

std::string ExportPathFor(const std::string& source) {
    std::string directory = DirectoryOf(source);
    std::string name = BaseName(source);
    size_t dot = name.rfind('.');
    std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    for (int i = 1; i <= kMaxExportNames; ++i) {
        std::string candidate = directory + stem + "-kinetra" +
                                (i == 1 ? std::string() : "-" + std::to_string(i)) + ".mp4";
        if (!Exists(candidate)) return candidate;
    }
    return std::string();
}

std::vector<std::string> ExportCommandLine(const ExportRequest& request,
                                           const std::string& output) {
    std::vector<std::string> args = {request.program, "render", request.source, "-o", output, "-n"};
    if (!request.plugin.empty()) args.insert(args.end(), {"--plugin", request.plugin});
    if (request.threads > 0)
        args.insert(args.end(), {"--threads", std::to_string(request.threads)});
    for (size_t i = 0; i < request.sliders.size() && i <= sizeof kVariableSliderLetters - 1; ++i) {
        std::string value = std::to_string(request.sliders[i]);
        if (i == 0) {
            args.insert(args.end(), {"--show", value});
        } else {
            args.insert(args.end(),
                        {"--var", std::string(1, kVariableSliderLetters[i - 1]) + "=" + value});
        }
    }
    return args;
}

ExportRunner::~ExportRunner() {
    Stop();
}

ExportStatus ExportRunner::Status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

void ExportRunner::Update(const std::function<void(ExportStatus*)>& change) {
    ExportStatus copy;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        change(&status_);
        copy = status_;
    }
    if (listener_) listener_(copy);
}

bool ExportRunner::Start(const ExportRequest& request, std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (status_.state == ExportStatus::State::kRunning) {
        *error = "an export is running: " + status_.output;
        return false;
    }
    if (watcher_.joinable()) watcher_.join();
    std::string output = ExportPathFor(request.source);
    if (output.empty()) {
        *error = "no free name for the export next to " + request.source;
        return false;
    }
    pid_t pid = -1;
    int err_fd = -1;
    if (!Spawn(ExportCommandLine(request, output), &pid, &err_fd, error)) return false;
    child_ = pid;
    cancelled_ = false;
    status_ = ExportStatus{};
    status_.state = ExportStatus::State::kRunning;
    status_.output = output;
    status_.total = request.total;
    watcher_ = std::thread([this, err_fd] { Watch(err_fd); });
    return true;
}

// Follows the render's standard error to its end, then reaps the render.
void ExportRunner::Watch(int err_fd) {
    if (listener_) listener_(Status());
    std::string line, message;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(err_fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t k = 0; k < n; ++k) {
            if (buffer[k] != '\n') line += buffer[k];
            if (buffer[k] == '\n' || line.size() >= kMaxLine) {
                FollowLine(line, &message);
                line.clear();
            }
        }
    }
    close(err_fd);
    if (!line.empty()) FollowLine(line, &message);
    Finish(Reap(), std::move(message));
}

// A progress or summary line moves the status on; every other line is kept
// (the last kMaxMessage bytes at most, from a line's or a character's start)
// to say why the render failed, if it does.
void ExportRunner::FollowLine(const std::string& line, std::string* message) {
    int64_t done = 0, total = 0;
    if (ReadRenderLine(line, &done, &total) == RenderLine::kOther) {
        *message += line + "\n";
        message->erase(0, TailStart(*message, kMaxMessage));
        return;
    }
    Update([done, total](ExportStatus* s) {
        s->done = std::max(s->done, done);
        s->total = std::max({s->total, total, s->done});
    });
}

// Waits for the render's end without reaping it, so that Stop never signals
// a process id that was already given back; then reaps it under the lock.
// Returns its wait status.
int ExportRunner::Reap() {
    pid_t pid;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pid = child_;
    }
    siginfo_t info;
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    int status = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    child_ = -1;
    return status;
}

void ExportRunner::Finish(int status, std::string message) {
    bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    Update([&](ExportStatus* s) {
        s->state = ok ? ExportStatus::State::kDone : ExportStatus::State::kFailed;
        if (!ok && cancelled_) {
            s->state = ExportStatus::State::kCancelled;
        } else if (!ok) {
            s->message = !message.empty() ? message
                         : WIFSIGNALED(status)
                             ? "the render stopped on signal " + std::to_string(WTERMSIG(status))
                             : "the render failed";
        }
    });
}

bool ExportRunner::Cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (status_.state != ExportStatus::State::kRunning || child_ <= 0) return false;
    cancelled_ = true;
    kill(child_, SIGINT);
    return true;
}

void ExportRunner::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (child_ > 0) kill(child_, SIGINT);
    }
    if (watcher_.joinable()) watcher_.join();
}
