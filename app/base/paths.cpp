#include "base/paths.h"

#include <unistd.h>

#include <vector>

std::string AbsolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    std::vector<char> cwd(4096);
    if (getcwd(cwd.data(), cwd.size()) == nullptr) return path;
    std::string base(cwd.data());
    std::string rest = path;
    while (rest.compare(0, 2, "./") == 0)
        rest = rest.substr(2);
    return base + (base.size() > 1 ? "/" : "") + rest;
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ProgramPath() {
    std::vector<char> self(4096);
    ssize_t n = readlink("/proc/self/exe", self.data(), self.size() - 1);
    return n > 0 ? std::string(self.data(), static_cast<size_t>(n)) : std::string("kinetra");
}
