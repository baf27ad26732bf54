#include "checker/script_slips.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/shown_text.h"
#include "formula/formula.h"
#include "script/encoding.h"

namespace {

// The colours a slip on the 0..255 scale can give at most: below this the
// values could as well mean a deliberately dark colour.
constexpr double kLargestByte = 255.0;

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string WithoutLineEnd(const std::string& text) {
    size_t end = text.find_last_not_of("\r\n");
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

std::string Trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool StartsWithWord(const std::string& text, const char* word) {
    size_t n = std::strlen(word);
    if (text.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != word[i]) return false;
    }
    return true;
}

// What an indented line would be without its indent: a command call, a jump
// or a section header; empty when it reads as prose.
const char* WhatItLooksLike(const std::string& body) {
    if (body.size() > 1 && body[0] == '[' &&
        (std::isdigit(static_cast<unsigned char>(body[1])) || body[1] == '-' || body[1] == '"')) {
        return "a section header";
    }
    if (StartsWithWord(body, "goto") && body.find(':') != std::string::npos) return "a jump";
    if (StartsWithWord(body, "if ") && body.find(" goto ") != std::string::npos) return "a jump";
    size_t n = 0;
    std::string name;
    while (n < body.size() && (std::isalnum(static_cast<unsigned char>(body[n])) || body[n] == '_'))
        name += char(std::tolower(static_cast<unsigned char>(body[n++])));
    while (n < body.size() && body[n] == ' ')
        ++n;
    if (n < body.size() && body[n] == '(' && FindAnyCommand(name.c_str()) != nullptr) {
        return "a command";
    }
    return nullptr;
}

// The argument texts of a command line as written, spaces and quotes kept,
// cut where the loader cuts them (commas outside quotes, the ')' that closes
// the list).
std::vector<std::string> ArgumentsAsWritten(const std::string& text) {
    std::vector<std::string> args;
    size_t i = text.find('(');
    if (i == std::string::npos) return args;
    std::string current;
    bool quoted = false;
    int32_t depth = 0;
    for (++i; i < text.size();) {
        size_t n = ScriptCharLength(text.c_str() + i);
        char c = text[i];
        if (n == 1 && c == ',' && !quoted) {
            args.push_back(current);
            current.clear();
            quoted = false;
            depth = 0;
            ++i;
            continue;
        }
        if (n == 1 && c == '"') quoted = !quoted;
        if (n == 1 && c == '(') ++depth;
        if (n == 1 && c == ')' && --depth < 0) break;
        current.append(text, i, n);
        i += n;
    }
    args.push_back(current);
    return args;
}

// True when a space stands outside double quotes between other characters.
bool HasLooseSpace(const std::string& written) {
    std::string text = Trimmed(written);
    bool quoted = false;
    for (size_t i = 0; i < text.size();) {
        size_t n = ScriptCharLength(text.c_str() + i);
        if (n == 1 && text[i] == '"') quoted = !quoted;
        if (n == 1 && text[i] == ' ' && !quoted) return true;
        i += n;
    }
    return false;
}

bool IsTextKind(ArgumentKind kind) {
    return kind == ArgumentKind::kText || kind == ArgumentKind::kFile ||
           kind == ArgumentKind::kFace || kind == ArgumentKind::kFormat;
}

// A channel of a colour: R, G, B, Y, Cb or Cr, also as outline_R, R_low,
// Y_high; not offsets, thresholds or mask values, which share the scales.
bool IsColourArgument(const CommandArgument& argument) {
    std::string name = argument.name;
    if (name.rfind("outline_", 0) == 0) name = name.substr(8);
    for (const char* tail : {"_low", "_high"}) {
        size_t n = std::strlen(tail);
        if (name.size() > n && name.compare(name.size() - n, n, tail) == 0) {
            name.resize(name.size() - n);
        }
    }
    for (const char* channel : {"R", "G", "B", "Y", "Cb", "Cr"}) {
        if (name == channel) return true;
    }
    return false;
}

std::string Which(const CommandArgument& argument, int32_t k) {
    return "argument " + std::to_string(k + 1) + " (" + argument.name + ")";
}

void Warn(int32_t line, const std::string& message, std::vector<ScriptFinding>* out) {
    out->push_back({line, FindingSeverity::kWarning, message});
}

void FindLooseText(int32_t line, const std::vector<std::string>& written, const ParsedLine& record,
                   const CommandRow& row, int32_t given, bool utf8,
                   std::vector<ScriptFinding>* out) {
    for (int32_t k = 0; k < given && k < int32_t(written.size()); ++k) {
        const CommandArgument& argument = *ArgumentAt(row, k);
        if (!IsTextKind(argument.kind) || !HasLooseSpace(written[k])) continue;
        std::string as_written = Trimmed(written[k]);
        bool has_quotes = as_written.find('"') != std::string::npos;
        Warn(line,
             Which(argument, k) + " '" + ShownScriptText(as_written, utf8) +
                 "' has spaces outside double quotes, and those are dropped: it reads '" +
                 ShownScriptText(record.args[k], utf8) + "'; " +
                 (has_quotes ? std::string("put the whole text in double quotes")
                             : "write \"" + ShownScriptText(as_written, utf8) + "\""),
             out);
    }
}

// Every colour channel of the line a constant within 0..255, some above 1:
// the colour was written on the 0..255 scale, and comes out nearly black.
void FindByteColours(int32_t line, const ParsedLine& record, const CommandRow& row, int32_t given,
                     std::vector<ScriptFinding>* out) {
    std::string values;
    double largest = 0;
    bool rgb = false;
    int32_t channels = 0;
    for (int32_t k = 0; k < given; ++k) {
        const CommandArgument& argument = *ArgumentAt(row, k);
        if (!IsColourArgument(argument)) continue;
        double value = 0;
        if (!ConstantValue(record.args[k], &value) || value < 0 || value > kLargestByte) return;
        largest = std::max(largest, value);
        rgb = std::strcmp(argument.unit, "RGB scale") == 0;
        values += (channels++ == 0 ? "" : ", ") + Number(value);
    }
    if (channels == 0 || largest <= 1) return;
    std::string scale = rgb ? "R, G and B on 0..4096 (4096 is full)"
                            : "Y on 0..4096 (4096 is white) and Cb, Cr on -2048..2048 (0 is grey)";
    std::string fix = rgb ? "multiply them by 16 (255 becomes 4080)"
                          : "multiply Y by 16 and write Cb, Cr as (value - 128) * 16";
    Warn(line,
         "the colour " + values + " looks like 0..255 values, but '" + row.name + "' reads " +
             scale + ", so it comes out nearly black; " + fix,
         out);
}

// Opacities (0..1) and sound levels (0..1) written as 0..255 or percent.
void FindFractions(int32_t line, const ParsedLine& record, const CommandRow& row, int32_t given,
                   std::vector<ScriptFinding>* out) {
    for (int32_t k = 0; k < given; ++k) {
        const CommandArgument& argument = *ArgumentAt(row, k);
        double value = 0;
        bool level = std::strcmp(argument.unit, "fraction of full scale") == 0;
        bool opacity = std::strcmp(argument.name, "opacity") == 0;
        if ((!level && !opacity) || !ConstantValue(record.args[k], &value)) continue;
        if (level && (value < 0 || value > 1)) {
            out->push_back({line, FindingSeverity::kError,
                            Which(argument, k) + " is " + Number(value) +
                                ", outside 0..1 (1 is full scale): the line does nothing"});
        } else if (opacity && value > 1 && value <= kLargestByte && value == std::floor(value)) {
            Warn(line,
                 Which(argument, k) + " is " + Number(value) +
                     ", but opacity is a fraction, 0..1 (1 copies the source): " + Number(value) +
                     " pushes the blend far past the source; for " + Number(value) +
                     " of 255 write " + Number(value) + "/255",
                 out);
        }
    }
}

// A 0 in this argument's place makes the line do nothing (a size below 1, an
// output size below 16, a silent level); what to say of it, else empty.
std::string ZeroDoesNothing(const CommandArgument& argument) {
    if (std::strncmp(argument.range, "below 1: the line does nothing", 30) == 0 ||
        std::strncmp(argument.range, "16 ..", 5) == 0) {
        return std::string("with ") + argument.name + " 0 the line does nothing";
    }
    if (std::strcmp(argument.unit, "fraction of full scale") == 0) {
        return std::string("with ") + argument.name + " 0 the sound is silent";
    }
    return std::string();
}

// Commands whose arguments users leave out in the middle, so that the values
// after the gap land on the wrong arguments; what to write instead.
const char* ShiftHint(const CommandRow& row) {
    std::string name = row.name;
    if (name == "defocus") return "write 0, 0 for the two unused arguments before the radius";
    if (name == "mosaic") return "the block size comes after the destination corner dx, dy";
    if (name == "font2" || name == "font2_rgb") {
        return "the outline width comes after underline, before the letter colour";
    }
    return nullptr;
}

std::string NamesFrom(const CommandRow& row, int32_t from, int32_t to) {
    std::string names;
    for (int32_t k = from; k < to; ++k)
        names += (k == from ? "" : ", ") + std::string(ArgumentAt(row, k)->name);
    return names;
}

}  // namespace

