#include "checker/check.h"

#include <fontconfig/fontconfig.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>

#include "base/ffmpeg_util.h"
#include "base/paths.h"
#include "base/shown_text.h"
#include "checker/script_pieces.h"
#include "checker/script_slips.h"
#include "checker/segment_safety.h"
#include "formula/formula.h"
#include "script/command_table.h"
#include "script/encoding.h"
#include "script/loader.h"
#include "script/script.h"
#include "source/picture_file.h"
#include "source/video_source.h"

namespace {

bool IsDirectory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The line without its line end, for quoting in messages.
std::string Shown(const std::string& text) {
    std::string shown = text;
    while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r'))
        shown.pop_back();
    return shown;
}

// Bytes of the character at text[i] in the script's encoding.
size_t CharAt(const std::string& text, size_t i) {
    return ScriptCharLength(text.c_str() + i);
}

// The line with spaces outside double quotes removed, as the loader reads it.
std::string WithoutSpaces(const std::string& line) {
    std::string out;
    bool quoted = false;
    for (size_t i = 0; i < line.size();) {
        size_t n = CharAt(line, i);
        if (n == 1 && line[i] == '"') quoted = !quoted;
        if (!(n == 1 && line[i] == ' ' && !quoted)) out.append(line, i, n);
        i += n;
    }
    return out;
}

// True when the double quotes of a command line are balanced (\" is a quote
// character inside a string, not a delimiter).
bool QuotesClosed(const std::string& text) {
    bool quoted = false;
    for (size_t i = 0; i < text.size();) {
        size_t n = CharAt(text, i);
        if (n == 1 && text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '"') {
            i += 2;
            continue;
        }
        if (n == 1 && text[i] == '"') quoted = !quoted;
        i += n;
    }
    return !quoted;
}

bool Compiles(const char* text) {
    std::unique_ptr<CFormula> formula(new CFormula());
    return formula->Compile(text) == 0;
}

size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// fontconfig's family for a face name (UTF-8), and whether it is that face.
std::string FontFamilyUsed(FcConfig* config, const std::string& face, bool* same) {
    *same = false;
    if (config == nullptr) return "";
    FcPattern* pattern = FcPatternCreate();
    std::string used;
    if (pattern != nullptr) {
        FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(face.c_str()));
        FcPatternAddString(pattern, FC_LANG, reinterpret_cast<const FcChar8*>("ja"));
        FcConfigSubstitute(config, pattern, FcMatchPattern);
        FcDefaultSubstitute(pattern);
        FcResult result = FcResultNoMatch;
        FcPattern* font = FcFontMatch(config, pattern, &result);
        if (font != nullptr) {
            FcChar8* name = nullptr;
            for (int n = 0; FcPatternGetString(font, FC_FAMILY, n, &name) == FcResultMatch; ++n) {
                if (n == 0) used = reinterpret_cast<const char*>(name);
                if (FcStrCmpIgnoreCase(name, reinterpret_cast<const FcChar8*>(face.c_str())) == 0) {
                    *same = true;
                    used = reinterpret_cast<const char*>(name);
                }
            }
            FcPatternDestroy(font);
        }
        FcPatternDestroy(pattern);
    }
    return used;
}

// Families scripts name for the host platform's standard faces, which the
// text engine replaces by installed ones of the same kind.
bool IsStandInFace(const std::string& face) {
    static const char* const kStandIns[] = {
        "\xef\xbc\xad\xef\xbc\xb3 \xe3\x82\xb4\xe3\x82\xb7\xe3\x83\x83\xe3\x82\xaf",  // ＭＳ
                                                                                      // ゴシック
        "MS Gothic", "MS PGothic", "MS Mincho", "MS PMincho"};
    for (const char* name : kStandIns) {
        if (FcStrCmpIgnoreCase(reinterpret_cast<const FcChar8*>(name),
                               reinterpret_cast<const FcChar8*>(face.c_str())) == 0) {
            return true;
        }
    }
    return false;
}

