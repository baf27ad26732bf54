// The preview's export: the project rendered to a file next to the source
// with the render command's defaults and the preview's slider positions.
// The render runs in a process of its own (the program started again as an
// export job), so that the preview stays responsive, its plug-in state is
// untouched, and a failure of the render cannot take the preview down.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "preview/preview_options.h"

struct ExportStatus {
    enum class State { kIdle, kRunning, kDone, kFailed };
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
    int32_t threads = 0;
    std::vector<int32_t> sliders;
    int64_t total = 0;
};

// The first free name of the form DIR/STEM-kinetra.mp4, DIR/STEM-kinetra-2.mp4, ...
// next to `source`; empty when there is none.
std::string ExportPathFor(const std::string& source);

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
    // Interrupts a running export (the render keeps what it wrote under its
    // partial name) and waits for it.
    void Stop();

  private:
    void Watch(int out_fd, int err_fd);
    void Update(const std::function<void(ExportStatus*)>& change);

    Listener listener_;
    mutable std::mutex mutex_;
    ExportStatus status_;
    pid_t child_ = -1;
    std::thread watcher_;
};

// The export job itself, in the started process: renders and writes
// "frame N" to standard output after each frame.
int RunExportJob(const PreviewOptions& options);
