#include "preview/preview_export.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/paths.h"
#include "render/render.h"

extern char** environ;

namespace {

// The most of the render's error text kept for the page.
constexpr size_t kMaxMessage = 2000;
constexpr int kMaxExportNames = 1000;

bool Exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
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
    std::string sliders;
    for (size_t i = 0; i < request.sliders.size(); ++i)
        sliders += (i > 0 ? "," : "") + std::to_string(request.sliders[i]);
    std::vector<std::string> args = {request.program,
                                     "preview",
                                     request.source,
                                     "--export-job",
                                     output,
                                     "--sliders",
                                     sliders,
                                     "--plugin",
                                     request.plugin,
                                     "--threads",
                                     std::to_string(request.threads)};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) {
        *error = std::string("cannot start the export: ") + std::strerror(errno);
        return false;
    }
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        *error = std::string("cannot start the export: ") + std::strerror(errno);
        close(out_pipe[0]);
        close(out_pipe[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    // The preview blocks the stop signals in its threads; the render must
    // see them as usual.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    int code =
        posix_spawn(&pid, request.program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (code != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        *error = request.program + ": " + std::strerror(code);
        return false;
    }
    child_ = pid;
    status_ = ExportStatus{};
    status_.state = ExportStatus::State::kRunning;
    status_.output = output;
    status_.total = request.total;
    int out_fd = out_pipe[0], err_fd = err_pipe[0];
    watcher_ = std::thread([this, out_fd, err_fd] { Watch(out_fd, err_fd); });
    return true;
}

void ExportRunner::Watch(int out_fd, int err_fd) {
    if (listener_) listener_(Status());
    std::string line, message;
    struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    int open_count = 2;
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
                continue;
            }
            if (i == 1) {
                message.append(buffer, static_cast<size_t>(n));
                if (message.size() > kMaxMessage) message.erase(0, message.size() - kMaxMessage);
                continue;
            }
            int64_t frames = -1;
            for (ssize_t k = 0; k < n; ++k) {
                if (buffer[k] != '\n') {
                    line += buffer[k];
                    continue;
                }
                long long f = 0;
                if (std::sscanf(line.c_str(), "frame %lld", &f) == 1) frames = f + 1;
                line.clear();
            }
            if (frames >= 0) {
                Update([frames](ExportStatus* s) {
                    s->done = std::max(s->done, frames);
                    s->total = std::max(s->total, s->done);
                });
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    pid_t pid;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pid = child_;
    }
    // Wait for the end without reaping, so that Stop never signals a process
    // id that was already given back; then reap under the lock.
    siginfo_t info;
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    int status = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        child_ = -1;
    }
    bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    Update([&](ExportStatus* s) {
        s->state = ok ? ExportStatus::State::kDone : ExportStatus::State::kFailed;
        if (!ok) {
            s->message = !message.empty() ? message
                         : WIFSIGNALED(status)
                             ? "the render stopped on signal " + std::to_string(WTERMSIG(status))
                             : "the render failed";
        }
    });
}

void ExportRunner::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (child_ > 0) kill(child_, SIGINT);
    }
    if (watcher_.joinable()) watcher_.join();
}

int RunExportJob(const PreviewOptions& options) {
    RenderOptions render;
    render.source = options.source;
    render.output = options.export_output;
    render.plugin = options.plugin;
    render.threads = options.threads;
    render.quiet = true;
    // The name was chosen free; a file that appeared since is never replaced.
    render.overwrite = Overwrite::kNo;
    for (size_t i = 0; i < options.export_sliders.size(); ++i)
        render.sliders.push_back({static_cast<int32_t>(i), options.export_sliders[i]});
    render.observer = [](int32_t frame, const PixelYC*, int32_t, int32_t, int32_t) {
        std::printf("frame %d\n", frame);
        std::fflush(stdout);
        return true;
    };
    return RunRender(render);
}