// A face name as UTF-8 (Shift-JIS names are converted).
std::string FaceAsUtf8(const std::string& face);

// What trying a named file as the host reads it found.
struct FileTried {
    bool missing = false;
    std::string problem;  // why the host cannot read it; empty: it can
};

// Tries the file at `path` as the host's media services read it for the
// line: a picture is decoded (one picture is quick), a video only opened
// and its video stream looked for (its frames are counted and decoded only
// when the script runs).
FileTried TryFile(const std::string& path, bool picture) {
    FileTried tried;
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        tried.missing = errno == ENOENT || errno == ENOTDIR;
        tried.problem = std::strerror(errno);
        return tried;
    }
    if (S_ISDIR(info.st_mode)) {
        tried.problem = "it is a directory";
    } else if (!S_ISREG(info.st_mode)) {
        tried.problem = "it is not a regular file (only regular files are read)";
    } else if (picture) {
        FramePtr frame;
        if (!DecodeFirstPicture(path, &frame, &tried.problem)) return tried;
        tried.problem.clear();
    } else {
        InputPtr input = OpenInput(path, &tried.problem);
        if (input && FindStream(input.get(), AVMEDIA_TYPE_VIDEO) < 0) {
            tried.problem = "it has no video stream";
        } else if (input) {
            tried.problem.clear();
        }
    }
    return tried;
}

class Checker {
  public:
    Checker(const std::string& path, const CheckContext& context, ScriptCheck* out)
        : directory_(DirectoryOf(path)), context_(context), out_(out) {}
    ~Checker() {
        if (fonts_ != nullptr) FcConfigDestroy(fonts_);
    }
    Checker(const Checker&) = delete;
    Checker& operator=(const Checker&) = delete;

    void Run(const std::string& text);

  private:
    // Script text quoted in a message: in UTF-8 and visible (shown_text.h).
    std::string Quoted(const std::string& text) const {
        return "'" + ShownScriptText(text, out_->utf8) + "'";
    }
    void Error(int32_t line, const std::string& message) {
        out_->findings.push_back({line, FindingSeverity::kError, message});
    }
    void Warning(int32_t line, const std::string& message) {
        out_->findings.push_back({line, FindingSeverity::kWarning, message});
    }

    void CheckSection(int32_t line, const std::string& text, const SectionState& section);
    void CheckStored(int32_t line, const std::string& text, const ParsedLine& record);
    void CheckCommand(int32_t line, const std::string& text, const ParsedLine& record);
    void CheckArgument(int32_t line, const CommandRow& row, int32_t k, const char* text,
                       int32_t given);
    void CheckFile(int32_t line, const CommandRow& row, const std::string& which,
                   const std::string& file);
    void CheckFace(int32_t line, const char* text);
    void CheckNotStored(int32_t line, const std::string& text);
    void CheckJumps();

    std::string directory_;
    CheckContext context_;
    ScriptCheck* out_;
    // Each record's command and argument text 1 (the label a jump names).
    std::vector<std::pair<std::string, std::string>> records_;
    FcConfig* fonts_ = nullptr;  // loaded at the first font face checked
    // By path and whether it was read as a picture: each is tried once.
    std::map<std::pair<std::string, bool>, FileTried> files_tried_;
};

