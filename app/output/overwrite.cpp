#include "output/overwrite.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

// Pictures of a sequence checked at most: a longer render is refused on
// the first of them that exists anyway.
constexpr int64_t kMaxSequenceCheck = 1000000;

bool Exists(const std::string& path, bool* stream) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        // A dangling link is replaced by the rename as a file would be.
        return lstat(path.c_str(), &info) == 0;
    }
    *stream = S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode);
    return true;
}

}  // namespace

std::vector<std::string> FilesReplacedBy(const std::string& output, int64_t frames) {
    std::vector<std::string> existing;
    if (output == "-") return existing;
    bool stream = false;
    if (av_filename_number_test(output.c_str())) {
        std::vector<char> name(output.size() + 32);
        for (int64_t n = 1; n <= std::min(frames, kMaxSequenceCheck); ++n) {
            if (av_get_frame_filename(name.data(), static_cast<int>(name.size()), output.c_str(),
                                      static_cast<int>(n)) < 0) {
                break;
            }
            if (Exists(name.data(), &stream) && !stream) existing.push_back(name.data());
        }
        return existing;
    }
    if (Exists(output, &stream) && !stream) existing.push_back(output);
    return existing;
}

bool MayReplace(const std::vector<std::string>& existing, Overwrite mode, bool interactive,
                FILE* answers, FILE* prompt, std::string* error) {
    if (existing.empty() || mode == Overwrite::kYes) return true;
    std::string what = existing.front();
    if (existing.size() > 1) {
        what += " and " + std::to_string(existing.size() - 1) + " more pictures";
    }
    if (mode == Overwrite::kNo) {
        *error = what + " already exists; not replaced (-n)";
        return false;
    }
    if (!interactive) {
        *error = what + " already exists; give -y to replace it or -n to keep it";
        return false;
    }
    std::fprintf(prompt, "kinetra: %s already exists. Overwrite? [y/N] ", what.c_str());
    std::fflush(prompt);
    char line[64] = {0};
    bool yes = std::fgets(line, sizeof line, answers) != nullptr &&
               std::tolower(static_cast<unsigned char>(line[0])) == 'y';
    if (!yes) {
        *error = what + " already exists; not replaced";
        return false;
    }
    return true;
}
