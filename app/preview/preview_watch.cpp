#include "preview/preview_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

constexpr uint32_t kChangeEvents =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_ATTRIB;
constexpr uint32_t kReadEvents = IN_OPEN | IN_ACCESS;

// Reads the events waiting on a non-blocking inotify descriptor and returns
// the union of the masks of those about `name`; counts its opens.
uint32_t DrainEvents(int fd, const std::string& name, int* opens) {
    alignas(struct inotify_event) char buffer[8192];
    uint32_t mask = 0;
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof *event + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                mask |= IN_Q_OVERFLOW;
                continue;
            }
            if (event->len == 0 || name != event->name) continue;
            mask |= event->mask;
            if ((event->mask & IN_OPEN) && opens != nullptr) ++*opens;
        }
    }
    return mask;
}

int64_t NowMilliseconds() {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

// ---- ScriptWatcher ------------------------------------------------------------

ScriptWatcher::~ScriptWatcher() {
    Stop();
}

bool ScriptWatcher::Start(const std::string& directory, const std::string& name,
                          std::function<void(bool)> on_change, std::string* error) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0 || inotify_add_watch(fd_, directory.c_str(), kChangeEvents) < 0 ||
        pipe2(stop_pipe_, O_CLOEXEC) != 0) {
        *error = std::string("cannot watch the directory: ") + std::strerror(errno);
        Stop();
        return false;
    }
    name_ = name;
    on_change_ = std::move(on_change);
    thread_ = std::thread([this] { Run(); });
    return true;
}

void ScriptWatcher::Stop() {
    if (thread_.joinable()) {
        char byte = 1;
        if (write(stop_pipe_[1], &byte, 1) != 1) {
            // The thread also stops when the pipe closes.
        }
        thread_.join();
    }
    for (int* fd : {&fd_, &stop_pipe_[0], &stop_pipe_[1]}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

void ScriptWatcher::Run() {
    // The second of the last change not yet reported as settled; -1: none.
    int64_t pending_second = -1;
    for (;;) {
        struct pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        int timeout = -1;
        if (pending_second >= 0) {
            // Wake a little after the next second begins.
            int64_t now = NowMilliseconds();
            int64_t due = (pending_second + 1) * 1000 + 50;
            timeout = static_cast<int>(due > now ? due - now : 0);
        }
        int ready = poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR) return;
        if (fds[1].revents != 0) return;
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            uint32_t mask = DrainEvents(fd_, name_, nullptr);
            if (mask & (kChangeEvents | IN_Q_OVERFLOW)) {
                pending_second = NowMilliseconds() / 1000;
                on_change_(false);
            }
        }
        if (pending_second >= 0 && NowMilliseconds() / 1000 > pending_second &&
            NowMilliseconds() % 1000 >= 50) {
            pending_second = -1;
            on_change_(true);
        }
    }
}

// ---- ScriptReadProbe ----------------------------------------------------------

ScriptReadProbe::~ScriptReadProbe() {
    if (fd_ >= 0) close(fd_);
}

bool ScriptReadProbe::Open(const std::string& directory, const std::string& name) {
    name_ = name;
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return false;
    if (inotify_add_watch(fd_, directory.c_str(), kReadEvents) < 0) {
        close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

void ScriptReadProbe::Arm() {
    if (fd_ >= 0) DrainEvents(fd_, name_, nullptr);
}

bool ScriptReadProbe::Loaded() {
    if (fd_ < 0) return false;
    int opens = 0;
    uint32_t mask = DrainEvents(fd_, name_, &opens);
    // A look at the time stamp opens the file once and reads nothing; a load
    // opens it twice more (to count the lines, then to parse them).
    return (mask & IN_ACCESS) != 0 || opens >= 2;
}
