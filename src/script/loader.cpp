// Finds "kinetra.txt" next to the project's source, decides whether to read
// it again, and parses it into the table of ScriptLine records.
#include "script/loader.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "common/shiftjis.h"

ScriptTable g_script;
char g_script_directory[kScriptPathCapacity];
int32_t g_project_audio_rate;

namespace {

// What the last look at the file saw. The file is looked at no more than
// once per clock second, and read again only when its last-write time or the
// project's length changed since the last read.
struct ReloadMemory {
    int64_t checked_second;
    int64_t write_time;
    int32_t frame_count;
};
ReloadMemory g_reload;

// Longest source path looked at for its directory part.
constexpr size_t kSourcePathScanLimit = 4096;

// ---- text helpers -------------------------------------------------------

char FoldCase(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool IsLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// True when `text` begins with `word` (ASCII) without regard to case.
bool StartsWithNoCase(const char* text, const char* word) {
    for (; *word != '\0'; ++text, ++word) {
        if (FoldCase(*text) != FoldCase(*word)) return false;
    }
    return true;
}

// Command names: 'a'..'z', '0'..'9', '_' and '-' (capitals are folded first).
bool IsCommandNameChar(char c) {
    c = FoldCase(c);
    return (c >= 'a' && c <= 'z') || IsDigit(c) || c == '_' || c == '-';
}

// Copies the characters of `from` up to (not including) the first
// single-byte character for which `stop` holds, or the end; returns the
// position after the copied bytes.
template <typename Stop>
const char* CopyUntil(const char* from, char* to, Stop stop) {
    size_t o = 0;
    while (*from != '\0') {
        size_t n = CharLength(from);
        if (n == 1 && stop(*from)) break;
        std::memcpy(to + o, from, n);
        o += n;
        from += n;
    }
    to[o] = '\0';
    return from;
}

// Decimal digits as a non-negative number, saturated to the int32 range;
// `*had_digits` tells whether there were any.
int32_t ReadNumber(const char** text, bool* had_digits) {
    const char* p = *text;
    int64_t value = 0;
    *had_digits = IsDigit(*p);
    for (; IsDigit(*p); ++p) {
        value = value * 10 + (*p - '0');
        if (value > INT32_MAX) value = INT32_MAX;
    }
    *text = p;
    return int32_t(value);
}

// ---- one line -----------------------------------------------------------

// The working text: the line with every space outside double quotes removed.
// Every double quote, escaped or not, flips the inside/outside state.
void RemoveSpaces(const char* line, char* out) {
    bool quoted = false;
    size_t o = 0;
    for (const char* p = line; *p != '\0';) {
        size_t n = CharLength(p);
        if (n == 1 && *p == '"') quoted = !quoted;
        if (n == 1 && *p == ' ' && !quoted) {
            ++p;
            continue;
        }
        std::memcpy(out + o, p, n);
        o += n;
        p += n;
    }
    out[o] = '\0';
}

void StoreWithSection(const SectionState& section, ScriptLine* record) {
    record->start = section.start;
    record->end = section.end;
    std::memcpy(record->condition, section.condition, sizeof record->condition);
}

// [a-b], [a], [a-], [-b]: a range of frames; ["expression"]: a condition.
void ParseSection(const char* text, ParseContext* context) {
    SectionState& section = context->section;
    const char* p = text + 1;
    if (*p == '"') {
        CopyUntil(p + 1, section.condition, [](char c) { return c == '"'; });
        return;
    }
    section.condition[0] = '\0';
    bool had_digits;
    section.start = ReadNumber(&p, &had_digits);
    if (*p != '\0') ++p;  // the one byte between the numbers, whatever it is
    section.end = ReadNumber(&p, &had_digits);
    if (!had_digits) section.end = context->frame_count;
    if (section.end > context->frame_count && context->services != nullptr &&
        context->services->set_timeline_length != nullptr) {
        context->services->set_timeline_length(context->edit_handle, section.end);
    }
}

// "if expression goto :label": the expression (spaces kept) and the label
// from the first ':' after the first " goto ".
bool ParseIf(const char* text, const SectionState& section, ScriptLine* record) {
    const char* p = text + 2;  // " goto " may start at the space after "if"
    while (*p != '\0' && !(CharLength(p) == 1 && StartsWithNoCase(p, " goto "))) {
        p += CharLength(p);
    }
    if (*p == '\0') return false;
    const char* after_goto = p + 6;
    const char* colon = after_goto;
    while (*colon != '\0' && !(CharLength(colon) == 1 && *colon == ':')) {
        colon += CharLength(colon);
    }
    if (*colon == '\0') return false;
    std::strcpy(record->command, "if");
    if (p > text + 3) std::memcpy(record->args[0], text + 3, size_t(p - (text + 3)));
    CopyUntil(colon, record->args[1], [](char c) { return c == ' ' || c == '\n'; });
    StoreWithSection(section, record);
    return true;
}

// Cuts the twenty argument texts that follow a command's '('. Quotes are
// dropped (\" gives one quote), commas outside quotes end an argument, and the
// ')' that closes the list ends the last one, inside quotes too. False when
// no ')' closed the list within twenty arguments.
bool CutArguments(const char* p, ScriptLine* record) {
    for (int k = 0; k < kScriptArgCount; ++k) {
        char* out = record->args[k];
        size_t o = 0;
        bool quoted = false;
        int32_t depth = 0;
        bool closed = false;
        while (*p != '\0') {
            size_t n = CharLength(p);
            if (n == 2) {
                std::memcpy(out + o, p, 2);
                o += 2;
                p += 2;
                continue;
            }
            char c = *p++;
            if (c == '\\' && *p == '"') {
                out[o++] = '"';
                ++p;
                continue;
            }
            if (c == '"') {
                quoted = !quoted;
                continue;
            }
            if (c == ',' && !quoted) break;
            if (c == '(') ++depth;
            if (c == ')' && --depth < 0) {
                closed = true;
                break;
            }
            out[o++] = c;
        }
        out[o] = '\0';
        if (closed) return true;
    }
    return false;
}

bool ParseCommand(const char* text, const SectionState& section, ScriptLine* record) {
    size_t n = 0;
    for (; IsCommandNameChar(text[n]); ++n) {
        record->command[n] = FoldCase(text[n]);
    }
    if (text[n] != '(' || !CutArguments(text + n + 1, record)) return false;
    StoreWithSection(section, record);
    return true;
}

bool ParseWorkingText(const char* line, ParseContext* context, ScriptLine* record) {
    if (StartsWithNoCase(line, "if ")) return ParseIf(line, context->section, record);

    char text[kScriptTextSize];
    RemoveSpaces(line, text);
    if (text[0] == '[') {
        ParseSection(text, context);
        return false;
    }
    if (text[0] == ':') {
        // A label: no section, so it never runs; jumps land on it.
        CopyUntil(text, record->command, [](char c) { return c == '\n' || c == ' '; });
        return true;
    }
    if (StartsWithNoCase(text, "goto:")) {
        std::strcpy(record->command, "goto");
        CopyUntil(text + 4, record->args[1], [](char c) { return c == '\n'; });
        StoreWithSection(context->section, record);
        return true;
    }
    if (IsLetter(text[0]) && text[1] == '=') {
        record->command[0] = text[0];
        record->command[1] = '=';
        CopyUntil(text + 2, record->args[0], [](char c) { return c == '\n'; });
        StoreWithSection(context->section, record);
        return true;
    }
    return ParseCommand(text, context->section, record);
}

// ---- jumps --------------------------------------------------------------

// Labels compare without regard to ASCII case; two-byte characters compare
// exactly, so their second bytes are never folded.
bool SameLabel(const char* a, const char* b) {
    while (*a != '\0' && *b != '\0') {
        size_t n = CharLength(a);
        if (n != CharLength(b)) return false;
        if (n == 2 ? std::memcmp(a, b, 2) != 0 : FoldCase(*a) != FoldCase(*b)) return false;
        a += n;
        b += n;
    }
    return *a == *b;
}

// ---- the file -----------------------------------------------------------

void FreeLines() {
    for (int32_t i = 0; g_script.lines != nullptr && i < g_script.count; ++i) {
        std::free(g_script.lines[i].reserved);
    }
    std::free(g_script.lines);
    g_script.lines = nullptr;
    g_script.count = 0;
}

// Pieces (lines as read) in the file; capped where a table could not hold them.
int64_t CountPieces(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return -1;
    char piece[kScriptTextSize];
    int64_t count = 0;
    while (count < INT32_MAX && ReadScriptPiece(file, piece)) {
        ++count;
    }
    std::fclose(file);
    return count;
}

// Replaces the table with the file's lines.
void ReadScriptFile(const char* path, FilterTable* filter, FrameInfo* frame) {
    int64_t pieces = CountPieces(path);
    if (pieces < 0) return;
    FreeLines();
    // One record more than lines: room the table always had.
    int64_t capacity = pieces + 1;
    g_script.lines = static_cast<ScriptLine*>(
        capacity < INT32_MAX ? std::calloc(size_t(capacity), sizeof(ScriptLine)) : nullptr);
    if (g_script.lines == nullptr) {
        platform::ShowOutOfMemoryMessage();
        return;
    }
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return;
    ParseContext context;
    BeginParse(&context, frame->frame_count, filter->services, frame->edit_handle);
    char piece[kScriptTextSize];
    // The file may have grown since it was counted: the table never overflows.
    while (g_script.count < capacity && ReadScriptPiece(file, piece)) {
        if (ParseScriptLine(piece, &context, &g_script.lines[g_script.count])) ++g_script.count;
    }
    std::fclose(file);
    ResolveJumps(g_script.lines, g_script.count);
}

// Sets the script directory from the source path; false when the directory
// or the script path would not fit, and the load is skipped.
bool FormScriptPath(const char* source, char script_path[kScriptPathCapacity]) {
    size_t length = strnlen(source, kSourcePathScanLimit);
    size_t directory = platform::DirectoryPartLength(source, length);
    if (directory >= size_t(kScriptPathCapacity)) return false;
    std::memcpy(g_script_directory, source, directory);
    g_script_directory[directory] = '\0';
    size_t directory_length = std::strlen(g_script_directory);
    if (directory_length + sizeof kScriptFileName > size_t(kScriptPathCapacity)) return false;
    std::memcpy(script_path, g_script_directory, directory_length);
    std::memcpy(script_path + directory_length, kScriptFileName, sizeof kScriptFileName);
    return true;
}

}  // namespace

void BeginParse(ParseContext* context, int32_t frame_count, HostServices* services,
                void* edit_handle) {
    std::memset(context, 0, sizeof *context);
    context->section.end = frame_count;
    context->frame_count = frame_count;
    context->services = services;
    context->edit_handle = edit_handle;
}

bool ParseScriptLine(const char* text, ParseContext* context, ScriptLine* record) {
    char line[kScriptTextSize];
    size_t length = strnlen(text, kScriptTextSize - 1);
    std::memcpy(line, text, length);
    line[length] = '\0';
    // Comments, blank and indented lines start with anything else.
    if (line[0] != ':' && line[0] != '[' && !IsLetter(line[0])) return false;
    if (ParseWorkingText(line, context, record)) return true;
    std::memset(record, 0, sizeof *record);
    return false;
}

void ResolveJumps(ScriptLine* lines, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        ScriptLine& line = lines[i];
        if (std::strcmp(line.command, "if") != 0 && std::strcmp(line.command, "goto") != 0) {
            continue;
        }
        line.jump = -1;
        for (int32_t j = 0; j < count; ++j) {
            if (SameLabel(lines[j].command, line.args[1])) {
                line.jump = j;
                break;
            }
        }
    }
}