bool ConstantValue(const char* text, double* value) {
    if (text[0] == '\0') return false;
    for (const char* p = text; *p != '\0'; ++p) {
        if ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z')) return false;
    }
    std::unique_ptr<CFormula> formula(new CFormula());
    *value = formula->Calculate(text);
    return formula->status == 0;
}

void FindIndentedCommand(int32_t line, const std::string& text, bool utf8,
                         std::vector<ScriptFinding>* out) {
    if (text.empty() || (text[0] != ' ' && text[0] != '\t')) return;
    std::string shown = WithoutLineEnd(text);
    size_t first = shown.find_first_not_of(" \t");
    if (first == std::string::npos) return;
    const char* looks = WhatItLooksLike(shown.substr(first));
    if (looks == nullptr) return;
    Warn(line,
         "'" + ShownScriptText(shown, utf8) + "' looks like " + looks +
             ", but a line that starts with a space or a tab is a comment: it is ignored; "
             "remove the indent to run it",
         out);
}

void FindArgumentSlips(int32_t line, const std::string& text, const ParsedLine& record,
                       const CommandRow& row, int32_t given, bool utf8,
                       std::vector<ScriptFinding>* out) {
    FindLooseText(line, ArgumentsAsWritten(text), record, row, given, utf8, out);
    FindByteColours(line, record, row, given, out);
    FindFractions(line, record, row, given, out);
}

ScriptFinding MissingArgumentsFinding(int32_t line, const CommandRow& row, int32_t given,
                                      int32_t needed) {
    std::string takes =
        std::string("'") + row.name + "' takes " + std::to_string(needed) + " arguments";
    std::string has = ", this line has " + std::to_string(given);
    std::string head = takes + has;
    std::string missing = NamesFrom(row, given, needed);
    for (int32_t k = given; k < needed; ++k) {
        std::string nothing = ZeroDoesNothing(*ArgumentAt(row, k));
        if (!nothing.empty()) {
            return {line, FindingSeverity::kError,
                    head + ": the missing ones count as 0 (" + missing + "), and " + nothing};
        }
    }
    const char* hint = ShiftHint(row);
    if (hint != nullptr && given > 0) {
        return {line, FindingSeverity::kWarning,
                takes + " (" + NamesFrom(row, 0, needed) + ")" + has +
                    ": its last value lands on " + ArgumentAt(row, given - 1)->name + ", and " +
                    missing + " count as 0; " + hint};
    }
    return {line, FindingSeverity::kWarning,
            head + ": the missing ones count as 0 (" + missing + ")"};
}
