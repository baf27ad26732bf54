#include "checker/script_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/paths.h"
#include "checker/script_pieces.h"
#include "checker/script_slips.h"
#include "script/encoding.h"
#include "script/loader.h"
#include "script/command_table.h"
#include "script/script.h"

const char kUtf16ScriptRefusal[] =
    "saved as UTF-16, which the plug-in does not read (it runs no line of it); save it as UTF-8 "
    "or Shift-JIS";

namespace {

constexpr size_t kMaxScriptBytes = size_t(1) << 30;

std::string CannotRead(int error_number) {
    return std::string("cannot read the script (") + std::strerror(error_number) + ")";
}

// What is at `path`: nothing (no error) or a regular file; false with
// `error` for anything else.
bool LookAtScript(const std::string& path, ScriptRead* script, std::string* error) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) return true;
        *error = CannotRead(errno);
        return false;
    }
    script->exists = true;
    if (S_ISDIR(info.st_mode)) {
        *error = CannotRead(EISDIR);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        *error = "cannot read the script (not a regular file)";
        return false;
    }
    return true;
}

// Why the plug-in cannot form the script's path; empty when it can. Its
// capacity holds the path and a terminating zero.
std::string PathTooLong(const std::string& path) {
    constexpr size_t kLongestPath = size_t(kScriptPathCapacity) - 1;
    if (path.size() <= kLongestPath) return std::string();
    return "the script's path is " + std::to_string(path.size()) +
           " bytes long, and the plug-in reads scripts only from paths of at most " +
           std::to_string(kLongestPath) + " bytes; move the source to a shorter directory";
}

// Reads the open file to its end; false with `error`.
bool ReadAll(int fd, std::string* text, std::string* error) {
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = CannotRead(errno);
            return false;
        }
        if (n == 0) return true;
        if (text->size() + size_t(n) > kMaxScriptBytes) {
            *error = "the script is larger than 1 GB";
            return false;
        }
        text->append(buffer, size_t(n));
    }
}

// The whole file, opened without waiting (a FIFO put in the script's place
// since it was looked at is refused, not waited on).
bool ReadWhole(const std::string& path, std::string* text, std::string* error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *error = CannotRead(errno);
        return false;
    }
    struct stat info;
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (!ok) *error = "cannot read the script (not a regular file)";
    ok = ok && ReadAll(fd, text, error);
    close(fd);
    return ok;
}

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

// The audio commands and the argument that names the buffer each writes.
struct SoundWriter {
    const char* command;
    int destination;
};
constexpr SoundWriter kSoundWriters[] = {
    {"a_copyframe", 0}, {"a_copyframe2", 0}, {"a_copy", 1}, {"a_readvideo", 0},
    {"a_volume", 0},    {"a_blend", 1},      {"a_swap", 0}, {"a_mono", 0},
    {"a_reverse", 1},   {"a_noise", 0},      {"a_tone", 0}, {"a_voicechg", 0},
};

// Whether an argument text is a plain decimal number (a sign, digits, an
// optional fraction, an optional exponent) whose truncation is not 0, and
// so names a buffer other than 0 (or none: such a command does nothing).
// Anything else (an expression, a text the formula compiler refuses and so
// evaluates to 0) may come to 0.
bool NamesAnotherBuffer(const char* text) {
    const char* number = text;
    if (*text == '+' || *text == '-') ++text;
    size_t n = std::strspn(text, "0123456789");
    size_t digits = n;
    if (text[n] == '.') {
        size_t fraction = std::strspn(text + n + 1, "0123456789");
        digits += fraction;
        n += 1 + fraction;
    }
    if (digits == 0) return false;
    if (text[n] == 'e' || text[n] == 'E') {
        size_t sign = text[n + 1] == '+' || text[n + 1] == '-' ? 1 : 0;
        size_t exponent = std::strspn(text + n + 1 + sign, "0123456789");
        if (exponent == 0) return false;
        n += 1 + sign + exponent;
    }
    if (text[n] != '\0') return false;
    double value = std::fabs(std::strtod(number, nullptr));
    return value >= 1 && value < 2147483648.0;
}

// Whether the line may write the project's sound, audio buffer 0.
bool MayWriteSound(const ParsedLine& record) {
    for (const SoundWriter& writer : kSoundWriters) {
        if (std::strcmp(record.command, writer.command) == 0) {
            return !NamesAnotherBuffer(record.args[writer.destination]);
        }
    }
    return false;
}

// Whether a video line may reach buffer 1: swapbuf, or a buffer argument
// that is not a constant naming another buffer (an empty one reads as 0).
bool MayUseSecondImage(const ParsedLine& record, const CommandRow& row) {
    if (std::strcmp(row.name, "swapbuf") == 0) return true;
    for (int32_t k = 0; k < row.argument_count && k < kCommandArgumentLimit; ++k) {
        const CommandArgument* argument = ArgumentAt(row, k);
        if (argument == nullptr || argument->kind != ArgumentKind::kBuffer) continue;
        double value = 0;
        if (record.args[k][0] != '\0' && !ConstantValue(record.args[k], &value)) return true;
        if (std::trunc(value) == 1) return true;
    }
    return false;
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
    if (MayWriteSound(record)) facts->changes_sound = true;
    if (const CommandRow* row = FindCommand(CommandFilter::kVideo, record.command)) {
        facts->has_video_commands = true;
        if (MayUseSecondImage(record, *row)) facts->uses_second_image = true;
    }
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

std::string ScriptBeside(const std::string& source) {
    return DirectoryOf(source) + kScriptFileName;
}

bool ReadScript(const std::string& path, ScriptRead* script, std::string* error) {
    *script = ScriptRead();
    script->path = path;
    if (!LookAtScript(path, script, error)) return false;
    if (!script->exists) return true;
    // The path's length is told before a failure to read (as the plug-in
    // would never get as far as reading).
    std::string too_long = PathTooLong(path);
    if (!ReadWhole(path, &script->text, error)) {
        if (!too_long.empty()) *error = too_long;
        script->text.clear();
        return false;
    }
    if (FindByteOrderMark(script->text.data(), script->text.size()) == ByteOrderMark::kUtf16) {
        *error = kUtf16ScriptRefusal;
        script->text.clear();
        return false;
    }
    script->read = true;
    script->utf8 =
        DetectScriptEncoding(script->text.data(), script->text.size()) == ScriptEncoding::kUtf8;
    ScanScript(script->text, DirectoryOf(path), &script->facts);
    if (!too_long.empty()) {
        *error = too_long;
        return false;
    }
    return true;
}
