// Loads kinetra.auf as an editor does: dlopen, GetFilterTableList, a check
// of the two filter records, and init/exit around their use.
#pragma once

#include <string>
#include <vector>

#include "kinetra/plugin_abi.h"

struct LoadedPlugin {
    void* library = nullptr;
    FilterTable* video = nullptr;
    FilterTable* audio = nullptr;
    bool initialised = false;
    // The plug-in's run-time failure reports; null when it has none to give.
    KinetraTakeRunFailuresFn take_run_failures = nullptr;
};

// The plug-in to load: `explicit_path` when given, else $KINETRA_PLUGIN, else
// the first of PluginSearchPaths that exists (or the first of them).
std::string PluginPath(const std::string& explicit_path);
// Where the program looks for kinetra.auf by itself: next to the executable,
// then ../lib/kinetra/ from it (an installed program).
std::vector<std::string> PluginSearchPaths();
// What to tell the user when the plug-in is missing: where it was looked for
// and how to name it (--plugin, KINETRA_PLUGIN).
std::string PluginNotFoundHint(const std::string& explicit_path);

// Loads the plug-in and finds its video and audio filter; false with `error`.
bool LoadPlugin(const std::string& path, LoadedPlugin* plugin, std::string* error);

// Publishes the sliders and services to both filters and calls init on each.
void InitPlugin(LoadedPlugin* plugin, int32_t* track_values, HostServices* services);

// The run-time failure reports the plug-in kept since the last call, oldest
// first (call after a process call, on its thread).
std::vector<KinetraRunFailure> TakeRunFailures(LoadedPlugin* plugin);

// Calls exit on both filters (once) and unloads the library.
void UnloadPlugin(LoadedPlugin* plugin);
