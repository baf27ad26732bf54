// Finds "kinetra.txt" next to the project's source, decides whether to read
// it again, and parses it into the table of ScriptLine records.
#include "script/loader.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "formula/formula.h"
#include "platform/platform.h"
#include "script/encoding.h"

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
        size_t n = ScriptCharLength(from);
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
        size_t n = ScriptCharLength(p);
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

void StoreWithSection(const SectionState& section, ParsedLine* record) {
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
bool ParseIf(const char* text, const SectionState& section, ParsedLine* record) {
    const char* p = text + 2;  // " goto " may start at the space after "if"
    while (*p != '\0' && !(ScriptCharLength(p) == 1 && StartsWithNoCase(p, " goto "))) {
        p += ScriptCharLength(p);
    }
    if (*p == '\0') return false;
    const char* after_goto = p + 6;
    const char* colon = after_goto;
    while (*colon != '\0' && !(ScriptCharLength(colon) == 1 && *colon == ':')) {
        colon += ScriptCharLength(colon);
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
bool CutArguments(const char* p, ParsedLine* record) {
    for (int k = 0; k < kScriptArgCount; ++k) {
        char* out = record->args[k];
        size_t o = 0;
        bool quoted = false;
        int32_t depth = 0;
        bool closed = false;
        while (*p != '\0') {
            size_t n = ScriptCharLength(p);
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

bool ParseCommand(const char* text, const SectionState& section, ParsedLine* record) {
    size_t n = 0;
    for (; IsCommandNameChar(text[n]); ++n) {
        record->command[n] = FoldCase(text[n]);
    }
    if (text[n] != '(' || !CutArguments(text + n + 1, record)) return false;
    StoreWithSection(section, record);
    return true;
}

bool ParseWorkingText(const char* line, ParseContext* context, ParsedLine* record) {
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

// ---- storage ------------------------------------------------------------

}  // namespace

// A table's texts, programs and values, carved from large blocks that are
// freed together with the table: a line costs its real length, not the
// largest size a line could have.
struct ScriptStorage {
    struct Block {
        Block* next;
        size_t used;
        size_t size;
    };
    Block* blocks;
};

namespace {

constexpr size_t kStorageBlockSize = 64 * 1024;

size_t AlignUp(size_t n, size_t alignment) {
    return (n + alignment - 1) / alignment * alignment;
}

// `bytes` of storage aligned for any of the records kept in it; null when
// memory ran out.
void* Allocate(ScriptStorage* storage, size_t bytes) {
    constexpr size_t kAlign = alignof(std::max_align_t);
    const size_t header = AlignUp(sizeof(ScriptStorage::Block), kAlign);
    bytes = AlignUp(bytes, alignof(double));
    ScriptStorage::Block* block = storage->blocks;
    if (block == nullptr || block->size - block->used < bytes) {
        size_t size = std::max(kStorageBlockSize, header + bytes);
        block = static_cast<ScriptStorage::Block*>(std::malloc(size));
        if (block == nullptr) return nullptr;
        block->next = storage->blocks;
        block->used = header;
        block->size = size;
        storage->blocks = block;
    }
    void* p = reinterpret_cast<char*>(block) + block->used;
    block->used += bytes;
    return p;
}

const char* StoreText(ScriptStorage* storage, const char* text) {
    size_t length = std::strlen(text) + 1;
    char* copy = static_cast<char*>(Allocate(storage, length));
    if (copy != nullptr) std::memcpy(copy, text, length);
    return copy;
}

// The text and its compiled program; false when memory ran out.
bool StoreExpression(ScriptStorage* storage, CFormula* formula, const char* text, ScriptText* out) {
    out->text = StoreText(storage, text);
    if (out->text == nullptr) return false;
    out->program = nullptr;
    if (formula->Compile(text) != 0) return true;
    size_t bytes = sizeof(FormulaToken) * size_t(formula->ProgramLength());
    FormulaToken* program = static_cast<FormulaToken*>(Allocate(storage, bytes));
    if (program == nullptr) return false;
    std::memcpy(program, formula->program, bytes);
    out->program = program;
    return true;
}

// Lines that no handler takes: jumps, labels and assignments.
bool TakesNoHandler(const char* command) {
    return command[0] == ':' || command[1] == '=' || std::strcmp(command, "if") == 0 ||
           std::strcmp(command, "goto") == 0;
}

// ---- jumps --------------------------------------------------------------

// Labels compare without regard to ASCII case; multi-byte characters compare
// exactly, so their later bytes are never folded.
bool SameLabel(const char* a, const char* b) {
    while (*a != '\0' && *b != '\0') {
        size_t n = ScriptCharLength(a);
        if (n != ScriptCharLength(b)) return false;
        if (n > 1 ? std::memcmp(a, b, n) != 0 : FoldCase(*a) != FoldCase(*b)) return false;
        a += n;
        b += n;
    }
    return *a == *b;
}

// A label as its lookup key: single-byte characters folded to lower case,
// multi-byte characters kept as they are, so two labels have the same key
// exactly when they match without regard to ASCII case.
std::string LabelKey(const char* label) {
    std::string key;
    while (*label != '\0') {
        size_t n = ScriptCharLength(label);
        if (n > 1) {
            key.append(label, n);
        } else {
            key += FoldCase(*label);
        }
        label += n;
    }
    return key;
}

// ---- the file -----------------------------------------------------------

void FreeLines() {
    FreeScriptTable(&g_script);
}

// Makes a parsed line all zero again, touching only the bytes its texts use
// (every text ends in a NUL with only zero bytes after it).
void ClearParsedLine(ParsedLine* parsed) {
    auto clear = [](char* text) { std::memset(text, 0, std::strlen(text)); };
    clear(parsed->condition);
    clear(parsed->command);
    for (char* text : parsed->args)
        clear(text);
    parsed->start = parsed->end = parsed->jump = parsed->source_line = 0;
}

// Pieces (lines as read) in the file; capped where a table could not hold them.
int64_t CountPieces(const char* path) {
    std::FILE* file = platform::OpenRegularFile(path);
    if (file == nullptr) return -1;
    char piece[kScriptTextSize];
    int64_t count = 0;
    while (count < INT32_MAX && ReadScriptPiece(file, piece)) {
        ++count;
    }
    std::fclose(file);
    return count;
}

// The file's encoding and the byte-order mark it starts with, from all of its
// bytes; Shift-JIS without a mark when it cannot be read.
ScriptEncoding DetectFileEncoding(const char* path, ByteOrderMark* mark) {
    *mark = ByteOrderMark::kNone;
    std::FILE* file = platform::OpenRegularFile(path);
    if (file == nullptr) return ScriptEncoding::kShiftJis;
    char* bytes = nullptr;
    size_t size = 0;
    char chunk[4096];
    bool failed = false;
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
        char* grown = static_cast<char*>(std::realloc(bytes, size + got));
        if (grown == nullptr) {
            failed = true;
            break;
        }
        bytes = grown;
        std::memcpy(bytes + size, chunk, got);
        size += got;
    }
    std::fclose(file);
    ScriptEncoding encoding =
        failed ? ScriptEncoding::kShiftJis : DetectScriptEncoding(bytes, size);
    if (!failed) *mark = FindByteOrderMark(bytes, size);
    std::free(bytes);
    return encoding;
}

// Replaces the table with the file's lines.
void ReadScriptFile(const char* path, FilterTable* filter, FrameInfo* frame) {
    int64_t pieces = CountPieces(path);
    if (pieces < 0) return;
    ByteOrderMark mark;
    ScriptEncoding encoding = DetectFileEncoding(path, &mark);
    FreeLines();
    // A UTF-16 file read byte by byte would be lines of NULs and stray
    // letters: none of it runs (the host's check says why).
    if (mark == ByteOrderMark::kUtf16) return;
    // One record more than lines: room the table always had.
    int64_t capacity = pieces + 1;
    g_script.lines = static_cast<ScriptLine*>(
        capacity < INT32_MAX ? std::calloc(size_t(capacity), sizeof(ScriptLine)) : nullptr);
    g_script.storage = static_cast<ScriptStorage*>(std::calloc(1, sizeof(ScriptStorage)));
    if (g_script.lines == nullptr || g_script.storage == nullptr) {
        FreeLines();
        platform::ShowOutOfMemoryMessage();
        return;
    }
    g_script_encoding = encoding;
    std::FILE* file = platform::OpenRegularFile(path);
    if (file == nullptr) return;
    SkipUtf8Mark(file);
    ParseContext context;
    BeginParse(&context, frame->frame_count, filter->services, frame->edit_handle);
    char piece[kScriptTextSize];
    // One parsed line at a time, on the heap: it holds every text at its
    // largest size.
    ParsedLine* parsed = static_cast<ParsedLine*>(std::malloc(sizeof(ParsedLine)));
    bool stored = parsed != nullptr;
    if (parsed != nullptr) std::memset(parsed, 0, sizeof *parsed);
    // Lines of the file, for run-time reports: the tail of a line longer
    // than a piece is read as a line of its own but keeps the file's number.
    int32_t source_line = 1;
    // The file may have grown since it was counted: the table never overflows.
    while (stored && g_script.count < capacity && ReadScriptPiece(file, piece)) {
        if (ParseScriptLine(piece, &context, parsed)) {
            parsed->source_line = source_line;
            stored = StoreScriptLine(&g_script, *parsed);
            ClearParsedLine(parsed);
        }
        size_t length = std::strlen(piece);
        if (length > 0 && piece[length - 1] == '\n' && source_line < INT32_MAX) ++source_line;
    }
    std::free(parsed);
    std::fclose(file);
    if (!stored) {
        // Out of memory part way: no half script runs.
        FreeLines();
        platform::ShowOutOfMemoryMessage();
        return;
    }
    ResolveJumps(&g_script);
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

bool ParseScriptLine(const char* text, ParseContext* context, ParsedLine* record) {
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

bool StoreScriptLine(ScriptTable* table, const ParsedLine& parsed) {
    if (table->storage == nullptr) {
        table->storage = static_cast<ScriptStorage*>(std::calloc(1, sizeof(ScriptStorage)));
        if (table->storage == nullptr) return false;
    }
    ScriptStorage* storage = table->storage;
    ScriptLine& line = table->lines[table->count];
    std::memset(&line, 0, sizeof line);
    line.start = parsed.start;
    line.end = parsed.end;
    line.source_line = parsed.source_line;
    line.command = StoreText(storage, parsed.command);
    if (line.command == nullptr) return false;

    CFormula formula;
    if (parsed.condition[0] != '\0') {
        // The lines of a section share its condition.
        const ScriptLine* previous = table->count > 0 ? &table->lines[table->count - 1] : nullptr;
        if (previous != nullptr && previous->condition != nullptr &&
            std::strcmp(previous->condition->text, parsed.condition) == 0) {
            line.condition = previous->condition;
        } else {
            ScriptText* condition = static_cast<ScriptText*>(Allocate(storage, sizeof(ScriptText)));
            if (condition == nullptr ||
                !StoreExpression(storage, &formula, parsed.condition, condition)) {
                return false;
            }
            line.condition = condition;
        }
    }

    int32_t arg_count = kScriptArgCount;
    while (arg_count > 0 && parsed.args[arg_count - 1][0] == '\0')
        --arg_count;
    if (arg_count > 0) {
        ScriptText* args =
            static_cast<ScriptText*>(Allocate(storage, sizeof(ScriptText) * size_t(arg_count)));
        if (args == nullptr) return false;
        for (int32_t k = 0; k < arg_count; ++k) {
            if (!StoreExpression(storage, &formula, parsed.args[k], &args[k])) return false;
        }
        line.args = args;
        line.arg_count = arg_count;
    }
    if (!TakesNoHandler(line.command)) {
        line.values = static_cast<double*>(Allocate(storage, sizeof(double) * kScriptArgCount));
        if (line.values == nullptr) return false;
        std::fill(line.values, line.values + kScriptArgCount, 0.0);
    }
    ++table->count;
    return true;
}

// The first line whose command is `label`, or -1, by walking the table: for
// the rare jump whose label does not begin with ':' (a command line written
// as if(...)), which may name any line's command.
int32_t FindCommandLine(const ScriptTable& table, const char* label) {
    for (int32_t j = 0; j < table.count; ++j) {
        const char* command = table.lines[j].command;
        if (SameLabel(command != nullptr ? command : "", label)) return j;
    }
    return -1;
}

void ResolveJumps(ScriptTable* table) {
    // Only label lines have commands that begin with ':', so a label that
    // does is looked up among them: the first line of each key.
    std::unordered_map<std::string, int32_t> labels;
    for (int32_t i = 0; i < table->count; ++i) {
        const char* command = table->lines[i].command;
        if (command != nullptr && command[0] == ':') labels.emplace(LabelKey(command), i);
    }
    for (int32_t i = 0; i < table->count; ++i) {
        ScriptLine& line = table->lines[i];
        if (line.command == nullptr ||
            (std::strcmp(line.command, "if") != 0 && std::strcmp(line.command, "goto") != 0)) {
            continue;
        }
        const char* label = line.arg_count > 1 ? line.args[1].text : "";
        if (label[0] != ':') {
            line.jump = FindCommandLine(*table, label);
            continue;
        }
        auto found = labels.find(LabelKey(label));
        line.jump = found != labels.end() ? found->second : -1;
    }
}

void FreeScriptTable(ScriptTable* table) {
    for (int32_t i = 0; table->lines != nullptr && i < table->count; ++i) {
        std::free(table->lines[i].reserved);
    }
    std::free(table->lines);
    if (table->storage != nullptr) {
        ScriptStorage::Block* block = table->storage->blocks;
        while (block != nullptr) {
            ScriptStorage::Block* next = block->next;
            std::free(block);
            block = next;
        }
        std::free(table->storage);
    }
    table->lines = nullptr;
    table->count = 0;
    table->storage = nullptr;
}

void SkipUtf8Mark(std::FILE* file) {
    unsigned char mark[kUtf8MarkSize];
    size_t got = std::fread(mark, 1, sizeof mark, file);
    if (got == sizeof mark &&
        FindByteOrderMark(reinterpret_cast<const char*>(mark), got) == ByteOrderMark::kUtf8) {
        return;
    }
    std::rewind(file);
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