void Checker::Run(const std::string& text) {
    int32_t frame_count = context_.frame_count < 0 ? INT32_MAX : context_.frame_count;
    ForEachScriptPiece(text, frame_count, [&](const ScriptPiece& piece) {
        if (piece.cut && !piece.continued) {
            Error(piece.line,
                  "line is longer than 511 bytes: the rest, from byte 512 on, is read as a line "
                  "of its own");
        }
        char first = piece.text.empty() ? '\0' : piece.text[0];
        if (piece.stored) {
            records_.emplace_back(piece.record->command, piece.record->args[1]);
            out_->record_lines.push_back(piece.line);
            CheckStored(piece.line, piece.text, *piece.record);
        } else if (first == '[') {
            CheckSection(piece.line, piece.text, *piece.section);
        } else if ((first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z') ||
                   first == ':') {
            CheckNotStored(piece.line, piece.text);
        } else if (!piece.continued) {
            FindIndentedCommand(piece.line, piece.text, out_->utf8, &out_->findings);
        }
    });
    CheckJumps();
    std::stable_sort(
        out_->findings.begin(), out_->findings.end(),
        [](const ScriptFinding& a, const ScriptFinding& b) { return a.line < b.line; });
}

void Checker::CheckSection(int32_t line, const std::string& text, const SectionState& section) {
    std::string header = Shown(WithoutSpaces(text));
    if (header.size() > 1 && header[1] == '"') {
        size_t close = header.find('"', 2);
        if (close == std::string::npos) {
            Error(line,
                  "condition section is never closed (no second '\"'): its condition never "
                  "holds, so the lines under it never run");
        } else if (!Compiles(section.condition)) {
            Error(line, "section condition " + Quoted(section.condition) +
                            " does not compile: the lines under it never run");
        }
        return;
    }
    // [A-B], [A-], [-B], [A]: digits, one '-', digits, ']'.
    size_t i = 1;
    while (i < header.size() && std::isdigit(static_cast<unsigned char>(header[i])))
        ++i;
    if (i < header.size() && header[i] == '-') ++i;
    while (i < header.size() && std::isdigit(static_cast<unsigned char>(header[i])))
        ++i;
    bool well_formed = i < header.size() && header[i] == ']';
    std::string range =
        "frames " + std::to_string(section.start) + ".." +
        (context_.frame_count < 0 && section.end == INT32_MAX ? std::string("the end")
                                                              : std::to_string(section.end));
    if (!well_formed && i == header.size() && i > 1) {
        // Only the ']' is missing: the numbers read as they were meant.
        Warning(line, "section header " + Quoted(header) + " has no closing ']'; it is read as " +
                          range + " all the same: add the ']'");
    } else if (!well_formed) {
        Error(line, "section header " + Quoted(header) + " is read as " + range +
                        "; write a range of frames as [10-20], [10-] or [-20]");
    }
    if (section.start > section.end) {
        Error(line, "section " + Quoted(header) + " never applies: it starts after it ends");
    } else if (context_.frame_count >= 0 && section.end > context_.frame_count) {
        Warning(line, "section " + Quoted(header) + " ends at frame " +
                          std::to_string(section.end) + ", past the project's " +
                          std::to_string(context_.frame_count) +
                          " frames: the project is lengthened to " + std::to_string(section.end) +
                          " frames");
    }
}

void Checker::CheckStored(int32_t line, const std::string& text, const ParsedLine& record) {
    const std::string command = record.command;
    if (command[0] == ':') return;  // labels: duplicates are found with the jumps
    if (command == "if") {
        if (!Compiles(record.args[0])) {
            Error(line, "the condition " + Quoted(record.args[0]) +
                            " does not compile: the jump is never taken");
        }
        return;
    }
    if (command == "goto") return;
    if (command.size() == 2 && command[1] == '=') {
        if (!Compiles(record.args[0])) {
            Error(line, "the expression " + Quoted(record.args[0]) +
                            " does not compile: " + command.substr(0, 1) + " gets 0");
        }
        return;
    }
    CheckCommand(line, text, record);
}

void Checker::CheckCommand(int32_t line, const std::string& text, const ParsedLine& record) {
    const std::string name = record.command;
    if (!QuotesClosed(WithoutSpaces(text))) {
        Error(line, "unterminated string: a '\"' is never closed");
    }
    const CommandRow* row = FindAnyCommand(name.c_str());
    if (row == nullptr) {
        std::string nearest = NearestCommandName(name);
        Error(line, "unknown command '" + name + "'" +
                        (nearest.empty() ? std::string(": the line does nothing")
                                         : ": did you mean '" + nearest + "'?"));
        return;
    }
    int32_t given = 0;
    for (int32_t k = 0; k < kScriptArgCount; ++k) {
        if (record.args[k][0] != '\0') given = k + 1;
    }
    int32_t needed =
        row->argument_count > row->described ? row->described - 1 : row->argument_count;
    if (given > row->argument_count) {
        Error(line, "too many arguments: '" + name + "' takes " +
                        std::to_string(row->argument_count) + ", this line has " +
                        std::to_string(given));
    } else if (given < needed) {
        out_->findings.push_back(MissingArgumentsFinding(line, *row, given, needed));
    }
    for (int32_t k = 0; k < std::min(given, row->argument_count); ++k) {
        CheckArgument(line, *row, k, record.args[k], given);
    }
    FindArgumentSlips(line, text, record, *row, std::min(given, row->argument_count), out_->utf8,
                      &out_->findings);
}

void Checker::CheckArgument(int32_t line, const CommandRow& row, int32_t k, const char* text,
                            int32_t given) {
    const CommandArgument* argument = ArgumentAt(row, k);
    std::string which = "argument " + std::to_string(k + 1) + " (" + argument->name + ")";
    switch (argument->kind) {
        case ArgumentKind::kNumber:
        case ArgumentKind::kBuffer: {
            if (!Compiles(text)) {
                Error(line, which + " " + Quoted(text) + " does not compile: it counts as 0");
                return;
            }
            double value = 0;
            if (argument->kind == ArgumentKind::kBuffer && ConstantValue(text, &value) &&
                !(value > -1.0 && value < 10.0)) {
                Error(line, which + " is buffer " + ShownScriptText(text, out_->utf8) +
                                ", outside 0..9: the line does nothing");
            }
            return;
        }
        case ArgumentKind::kFile:
            CheckFile(line, row, which, text);
            return;
        case ArgumentKind::kFace:
            CheckFace(line, text);
            return;
        case ArgumentKind::kFormat: {
            // The plug-in's own test of the format; the values are the
            // arguments after it.
            int32_t conversions = Text2FormatConversions(text);
            int32_t values = given - (k + 1);
            if (conversions < 0) {
                Error(line, which + " " + Quoted(text) +
                                " is not a format the line can draw (only %f %e %g %a "
                                "conversions, widths and precisions of up to 3 digits, at most "
                                "15 conversions, and %%): the line draws nothing");
            } else if (conversions > values) {
                Warning(line, which + " has " + std::to_string(conversions) +
                                  " conversions but the line gives " + std::to_string(values) +
                                  (values == 1 ? " value" : " values") + ": the rest show 0");
            }
            return;
        }
        case ArgumentKind::kText:
            return;
    }
}

void Checker::CheckFile(int32_t line, const CommandRow& row, const std::string& which,
                        const std::string& file) {
    if (file.empty()) {
        Error(line, which + ": no file named");
        return;
    }
    std::string path = file[0] == '/' ? file : directory_ + file;
    out_->files.push_back({path, line});
    bool picture = std::strcmp(row.name, "readimage") == 0;
    auto found = files_tried_.find({path, picture});
    if (found == files_tried_.end()) {
        found = files_tried_.emplace(std::make_pair(path, picture), TryFile(path, picture)).first;
    }
    const FileTried& tried = found->second;
    if (tried.problem.empty()) return;
    if (tried.missing) {
        Error(line, which + ": file " + Quoted(file) + " does not exist" +
                        (file[0] == '/' ? std::string() : " (looked in " + directory_ + ")"));
    } else {
        Error(line, which + ": file " + Quoted(file) + " cannot be read: " + tried.problem);
    }
    out_->reported_files.push_back({AbsolutePath(path), line});
}

void Checker::CheckFace(int32_t line, const char* text) {
    std::string face = FaceAsUtf8(text);
    if (face.empty() || IsStandInFace(face)) return;
    bool same = false;
    if (fonts_ == nullptr) fonts_ = FcInitLoadConfigAndFonts();
    std::string used = FontFamilyUsed(fonts_, face, &same);
    if (!same) {
        Warning(line, "font face '" + VisibleText(face) + "' is not installed: '" +
                          (used.empty() ? std::string("the default face") : VisibleText(used)) +
                          "' is used instead");
    }
}

void Checker::CheckNotStored(int32_t line, const std::string& text) {
    std::string shown = Shown(text);
    std::string lower;
    for (size_t i = 0; i < 3 && i < shown.size(); ++i)
        lower += char(std::tolower(shown[i]));
    if (lower == "if ") {
        Error(line, "'if' needs the form 'if EXPRESSION goto :LABEL': the line is ignored");
        return;
    }
    std::string working = WithoutSpaces(shown);
    size_t n = 0;
    while (n < working.size() && (std::isalnum(static_cast<unsigned char>(working[n])) ||
                                  working[n] == '_' || working[n] == '-')) {
        ++n;
    }
    if (n < working.size() && working[n] == '(') {
        if (!QuotesClosed(working)) {
            Error(line,
                  "unterminated string: a '\"' is never closed, so the argument list never "
                  "ends and the line is ignored");
        } else {
            Error(line,
                  "the argument list is not closed by ')' within 20 arguments: the line is "
                  "ignored");
        }
        return;
    }
    Error(line, Quoted(shown) +
                    " is not a command, assignment, jump or label: the line is ignored "
                    "(comments start with anything but a letter, ':' or '[')");
}

void Checker::CheckJumps() {
    // The loader's own jump resolution on a table of the records' commands
    // and labels, followed by one probe "goto LABEL" per label line: a probe
    // lands on the first label of that name, which for a label defined again
    // is an earlier line.
    std::vector<size_t> labels;
    for (size_t i = 0; i < records_.size(); ++i) {
        if (records_[i].first[0] == ':') labels.push_back(i);
    }
    size_t capacity = records_.size() + labels.size();
    ScriptTable table{};
    table.lines = static_cast<ScriptLine*>(std::calloc(capacity + 1, sizeof(ScriptLine)));
    std::unique_ptr<ParsedLine> parsed(new ParsedLine());
    bool stored = table.lines != nullptr;
    auto store = [&](const std::string& command, const std::string& label) {
        std::memset(parsed.get(), 0, sizeof *parsed);
        std::snprintf(parsed->command, sizeof parsed->command, "%s", command.c_str());
        std::snprintf(parsed->args[1], sizeof parsed->args[1], "%s", label.c_str());
        stored = stored && StoreScriptLine(&table, *parsed);
    };
    for (const auto& record : records_)
        store(record.first, record.second);
    for (size_t i : labels)
        store("goto", records_[i].first);
    if (!stored) {
        FreeScriptTable(&table);
        Error(0, "out of memory: jumps and labels were not checked");
        return;
    }
    ResolveJumps(&table);
    for (size_t n = 0; n < labels.size(); ++n) {
        size_t i = labels[n];
        int32_t first = table.lines[records_.size() + n].jump;
        if (first >= 0 && size_t(first) < i) {
            Error(out_->record_lines[i], "label " + Quoted(records_[i].first) +
                                             " is defined again (first on line " +
                                             std::to_string(out_->record_lines[size_t(first)]) +
                                             "): jumps go to the first");
        }
    }
    for (size_t i = 0; i < records_.size(); ++i) {
        const std::string& command = records_[i].first;
        bool jump = command == "if" || command == "goto";
        if (jump && table.lines[i].jump < 0) {
            Error(out_->record_lines[i], "no label " + Quoted(records_[i].second) +
                                             " in the script: the jump is never taken");
        }
    }
    FreeScriptTable(&table);
}

std::string FaceAsUtf8(const std::string& face) {
    if (g_script_encoding == ScriptEncoding::kUtf8) return face;
    bool ascii = std::all_of(face.begin(), face.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) return face;
    // Shift-JIS names: the stand-in faces the engine replaces are checked by
    // their Shift-JIS bytes; other names are not looked up.
    static const char kGothic[] = "\x82\x6c\x82\x72\x20\x83\x53\x83\x56\x83\x62\x83\x4e";
    if (face == kGothic) return "MS Gothic";
    return "";
}

// The findings for a script as ReadScript left it: one saying why when it
// could not be read (`error`, ReadScript's reason).
ScriptCheck CheckRead(const ScriptRead& script, const CheckContext& context,
                      const std::string& error) {
    if (script.read) return CheckScriptText(script.text, script.path, context);
    ScriptCheck check;
    check.path = script.path;
    std::string why = error;
    if (!script.exists && error.empty()) {
        why = "cannot read the script: " + std::string(std::strerror(ENOENT));
    } else if (IsDirectory(script.path)) {
        why = "is a directory, not a script";
    }
    check.findings.push_back({0, FindingSeverity::kError, why});
    return check;
}

}  // namespace

