#include "plugin/plugin_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "base/paths.h"

namespace {

// The directory of the running executable, with its trailing '/'; empty
// when it cannot be told.
std::string ExecutableDirectory() {
    std::string executable = ProgramPath();
    return executable.substr(0, executable.rfind('/') + 1);
}

}  // namespace

std::vector<std::string> PluginSearchPaths() {
    std::string dir = ExecutableDirectory();
    if (dir.empty()) return {"kinetra.auf"};
    // Next to the program in a build folder; under PREFIX/lib/kinetra when
    // installed as PREFIX/bin/kinetra.
    std::string parent = dir.substr(0, dir.rfind('/', dir.size() - 2) + 1);
    return {dir + "kinetra.auf", parent + "lib/kinetra/kinetra.auf"};
}

std::string PluginPath(const std::string& explicit_path) {
    if (!explicit_path.empty()) return explicit_path;
    const char* from_environment = std::getenv("KINETRA_PLUGIN");
    if (from_environment != nullptr && from_environment[0] != '\0') return from_environment;
    std::vector<std::string> candidates = PluginSearchPaths();
    for (const std::string& path : candidates) {
        if (access(path.c_str(), F_OK) == 0) return path;
    }
    return candidates.front();
}

std::string PluginNotFoundHint(const std::string& explicit_path) {
    if (!explicit_path.empty()) return "check the path given with --plugin";
    const char* from_environment = std::getenv("KINETRA_PLUGIN");
    if (from_environment != nullptr && from_environment[0] != '\0') {
        return "check the path in KINETRA_PLUGIN, or give one with --plugin PATH";
    }
    std::string looked;
    for (const std::string& path : PluginSearchPaths())
        looked += (looked.empty() ? "" : " and ") + path;
    return "looked in " + looked + "; give its place with --plugin PATH or KINETRA_PLUGIN=PATH";
}

bool LoadPlugin(const std::string& path, LoadedPlugin* plugin, std::string* error) {
    if (access(path.c_str(), R_OK) != 0) {
        *error = "not found or not readable";
        return false;
    }
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = dlerror();
        *error = why != nullptr ? why : "cannot be loaded";
        return false;
    }
    auto list_fn = reinterpret_cast<GetFilterTableListFn>(dlsym(library, "GetFilterTableList"));
    FilterTable** list = list_fn != nullptr ? list_fn() : nullptr;
    FilterTable* video = nullptr;
    FilterTable* audio = nullptr;
    for (int i = 0; list != nullptr && list[i] != nullptr && i < 16; ++i) {
        FilterTable* f = list[i];
        if (f->process == nullptr) continue;
        if (f->flags & KINETRA_FLAG_AUDIO) {
            if (audio == nullptr) audio = f;
        } else if (video == nullptr) {
            video = f;
        }
    }
    if (video == nullptr || audio == nullptr) {
        dlclose(library);
        *error = "is not a Kinetra plug-in (no video and audio filter)";
        return false;
    }
    plugin->library = library;
    plugin->video = video;
    plugin->audio = audio;
    plugin->initialised = false;
    plugin->take_run_failures =
        reinterpret_cast<KinetraTakeRunFailuresFn>(dlsym(library, KINETRA_TAKE_RUN_FAILURES_NAME));
    return true;
}

void InitPlugin(LoadedPlugin* plugin, int32_t* track_values, HostServices* services) {
    for (FilterTable* f : {plugin->video, plugin->audio}) {
        f->track_values = track_values;
        f->services = services;
    }
    for (FilterTable* f : {plugin->video, plugin->audio}) {
        if (f->init != nullptr) f->init(f);
    }
    plugin->initialised = true;
}

std::vector<KinetraRunFailure> TakeRunFailures(LoadedPlugin* plugin) {
    std::vector<KinetraRunFailure> reports;
    if (plugin->take_run_failures == nullptr) return reports;
    KinetraRunFailure batch[16];
    for (int32_t n; (n = plugin->take_run_failures(batch, 16)) > 0;)
        reports.insert(reports.end(), batch, batch + n);
    return reports;
}

void UnloadPlugin(LoadedPlugin* plugin) {
    if (plugin->library == nullptr) return;
    if (plugin->initialised) {
        for (FilterTable* f : {plugin->video, plugin->audio}) {
            if (f->exit != nullptr) f->exit(f);
        }
    }
    dlclose(plugin->library);
    *plugin = LoadedPlugin{};
}
