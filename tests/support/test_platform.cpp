#include "support/test_platform.h"

#include <filesystem>
#include <system_error>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <stdexcept>
#include <vector>

namespace testhost {

namespace fs = std::filesystem;

#ifdef _WIN32

const char kSeparator = '\\';

bool IsAbsolutePath(const std::string& path) {
    return (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) ||
           (path.size() >= 2 && path[0] == '\\' && path[1] == '\\');
}

std::string MakeTempDirectory(const char* prefix) {
    char base[MAX_PATH + 1];
    DWORD length = GetTempPathA(sizeof base, base);
    if (length == 0 || length > MAX_PATH) throw std::runtime_error("GetTempPathA failed");
    std::string directory(base, length);
    if (directory.back() != '\\') directory += '\\';
    CreateDirectoryA(directory.c_str(), nullptr);  // a fresh Wine prefix may lack it
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        std::string name = directory + prefix + std::to_string(GetCurrentProcessId()) + "-" +
                           std::to_string(GetTickCount() + attempt);
        if (CreateDirectoryA(name.c_str(), nullptr)) return name;
    }
    throw std::runtime_error("cannot make a temporary directory");
}

bool MakeDirectory(const std::string& path) {
    return CreateDirectoryA(path.c_str(), nullptr) != 0;
}

bool RemoveEmptyDirectory(const std::string& path) {
    return RemoveDirectoryA(path.c_str()) != 0;
}

std::string CurrentDirectory() {
    char buffer[4096];
    DWORD length = GetCurrentDirectoryA(sizeof buffer, buffer);
    return length > 0 && length < sizeof buffer ? std::string(buffer, length) : std::string();
}

std::string RealPath(const std::string& path) {
    char buffer[4096];
    DWORD length = GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
    if (length == 0 || length >= sizeof buffer) return "";
    if (GetFileAttributesA(buffer) == INVALID_FILE_ATTRIBUTES) return "";
    std::string full(buffer, length);
    while (full.size() > 3 && full.back() == '\\')
        full.pop_back();
    return full;
}

namespace {

HANDLE OpenForTimes(const std::string& path, DWORD access) {
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

bool GetWriteTime(const std::string& path, int64_t* time) {
    HANDLE file = OpenForTimes(path, GENERIC_READ);
    if (file == INVALID_HANDLE_VALUE) return false;
    FILETIME written;
    bool ok = GetFileTime(file, nullptr, nullptr, &written) != 0;
    CloseHandle(file);
    *time = int64_t((uint64_t(written.dwHighDateTime) << 32) | written.dwLowDateTime);
    return ok;
}

bool SetWriteTime(const std::string& path, int64_t time) {
    HANDLE file = OpenForTimes(path, FILE_WRITE_ATTRIBUTES);
    if (file == INVALID_HANDLE_VALUE) return false;
    FILETIME written;
    written.dwLowDateTime = DWORD(uint64_t(time) & 0xFFFFFFFFu);
    written.dwHighDateTime = DWORD(uint64_t(time) >> 32);
    bool ok = SetFileTime(file, nullptr, nullptr, &written) != 0;
    CloseHandle(file);
    return ok;
}

void* LoadLibraryFile(const std::string& path) {
    return reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
}

void* FindExport(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void UnloadLibrary(void* library) {
    FreeLibrary(static_cast<HMODULE>(library));
}

std::string LastLibraryError() {
    return "error " + std::to_string(GetLastError());
}

int32_t ProcessThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int32_t count = 0;
    DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        count += entry.th32OwnerProcessID == self;
    }
    CloseHandle(snapshot);
    return count;
}

#else

const char kSeparator = '/';

bool IsAbsolutePath(const std::string& path) {
    return !path.empty() && path[0] == '/';
}

std::string MakeTempDirectory(const char* prefix) {
    std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return std::string(buffer.data());
}

bool MakeDirectory(const std::string& path) {
    return mkdir(path.c_str(), 0755) == 0;
}

bool RemoveEmptyDirectory(const std::string& path) {
    return rmdir(path.c_str()) == 0;
}

std::string CurrentDirectory() {
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string();
}

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

bool GetWriteTime(const std::string& path, int64_t* time) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return false;
    *time = int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return true;
}

bool SetWriteTime(const std::string& path, int64_t time) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = time_t(time / 1000000000);
    times[1].tv_nsec = long(time % 1000000000);
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

void* LoadLibraryFile(const std::string& path) {
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* FindExport(void* library, const char* name) {
    return dlsym(library, name);
}

void UnloadLibrary(void* library) {
    dlclose(library);
}

std::string LastLibraryError() {
    const char* error = dlerror();
    return error != nullptr ? error : "";
}

int32_t ProcessThreadCount() {
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return -1;
    int32_t count = 0;
    while (struct dirent* entry = readdir(tasks)) {
        count += entry->d_name[0] != '.';
    }
    closedir(tasks);
    return count;
}

#endif

// Always adds the separator: a Shift-JIS name may end in the byte 0x5C.
std::string JoinPath(const std::string& directory, const std::string& name) {
    return directory + kSeparator + name;
}

void RemoveTree(const std::string& path) {
    std::error_code ignored;
    fs::remove_all(fs::path(path), ignored);
}

}  // namespace testhost