int32_t ScriptCheck::errors() const {
    return int32_t(std::count_if(findings.begin(), findings.end(), [](const ScriptFinding& f) {
        return f.severity == FindingSeverity::kError;
    }));
}

int32_t ScriptCheck::warnings() const {
    return int32_t(findings.size()) - errors();
}

std::string ScriptPathFor(const std::string& target) {
    if (target.empty()) return kScriptFileName;
    if (IsDirectory(target)) return target + (EndsWith(target, "/") ? "" : "/") + kScriptFileName;
    if (EndsWith(target, ".txt")) return target;
    return target.find('/') == std::string::npos ? kScriptFileName : ScriptBeside(target);
}

std::string NearestCommandName(const std::string& name) {
    std::string best;
    size_t best_distance = SIZE_MAX;
    for (const CommandTable* table : {&kVideoCommandTable, &kAudioCommandTable}) {
        for (int32_t i = 0; i < table->count; ++i) {
            size_t d = EditDistance(name, table->rows[i].name);
            if (d < best_distance) {
                best_distance = d;
                best = table->rows[i].name;
            }
        }
    }
    // Close enough to be a slip: a third of the name, at least two edits.
    size_t limit = std::max<size_t>(2, name.size() / 3);
    return best_distance <= limit ? best : std::string();
}

