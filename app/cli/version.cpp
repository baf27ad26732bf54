#include "cli/version.h"

#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "plugin/plugin_loader.h"

#ifndef KINETRA_VERSION
#define KINETRA_VERSION "unknown"
#endif

namespace {

// "libavcodec 59.37.100" from a packed version number.
std::string LibraryVersion(const char* name, unsigned version) {
    return std::string(name) + " " + std::to_string(AV_VERSION_MAJOR(version)) + "." +
           std::to_string(AV_VERSION_MINOR(version)) + "." +
           std::to_string(AV_VERSION_MICRO(version));
}

}  // namespace

const char* ProgramVersion() {
    return KINETRA_VERSION;
}

std::string VersionText(const std::string& plugin) {
    std::string text = std::string("kinetra ") + ProgramVersion() + "\n";
    text += "FFmpeg " + std::string(av_version_info()) + ": " +
            LibraryVersion("libavformat", avformat_version()) + ", " +
            LibraryVersion("libavcodec", avcodec_version()) + ", " +
            LibraryVersion("libavutil", avutil_version()) + ", " +
            LibraryVersion("libswscale", swscale_version()) + ", " +
            LibraryVersion("libswresample", swresample_version()) + "\n";
    std::string path = PluginPath(plugin);
    if (access(path.c_str(), R_OK) == 0) {
        text += "plug-in: " + path + "\n";
    } else {
        text += "plug-in: not found (" + PluginNotFoundHint(plugin) + ")\n";
    }
    return text;
}
