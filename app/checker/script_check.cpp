#include "checker/script_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/paths.h"
#include "checker/script_pieces.h"

namespace {

constexpr size_t kMaxScriptBytes = size_t(1) << 30;

// The argument that names a file, by command: -1 for other commands.
int FileArgument(const char* command) {
    if (std::strcmp(command, "readvideo") == 0 || std::strcmp(command, "a_readvideo") == 0) {
        return 2;
    }
    if (std::strcmp(command, "readimage") == 0) return 1;
    return -1;
}

bool IsAudioCommand(const char* command) {
    return std::strncmp(command, "a_", 2) == 0 && command[2] != '\0';
}

void ScanPiece(const ScriptPiece& piece, const std::string& directory, ScriptFacts* facts) {
    if (!piece.stored) {
        // A section header sets an end when it names one; the parse ran
        // with no project length, so an open end reads as 0.
        const SectionState& section = *piece.section;
        bool header = !piece.text.empty() && piece.text[0] == '[';
        if (header && section.condition[0] == '\0' && section.end > facts->longest_end) {
            facts->longest_end = section.end;
            facts->longest_end_line = piece.line;
            facts->longest_end_header = piece.text.substr(0, piece.text.find_first_of("\r\n"));
        }
        return;
    }
    const ParsedLine& record = *piece.record;
    if (IsAudioCommand(record.command)) facts->has_audio_commands = true;
    int index = FileArgument(record.command);
    if (index < 0 || record.args[index][0] == '\0') return;
    std::string name = record.args[index];
    facts->media_files.push_back(name[0] == '/' ? name : directory + name);
}

}  // namespace

void ScanScript(const std::string& text, const std::string& directory, ScriptFacts* facts) {
    ForEachScriptPiece(text, 0,
                       [&](const ScriptPiece& piece) { ScanPiece(piece, directory, facts); });
}

bool CheckScript(const std::string& script_path, ScriptFacts* facts, std::string* error) {
    *facts = ScriptFacts();
    struct stat info;
    if (stat(script_path.c_str(), &info) != 0) {
        if (errno == ENOENT) return true;
        *error = std::string("cannot read the script (") + std::strerror(errno) + ")";
        return false;
    }
    facts->exists = true;
    if (S_ISDIR(info.st_mode)) {
        *error = std::string("cannot read the script (") + std::strerror(EISDIR) + ")";
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        *error = "cannot read the script (not a regular file)";
        return false;
    }
    if (script_path.size() > kPluginScriptPathLimit) {
        *error = "the script's path is " + std::to_string(script_path.size()) +
                 " bytes long, and the plug-in reads scripts only from paths of at most " +
                 std::to_string(kPluginScriptPathLimit) +
                 " bytes; move the source to a shorter directory";
        return false;
    }
    int fd = open(script_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *error = std::string("cannot read the script (") + std::strerror(errno) + ")";
        return false;
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = std::string("cannot read the script (") + std::strerror(errno) + ")";
            close(fd);
            return false;
        }
        if (n == 0) break;
        if (text.size() + size_t(n) > kMaxScriptBytes) {
            *error = "the script is larger than 1 GB";
            close(fd);
            return false;
        }
        text.append(buffer, size_t(n));
    }
    close(fd);
    ScanScript(text, DirectoryOf(script_path), facts);
    return true;
}
