#include "output/output_safety.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/paths.h"

namespace {

// Partial names tried before giving up.
constexpr int kPartialAttempts = 100;

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `name` is what the %d pattern makes of some number: the text
// before the conversion, digits, and the text after it ("%%" is one '%').
bool PatternMakes(const std::string& pattern, const std::string& name) {
    size_t i = 0, n = 0;
    while (i < pattern.size()) {
        if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == '%') {
            if (n >= name.size() || name[n] != '%') return false;
            i += 2;
            ++n;
            continue;
        }
        if (pattern[i] == '%') {
            size_t j = i + 1;
            while (j < pattern.size() && pattern[j] >= '0' && pattern[j] <= '9')
                ++j;
            if (j >= pattern.size() || pattern[j] != 'd') return false;
            size_t digits = n;
            while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9')
                ++digits;
            if (digits == n) return false;
            // The rest must follow the digits (a greedy match is enough:
            // the text after a number never starts with a digit in practice,
            // and a pattern holds one conversion).
            return PatternMakes(pattern.substr(j + 1), name.substr(digits));
        }
        if (n >= name.size() || name[n] != pattern[i]) return false;
        ++i;
        ++n;
    }
    return n == name.size();
}

}  // namespace

bool OutputHitsInput(const std::string& path, bool pattern, const std::vector<std::string>& inputs,
                     std::string* clash) {
    struct stat out;
    if (!pattern) {
        if (stat(path.c_str(), &out) != 0) return false;  // a new file is nobody's input
        for (const std::string& input : inputs) {
            struct stat in;
            if (stat(input.c_str(), &in) == 0 && SameFile(in, out)) {
                *clash = input;
                return true;
            }
        }
        return false;
    }
    if (stat(DirectoryOf(path).c_str(), &out) != 0) return false;
    std::string name_pattern = BaseName(path);
    for (const std::string& input : inputs) {
        struct stat directory;
        if (stat(DirectoryOf(input).c_str(), &directory) == 0 && SameFile(directory, out) &&
            PatternMakes(name_pattern, BaseName(input))) {
            *clash = input;
            return true;
        }
        // A link to a file in the output's directory is caught by its target.
        char* target = realpath(input.c_str(), nullptr);
        if (target == nullptr) continue;
        std::string resolved(target);
        std::free(target);
        if (stat(DirectoryOf(resolved).c_str(), &directory) == 0 && SameFile(directory, out) &&
            PatternMakes(name_pattern, BaseName(resolved))) {
            *clash = input;
            return true;
        }
    }
    return false;
}

std::string PartialName(const std::string& path, int attempt) {
    std::string directory = path.substr(0, path.size() - BaseName(path).size());
    std::string name = BaseName(path);
    size_t dot = name.rfind('.');
    if (dot == 0 || dot == std::string::npos) dot = name.size();
    std::string mark = ".partial" + (attempt > 1 ? std::to_string(attempt) : std::string());
    return directory + name.substr(0, dot) + mark + name.substr(dot);
}

std::string KeepAsPartial(const std::string& from, const std::string& path) {
    for (int attempt = 1; attempt <= kPartialAttempts; ++attempt) {
        std::string name = PartialName(path, attempt);
        // link() never replaces an existing name.
        if (link(from.c_str(), name.c_str()) == 0) {
            unlink(from.c_str());
            return name;
        }
        if (errno == EEXIST) continue;
        // File systems without hard links: rename where the name is free.
        struct stat existing;
        if (lstat(name.c_str(), &existing) == 0) continue;
        if (std::rename(from.c_str(), name.c_str()) == 0) return name;
        return std::string();
    }
    errno = EEXIST;
    return std::string();
}

std::string TemporaryName(const std::string& path, long pid) {
    return DirectoryOf(path) + "." + BaseName(path) + ".part" + std::to_string(pid);
}

int RemoveStaleTemporaries(const std::string& path) {
    std::string directory = DirectoryOf(path);
    std::string prefix = "." + BaseName(path) + ".part";
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) return 0;
    int removed = 0;
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0 || name.size() == prefix.size()) continue;
        std::string digits = name.substr(prefix.size());
        if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 9) {
            continue;
        }
        long pid = std::strtol(digits.c_str(), nullptr, 10);
        if (pid <= 0 || pid == static_cast<long>(getpid())) continue;
        // A process that exists (even one we may not signal) keeps its file.
        if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        std::string stale = directory + "/" + name;
        struct stat info;
        if (lstat(stale.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            unlink(stale.c_str()) == 0) {
            ++removed;
        }
    }
    closedir(dir);
    return removed;
}