bool ReadScriptPiece(std::FILE* file, char piece[kScriptTextSize]) {
    size_t o = 0;
    while (o < size_t(kScriptTextSize - 1)) {
        int c = std::getc(file);
        if (c == EOF) break;
        if (c == '\r') {
            int next = std::getc(file);
            if (next == '\n') {
                c = '\n';
            } else if (next != EOF) {
                std::ungetc(next, file);
            }
        }
        piece[o++] = char(c);
        if (c == '\n') break;
    }
    piece[o] = '\0';
    return o > 0;
}

void LoadScript(FilterTable* filter, FrameInfo* frame) {
    HostServices* services = filter->services;
    if (services == nullptr || services->query_source_file == nullptr) return;
    SourceInfo source;
    std::memset(&source, 0, sizeof source);
    services->query_source_file(frame->edit_handle, &source);
    g_project_audio_rate = source.audio_rate;
    char script_path[kScriptPathCapacity];
    if (source.path == nullptr || !FormScriptPath(source.path, script_path)) return;

    int64_t now = platform::ClockSeconds();
    if (now == g_reload.checked_second) return;
    g_reload.checked_second = now;

    int64_t write_time;
    if (!platform::FileLastWriteTime(script_path, &write_time)) return;
    if (write_time == g_reload.write_time && frame->frame_count == g_reload.frame_count) return;
    g_reload.write_time = write_time;
    g_reload.frame_count = frame->frame_count;
    ReadScriptFile(script_path, filter, frame);
}

void FreeScript() {
    FreeLines();
    g_reload = ReloadMemory();
}
