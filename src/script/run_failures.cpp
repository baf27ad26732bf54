#include "script/run_failures.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "script/command_table.h"
#include "script/encoding.h"
#include "script/script.h"

namespace {

// Waiting reports, oldest first. The plug-in's calls come one at a time
// from the host, which takes the reports between them, so no lock is needed.
KinetraRunFailure g_pending[kPendingRunFailures];
int32_t g_pending_count;

// Texts quoted in a report are cut to this many bytes (at a character
// boundary) so that the message keeps its end.
constexpr size_t kQuotedBytes = 96;

// `text` quoted, cut to kQuotedBytes with "..." after a cut.
void Quote(const char* text, char* out, size_t capacity) {
    size_t n = 0;
    while (text[n] != '\0') {
        size_t step = ScriptCharLength(text + n);
        if (n + step > kQuotedBytes) break;
        n += step;
    }
    std::snprintf(out, capacity, "'%.*s%s'", int(n), text, text[n] != '\0' ? "..." : "");
}

// Takes the line's one report when it has none yet and there is room.
KinetraRunFailure* ClaimReport(int32_t line, int32_t frame) {
    ScriptLine& record = g_script.lines[line];
    if (record.failure_reported != 0 || g_pending_count >= kPendingRunFailures) return nullptr;
    record.failure_reported = 1;
    KinetraRunFailure* report = &g_pending[g_pending_count++];
    std::memset(report, 0, sizeof *report);
    report->line = record.source_line;
    report->frame = frame;
    return report;
}

}  // namespace

void ReportArgumentFailure(int32_t line, int32_t k, int32_t frame) {
    const ScriptLine& record = g_script.lines[line];
    if (record.failure_reported != 0 || k >= record.arg_count) return;
    const char* command = record.command != nullptr ? record.command : "";
    const CommandRow* row = FindAnyCommand(command);
    if (row != nullptr && IsTextArgument(*row, k)) return;
    KinetraRunFailure* report = ClaimReport(line, frame);
    if (report == nullptr) return;
    char quoted[kQuotedBytes + 8];
    Quote(record.args[k].text, quoted, sizeof quoted);
    char* out = report->message;
    const size_t size = sizeof report->message;
    if (std::strcmp(command, "if") == 0) {
        std::snprintf(out, size, "the condition %s fails to evaluate: the jump is not taken",
                      quoted);
    } else if (command[0] != '\0' && command[1] == '=') {
        std::snprintf(out, size, "%s fails to evaluate: %c gets 0", quoted, command[0]);
    } else {
        const CommandArgument* argument = row != nullptr ? ArgumentAt(*row, k) : nullptr;
        char name[48] = "";
        if (argument != nullptr) std::snprintf(name, sizeof name, " (%s)", argument->name);
        std::snprintf(out, size, "%s: argument %d%s %s fails to evaluate and counts as 0", command,
                      int(k + 1), name, quoted);
    }
}

void ReportFileFailure(int32_t line, const char* name, int32_t frame) {
    const char* command = g_script.lines[line].command;
    KinetraRunFailure* report = ClaimReport(line, frame);
    if (report == nullptr) return;
    char quoted[kQuotedBytes + 8];
    Quote(name, quoted, sizeof quoted);
    std::snprintf(report->message, sizeof report->message,
                  "%s: cannot open or read %s: nothing is read", command != nullptr ? command : "",
                  quoted);
}

int32_t TakeRunFailures(KinetraRunFailure* out, int32_t capacity) {
    if (out == nullptr || capacity <= 0) return 0;
    int32_t n = capacity < g_pending_count ? capacity : g_pending_count;
    std::memcpy(out, g_pending, sizeof(KinetraRunFailure) * size_t(n));
    std::memmove(g_pending, g_pending + n, sizeof(KinetraRunFailure) * size_t(g_pending_count - n));
    g_pending_count -= n;
    return n;
}

void ClearRunFailures() {
    g_pending_count = 0;
}
