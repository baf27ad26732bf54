#include "script_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "paths.h"

namespace {

constexpr size_t kPieceBytes = 511;  // the loader reads lines in pieces of this size
constexpr size_t kMaxScriptBytes = size_t(1) << 30;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The text with every space outside double quotes removed.
std::string WithoutSpaces(const std::string& line) {
    std::string out;
    bool quoted = false;
    for (char c : line) {
        if (c == '"') quoted = !quoted;
        if (c == ' ' && !quoted) continue;
        out += c;
    }
    return out;
}

// Decimal digits, saturated to the int32 range; -1 when there are none.
int64_t ReadNumber(const std::string& text, size_t* at) {
    if (*at >= text.size() || !IsDigit(text[*at])) return -1;
    int64_t value = 0;
    for (; *at < text.size() && IsDigit(text[*at]); ++*at)
        value = std::min<int64_t>(value * 10 + (text[*at] - '0'), INT32_MAX);
    return value;
}

// The end of a section header "[a-b]", or -1 where it sets none.
int64_t SectionEnd(const std::string& working) {
    if (working.size() < 2 || working[1] == '"') return -1;
    size_t at = 1;
    ReadNumber(working, &at);
    if (at < working.size()) ++at;  // the one byte between the numbers
    return ReadNumber(working, &at);
}

// Argument `index` of a command line "name(a, b, ...)", as the loader cuts
// it: quotes removed, a backslash before a quote keeps the quote, commas
// inside quotes and parentheses kept.
std::string Argument(const std::string& working, size_t open, int index) {
    std::string arg;
    bool quoted = false;
    int depth = 0;
    int current = 0;
    for (size_t i = open + 1; i < working.size(); ++i) {
        char c = working[i];
        if (c == '\\' && i + 1 < working.size() && working[i + 1] == '"') {
            if (current == index) arg += '"';
            ++i;
            continue;
        }
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        if (!quoted && c == ',' && depth == 0) {
            if (current == index) return arg;
            ++current;
            continue;
        }
        if (c == '(') ++depth;
        if (c == ')' && --depth < 0) return current == index ? arg : std::string();
        if (c == '\n') break;
        if (current == index) arg += c;
    }
    return std::string();
}

// The argument that names a file, by command: -1 for other commands.
int FileArgument(const std::string& command) {
    if (command == "readvideo" || command == "a_readvideo") return 2;
    if (command == "readimage") return 1;
    return -1;
}

void ScanPiece(const std::string& piece, int32_t line, const std::string& directory,
               ScriptFacts* facts) {
    if (piece.empty()) return;
    char first = piece[0];
    bool letter = (first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z');
    if (first != '[' && !letter) return;
    bool if_line = piece.size() > 2 && (piece[0] == 'i' || piece[0] == 'I') &&
                   (piece[1] == 'f' || piece[1] == 'F') && piece[2] == ' ';
    if (if_line) return;
    std::string working = WithoutSpaces(piece);
    if (first == '[') {
        int64_t end = SectionEnd(working);
        if (end > facts->longest_end) {
            facts->longest_end = end;
            facts->longest_end_line = line;
            std::string header = piece.substr(0, piece.find_first_of("\r\n"));
            facts->longest_end_header = header;
        }
        return;
    }
    std::string command;
    size_t i = 0;
    for (; i < working.size(); ++i) {
        char c = working[i];
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        if (!((c >= 'a' && c <= 'z') || IsDigit(c) || c == '_' || c == '-')) break;
        command += c;
    }
    int index = FileArgument(command);
    if (index < 0 || i >= working.size() || working[i] != '(') return;
    std::string name = Argument(working, i, index);
    if (name.empty()) return;
    facts->media_files.push_back(name[0] == '/' ? name : directory + name);
}

}  // namespace

void ScanScript(const std::string& text, const std::string& directory, ScriptFacts* facts) {
    int32_t line = 1;
    size_t at = 0;
    while (at < text.size()) {
        // One piece: up to a line feed or kPieceBytes bytes, CR LF read as LF.
        std::string piece;
        bool ended = false;
        while (at < text.size() && piece.size() < kPieceBytes) {
            char c = text[at++];
            if (c == '\r' && at < text.size() && text[at] == '\n') c = text[at++];
            piece += c;
            if (c == '\n') {
                ended = true;
                break;
            }
        }
        ScanPiece(piece, line, directory, facts);
        if (ended) ++line;
    }
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
