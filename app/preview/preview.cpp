// `kinetra preview SOURCE [--port N] [--open]`: the command line, start-up
// and shutdown of the preview server.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "base/paths.h"
#include "plugin/plugin_loader.h"
#include "preview/preview_options.h"
#include "preview/preview_server.h"
#include "render/render.h"

extern char** environ;

namespace {

constexpr int32_t kMaxThreads = 256;
// The longest an orderly stop may take.
constexpr auto kStopLimit = std::chrono::seconds(10);

bool ParseNumber(const std::string& text, long low, long high, int32_t* value) {
    if (text.empty() || text.size() > 10) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high) return false;
    *value = static_cast<int32_t>(v);
    return true;
}

// Opens the page in the desktop's browser; a failure is a note, not an error.
void OpenInBrowser(const std::string& url) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    std::string program = "xdg-open";
    char* argv[] = {program.data(), const_cast<char*>(url.c_str()), nullptr};
    pid_t pid = -1;
    int code = posix_spawnp(&pid, "xdg-open", &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (code != 0) {
        std::fprintf(stderr, "kinetra: cannot run xdg-open (%s); open %s yourself\n",
                     std::strerror(code), url.c_str());
        return;
    }
    std::thread([pid, url] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "kinetra: xdg-open could not open the page; open %s yourself\n",
                         url.c_str());
        }
    }).detach();
}

// Takes one option at args[*i] (and its value, given as "--name value" or
// "--name=value"); false with `error`.
bool ParseOption(const std::vector<std::string>& args, size_t* i, PreviewOptions* options,
                 std::string* error) {
    std::string arg = args[*i];
    std::string value;
    bool has_value = false;
    size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
        value = arg.substr(equals + 1);
        arg = arg.substr(0, equals);
        has_value = true;
    }
    auto take = [&]() {
        if (has_value) return true;
        if (*i + 1 >= args.size()) {
            *error = arg + " needs a value";
            return false;
        }
        value = args[++*i];
        return true;
    };
    if (arg == "--open") {
        options->open = true;
    } else if (arg == "--port") {
        if (!take()) return false;
        if (!ParseNumber(value, 1, 65535, &options->port)) {
            *error = "--port takes a port number 1..65535, not '" + value + "'";
            return false;
        }
    } else if (arg == "--threads") {
        if (!take()) return false;
        if (!ParseNumber(value, 0, kMaxThreads, &options->threads)) {
            *error = "--threads takes a number 1..256, not '" + value + "'";
            return false;
        }
    } else if (arg == "--plugin") {
        if (!take()) return false;
        options->plugin = value;
    } else {
        *error = "unknown option '" + args[*i] + "'";
        return false;
    }
    return true;
}

// The source as an absolute path; empty (with the reason printed) when it
// is not a regular file.
std::string CheckedSource(const std::string& given) {
    std::string source = AbsolutePath(given);
    struct stat info;
    if (stat(source.c_str(), &info) != 0) {
        std::fprintf(stderr, "kinetra: %s: %s\n", given.c_str(), std::strerror(errno));
        return std::string();
    }
    if (!S_ISREG(info.st_mode)) {
        std::fprintf(stderr, "kinetra: %s: not a regular file\n", given.c_str());
        return std::string();
    }
    return source;
}

// Runs `work` on a thread of its own while this thread takes `signals`;
// false, with the work left running, when a signal comes or `limit` passes
// before it ends.
bool RunTakingSignals(const std::function<void()>& work, const sigset_t& signals,
                      std::chrono::steady_clock::duration limit) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread worker([work, done] {
        work();
        *done = true;
    });
    auto end = std::chrono::steady_clock::now() + limit;
    const struct timespec slice = {0, 50 * 1000 * 1000};
    while (!*done) {
        if (sigtimedwait(&signals, nullptr, &slice) > 0 || std::chrono::steady_clock::now() > end) {
            worker.detach();
            return false;
        }
    }
    worker.join();
    return true;
}

// Ends the process at once, for a start or a stop that a signal or the
// clock cut short.
[[noreturn]] void EndNow(const char* why, int status) {
    std::fprintf(stderr, "kinetra: %s; ending the preview now\n", why);
    std::fflush(nullptr);
    std::_Exit(status);
}

// Serves until Ctrl-C, SIGTERM or SIGHUP (taken from `stop_signals`). A
// signal always ends the preview: while it starts, at once; while it serves,
// by an orderly stop, cut short by a second signal or after kStopLimit (a
// call into the plug-in that does not return).
int Serve(const PreviewOptions& options, const std::string& source, const sigset_t& stop_signals) {
    PreviewServerOptions server_options;
    server_options.source = source;
    server_options.plugin = PluginPath(options.plugin);
    server_options.program = ProgramPath();
    server_options.port = options.port;
    server_options.threads = options.threads;
    PreviewServer server;
    std::string error;
    bool started = false;
    auto start = [&] { started = server.Start(server_options, &error); };
    if (!RunTakingSignals(start, stop_signals, std::chrono::hours(24 * 365))) {
        EndNow("stopped while starting", kExitInterrupted);
    }
    if (!started) {
        std::fprintf(stderr, "kinetra: %s\n", error.c_str());
        return kExitFailure;
    }
    std::printf("kinetra: preview of %s at %s (Ctrl-C stops)\n", source.c_str(),
                server.address().c_str());
    std::fflush(stdout);
    if (options.open) OpenInBrowser(server.address());

    int signal_number = 0;
    while (sigwait(&stop_signals, &signal_number) != 0) {
    }
    std::fprintf(stderr, "kinetra: stopping the preview\n");
    if (!RunTakingSignals([&] { server.Stop(); }, stop_signals, kStopLimit)) {
        EndNow("the stop was cut short (a second signal, or it took too long)", kExitInterrupted);
    }
    return kExitOk;
}

}  // namespace

bool ParsePreviewArguments(const std::vector<std::string>& args, PreviewOptions* options,
                           std::string* error) {
    std::vector<std::string> positional;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i].size() > 1 && args[i][0] == '-') {
            if (!ParseOption(args, &i, options, error)) return false;
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() != 1) {
        *error =
            positional.empty() ? "preview needs a SOURCE file" : "preview takes one SOURCE file";
        return false;
    }
    options->source = positional[0];
    return true;
}

int RunPreview(const PreviewOptions& options) {
    std::string source = CheckedSource(options.source);
    if (source.empty()) return kExitFailure;
    // Ctrl-C, SIGTERM and SIGHUP are taken by this thread alone (sigwait in
    // Serve), so every thread started from here on blocks them.
    sigset_t stop_signals, previous;
    sigemptyset(&stop_signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stop_signals, s);
    pthread_sigmask(SIG_BLOCK, &stop_signals, &previous);
    // A browser that goes away mid-answer must not end the server.
    signal(SIGPIPE, SIG_IGN);
    int status = Serve(options, source, stop_signals);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return status;
}
