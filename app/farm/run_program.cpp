#include "farm/run_program.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

int RunProgram(const std::vector<std::string>& args, std::string* output, std::string* error) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int pipe_ends[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output != nullptr) {
        if (pipe(pipe_ends) != 0) {
            *error = std::strerror(errno);
            posix_spawn_file_actions_destroy(&actions);
            return -1;
        }
        posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
        posix_spawn_file_actions_addclose(&actions, pipe_ends[1]);
    }
    pid_t pid = 0;
    int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (output != nullptr) {
        close(pipe_ends[1]);
        char chunk[4096];
        ssize_t got;
        while (spawned == 0 && (got = read(pipe_ends[0], chunk, sizeof chunk)) != 0) {
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) break;
            output->append(chunk, size_t(got));
        }
        close(pipe_ends[0]);
    }
    if (spawned != 0) {
        *error = "cannot run " + args[0] + ": " + std::strerror(spawned);
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            *error = std::strerror(errno);
            return -1;
        }
    }
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

std::string ShellQuote(const std::string& arg) {
    bool plain = !arg.empty();
    for (char c : arg) {
        bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    std::strchr("/._-:=,+%@", c) != nullptr;
        if (!safe) plain = false;
    }
    if (plain) return arg;
    std::string quoted = "'";
    for (char c : arg) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string ShellCommand(const std::vector<std::string>& args) {
    std::string line;
    for (const std::string& arg : args)
        line += (line.empty() ? "" : " ") + ShellQuote(arg);
    return line;
}
