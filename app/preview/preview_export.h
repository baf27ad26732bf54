// The preview's export: the project rendered to a file next to the source
// with the render command's defaults and the preview's slider positions.
// The export is a `kinetra render` of its own, started as a separate
// process with the command line a user would type, so that the preview
// stays responsive, its plug-in state is untouched, and a failure of the
// render cannot take the preview down. Its progress is read from the lines
// the render prints on standard error when that is not a terminal.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ExportStatus {
    // kCancelled: stopped by Cancel; the frames done, if any, are kept as the
    // render keeps them on Ctrl-C (`output` with .partial before its extension).
    enum class State { kIdle, kRunning, kDone, kFailed, kCancelled };
    State state = State::kIdle;
    std::string output;   // the file being written
    int64_t done = 0;     // frames written
    int64_t total = 0;    // frames of the project
    std::string message;  // why it failed
};

const char* ExportStateName(ExportStatus::State state);

struct ExportRequest {
    std::string program;  // the kinetra program
    std::string source;
    std::string plugin;
    int32_t threads = 0;           // 0: the machine's cores
    std::vector<int32_t> sliders;  // slider 0 (display buffer), then the variables a .. z
    int64_t total = 0;
};

// The first free name of the form DIR/STEM-kinetra.mp4, DIR/STEM-kinetra-2.mp4, ...
// next to `source`; empty when there is none.
std::string ExportPathFor(const std::string& source);

// The render command that writes the export to `output`, program first:
// PROGRAM render SOURCE -o OUTPUT -n --plugin P [--threads N] --show V
// --var a=V ... --var z=V. The name was chosen free, so a file that appeared
// since is never replaced (-n).
std::vector<std::string> ExportCommandLine(const ExportRequest& request, const std::string& output);

class ExportRunner {
  public:
    // Told of every change of the status (on the runner's thread).
    using Listener = std::function<void(const ExportStatus&)>;

    explicit ExportRunner(Listener listener) : listener_(std::move(listener)) {}
    ~ExportRunner();
    ExportRunner(const ExportRunner&) = delete;
    ExportRunner& operator=(const ExportRunner&) = delete;

    // Starts an export; false with `error` when one is running or the
    // process cannot be started.
    bool Start(const ExportRequest& request, std::string* error);
    ExportStatus Status() const;
    // Asks a running export to stop as Ctrl-C stops a render (it keeps the
    // frames done); does not wait. False when none is running.
    bool Cancel();
    // Interrupts a running export (the render keeps what it wrote under its
    // partial name) and waits for it.
    void Stop();

  private:
    void Watch(int err_fd);
    void FollowLine(const std::string& line, std::string* message);
    int Reap();
    void Finish(int status, std::string message);
    void Update(const std::function<void(ExportStatus*)>& change);

    Listener listener_;
    mutable std::mutex mutex_;
    ExportStatus status_;
    pid_t child_ = -1;
    bool cancelled_ = false;  // Cancel was asked of the running export
    std::thread watcher_;
};
