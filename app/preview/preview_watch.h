// What the preview learns about the script file from the kernel (inotify on
// the script's directory, so that editors that save by writing a new file
// and renaming it are followed too).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

// Reports saves of one file in a directory: created, written and closed,
// renamed into place, deleted. Runs its own thread.
class ScriptWatcher {
  public:
    ScriptWatcher() = default;
    ~ScriptWatcher();
    ScriptWatcher(const ScriptWatcher&) = delete;
    ScriptWatcher& operator=(const ScriptWatcher&) = delete;

    // `on_change(settled)` is called on the watcher's thread: with false as
    // soon as the file changed, and with true once the clock has moved on to
    // a later second than that of the last change (a file the plug-in
    // looked at in the second of the save is looked at again only then).
    bool Start(const std::string& directory, const std::string& name,
               std::function<void(bool settled)> on_change, std::string* error);
    void Stop();

  private:
    void Run();

    int fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    std::string name_;
    std::function<void(bool)> on_change_;
    std::thread thread_;
};

// Tells whether the file was read while the probe was armed: the plug-in
// looks at the script's time stamp by opening it once, and loads it by
// opening it again and reading it. Used on one thread only.
class ScriptReadProbe {
  public:
    ScriptReadProbe() = default;
    ~ScriptReadProbe();
    ScriptReadProbe(const ScriptReadProbe&) = delete;
    ScriptReadProbe& operator=(const ScriptReadProbe&) = delete;

    bool Open(const std::string& directory, const std::string& name);
    // Forgets what happened so far.
    void Arm();
    // True when the file was loaded since Arm.
    bool Loaded();

  private:
    int fd_ = -1;
    std::string name_;
};
