#include "script/command_table.h"

#include <cstring>

const CommandRow* FindCommand(CommandFilter filter, const char* name) {
    const CommandTable& table =
        filter == CommandFilter::kAudio ? kAudioCommandTable : kVideoCommandTable;
    for (int32_t i = 0; i < table.count; ++i) {
        if (std::strcmp(name, table.rows[i].name) == 0) return &table.rows[i];
    }
    return nullptr;
}

const CommandRow* FindAnyCommand(const char* name) {
    const CommandRow* row = FindCommand(CommandFilter::kVideo, name);
    return row != nullptr ? row : FindCommand(CommandFilter::kAudio, name);
}

const CommandArgument* ArgumentAt(const CommandRow& row, int32_t k) {
    if (k < 0 || k >= row.argument_count || row.described == 0) return nullptr;
    return &row.arguments[k < row.described ? k : row.described - 1];
}

bool IsTextArgument(const CommandRow& row, int32_t k) {
    const CommandArgument* argument = ArgumentAt(row, k);
    return argument != nullptr &&
           (argument->kind == ArgumentKind::kText || argument->kind == ArgumentKind::kFile ||
            argument->kind == ArgumentKind::kFace || argument->kind == ArgumentKind::kFormat);
}

namespace {

// Widths and precisions in a format have at most this many digits.
constexpr int32_t kMaxFieldDigits = 3;

size_t SkipDigits(const char* format, size_t i, int32_t* digits) {
    *digits = 0;
    while (format[i] >= '0' && format[i] <= '9') {
        ++i;
        ++*digits;
    }
    return i;
}

}  // namespace

// A text2 format is drawn when every conversion takes a double: %f %F %e %E
// %g %G %a %A with flags "-+ #0", a width and a precision written as digits
// (never '*'), an optional 'l', and no more conversions than there are
// values; "%%" is a literal. Every '%' byte counts, as the C formatter reads
// the format byte by byte.
int32_t Text2FormatConversions(const char* format) {
    int32_t conversions = 0;
    size_t i = 0;
    while (format[i] != '\0') {
        if (format[i++] != '%') continue;
        if (format[i] == '%') {
            ++i;
            continue;
        }
        while (format[i] != '\0' && std::strchr("-+ #0", format[i]) != nullptr)
            ++i;
        int32_t digits = 0;
        i = SkipDigits(format, i, &digits);
        if (digits > kMaxFieldDigits) return -1;
        if (format[i] == '.') {
            i = SkipDigits(format, i + 1, &digits);
            if (digits > kMaxFieldDigits) return -1;
        }
        if (format[i] == 'l') ++i;
        if (format[i] == '\0' || std::strchr("fFeEgGaA", format[i]) == nullptr) return -1;
        ++i;
        if (++conversions > kFormatValueCount) return -1;
    }
    return conversions;
}