ScriptCheck CheckScriptText(const std::string& text, const std::string& path,
                            const CheckContext& context) {
    ScriptCheck check;
    check.path = path;
    if (FindByteOrderMark(text.data(), text.size()) == ByteOrderMark::kUtf16) {
        check.findings.push_back({0, FindingSeverity::kError, kUtf16ScriptRefusal});
        return check;
    }
    check.read = true;
    ScriptEncoding saved = g_script_encoding;
    g_script_encoding = DetectScriptEncoding(text.data(), text.size());
    check.utf8 = g_script_encoding == ScriptEncoding::kUtf8;
    check.ascii = std::all_of(text.begin(), text.end(),
                              [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    Checker(path, context, &check).Run(text);
    g_script_encoding = saved;
    return check;
}

ScriptCheck CheckScriptFile(const std::string& path, const CheckContext& context) {
    ScriptRead script;
    std::string error;
    ReadScript(path, &script, &error);
    return CheckRead(script, context, error);
}

std::string FormatFinding(const std::string& path, const ScriptFinding& finding) {
    std::string where = finding.line > 0 ? path + ":" + std::to_string(finding.line) : path;
    return where + ": " + (finding.severity == FindingSeverity::kError ? "error: " : "warning: ") +
           finding.message;
}

std::string FormatCheckSummary(const ScriptCheck& check) {
    auto count = [](int32_t n, const char* word) {
        return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
    };
    std::string summary = check.path + ": " + count(check.errors(), "error") + ", " +
                          count(check.warnings(), "warning");
    if (check.read && check.ascii) {
        summary += " (ASCII)";
    } else if (check.read) {
        summary += check.utf8 ? " (read as UTF-8)" : " (read as Shift-JIS)";
    }
    return summary;
}

std::string FormatRunFailure(const std::string& path, const KinetraRunFailure& failure, bool utf8) {
    std::string message(failure.message, strnlen(failure.message, sizeof failure.message));
    return path + ":" + std::to_string(failure.line) + ": error at frame " +
           std::to_string(failure.frame) + ": " + ShownScriptText(message, utf8);
}

CheckTold ToldByCheck(const ScriptCheck& check) {
    CheckTold told;
    for (const auto& file : check.reported_files) {
        told.files.insert(file.first);
        told.file_lines.insert(file.second);
    }
    told.lines = told.file_lines;
    for (const ScriptFinding& finding : check.findings) {
        if (finding.severity == FindingSeverity::kError) told.lines.insert(finding.line);
    }
    return told;
}

std::map<std::string, std::string> FileLineNotes(const ScriptCheck& check) {
    std::map<std::string, std::string> notes;
    for (const auto& file : check.files) {
        std::string& note = notes[file.first];
        note += (note.empty() ? "script line " : ", ") + std::to_string(file.second);
    }
    return notes;
}

bool ReportScriptCheck(const ScriptRead& script, int32_t frame_count, ScriptCheck* result) {
    ScriptCheck check = CheckForRender(script, frame_count);
    if (result != nullptr) *result = check;
    return PrintScriptCheck(check);
}

ScriptCheck CheckForRender(const ScriptRead& script, int32_t frame_count) {
    CheckContext context;
    context.frame_count = frame_count;
    return CheckRead(script, context, "cannot read the script");
}

bool PrintScriptCheck(const ScriptCheck& check) {
    constexpr size_t kMostLines = 20;
    if (check.findings.empty()) return true;
    for (size_t i = 0; i < check.findings.size() && i < kMostLines; ++i) {
        std::fprintf(stderr, "%s\n", FormatFinding(check.path, check.findings[i]).c_str());
    }
    if (check.findings.size() > kMostLines) {
        std::fprintf(stderr, "... and %zu more (kinetra check %s lists them all)\n",
                     check.findings.size() - kMostLines, check.path.c_str());
    }
    std::fprintf(stderr, "%s\n", FormatCheckSummary(check).c_str());
    return check.errors() == 0;
}

std::string FormatSourceFacts(const std::string& source, int32_t frame_count, double fps,
                              int32_t width, int32_t height) {
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.3f", fps);
    std::string shown = rate;
    while (shown.back() == '0')
        shown.pop_back();
    if (shown.back() == '.') shown.pop_back();
    return source + ": " + std::to_string(frame_count) + " frames at " + shown +
           " fps: one second is " + std::to_string(std::lround(fps)) + " frames (" +
           std::to_string(width) + " x " + std::to_string(height) + ")";
}

int RunCheck(const std::string& target, bool strict_warnings) {
    QuietFfmpegLog();  // files are reported here, once, not by FFmpeg's log
    std::string script = ScriptPathFor(target);
    CheckContext context;
    std::string source_facts;
    // A source video gives the project's length, for the section warnings,
    // and its frame rate, which seconds in a script are counted in.
    if (!target.empty() && IsFile(target) && !EndsWith(target, ".txt")) {
        VideoSource source;
        std::string error;
        if (source.Open(target, 1, &error)) {
            context.frame_count = source.frame_count();
            source_facts =
                FormatSourceFacts(target, source.frame_count(), av_q2d(source.frame_rate()),
                                  source.width(), source.height());
        }
    }
    ScriptRead read;
    std::string error;
    ReadScript(script, &read, &error);
    ScriptCheck check = CheckRead(read, context, error);
    for (const ScriptFinding& finding : check.findings) {
        std::printf("%s\n", FormatFinding(check.path, finding).c_str());
    }
    if (check.read) {
        for (const std::string& line : FormatSegmentSafety(
                 check.path,
                 AnalyseSegments(read.text, context.frame_count, ToldByCheck(check).file_lines)))
            std::printf("%s\n", line.c_str());
    }
    std::printf("%s\n", FormatCheckSummary(check).c_str());
    if (!source_facts.empty()) std::printf("%s\n", source_facts.c_str());
    return check.errors() > 0 || (strict_warnings && check.warnings() > 0) ? 1 : 0;
}
