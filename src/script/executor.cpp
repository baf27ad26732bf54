// Runs the script line table once per process call.
#include <cstring>

#include "common/constants.h"
#include "formula/formula.h"
#include "script/dispatch.h"
#include "script/run_failures.h"
#include "script/script.h"

double g_user_variables[kVariableLetters];
double g_system_variables[kVariableLetters];

namespace {

// Evaluator slots: A..Z are 0..25, a..z are 32..57.
constexpr uint32_t kSystemSlotBase = 32;

// A run stops after visiting this many lines (applying or not), and the rest
// of that call's script is skipped: a jump that loops forever must not hang
// the host.
constexpr int64_t kMaxLinesPerRun = 1000000;

double& SystemVariable(char letter) {
    return g_system_variables[letter - 'a'];
}

void SetSystemVariables(const ScriptLine& line, const FilterTable* filter, const FrameInfo* frame) {
    const int32_t* sliders = filter->track_values;
    auto slider = [sliders](int index) {
        return sliders != nullptr ? double(sliders[index]) : 0.0;
    };
    SystemVariable('a') = slider(1);
    SystemVariable('b') = slider(2);
    SystemVariable('c') = slider(3);
    SystemVariable('d') = slider(4);
    SystemVariable('e') = line.end;
    SystemVariable('f') = frame->frame;
    SystemVariable('g') = static_cast<double>(frame->frame) - line.start;
    SystemVariable('h') = frame->height;
    SystemVariable('i') = frame->max_w;
    SystemVariable('j') = frame->max_h;
    SystemVariable('m') = frame->frame_count;
    SystemVariable('n') = static_cast<double>(line.end) - line.start + 1;
    SystemVariable('p') = kPi;
    SystemVariable('s') = line.start;
    SystemVariable('u') = slider(5);
    SystemVariable('v') = slider(6);
    SystemVariable('w') = frame->width;
    SystemVariable('x') = slider(7);
    SystemVariable('y') = slider(8);
    SystemVariable('z') = slider(9);
}

// SetVariable of every letter's slot, written straight into the slots.
void LoadVariables(CFormula* formula) {
    for (uint32_t k = 0; k < kVariableLetters; ++k) {
        formula->variables[k] = g_user_variables[k];
        formula->variables[kSystemSlotBase + k] = g_system_variables[k];
    }
    if (formula->status == 2) formula->status = 0;
}

// Calculate of the text, from the program compiled at load.
double Evaluate(CFormula* formula, const ScriptText& text) {
    return formula->Run(text.program);
}

// Argument k of line i, evaluated; a failed evaluation (not a text that does
// not compile, which the script check reports before a run) is reported.
double EvaluateArgument(CFormula* formula, int32_t i, int32_t k, const FrameInfo* frame) {
    double value = Evaluate(formula, g_script.lines[i].args[k]);
    if (formula->status == 2) ReportArgumentFailure(i, k, frame->frame);
    return value;
}

void Assign(char letter, double value) {
    if (letter >= 'A' && letter <= 'Z') g_user_variables[letter - 'A'] = value;
    if (letter >= 'a' && letter <= 'z') g_system_variables[letter - 'a'] = value;
}

}  // namespace

void RunScript(FilterTable* filter, FrameInfo* frame) {
    CFormula formula;
    int64_t executed = 0;
    int32_t i = 0;
    // Arguments of lines no handler takes are still evaluated (they may draw
    // random numbers or assign), into here.
    double unused_values[kScriptArgCount];
    while (i < g_script.count && executed < kMaxLinesPerRun) {
        ++executed;
        ScriptLine& line = g_script.lines[i];
        bool has_condition = line.condition != nullptr;
        if (!has_condition && (frame->frame < line.start || frame->frame > line.end)) {
            ++i;
            continue;
        }
        SetSystemVariables(line, filter, frame);
        LoadVariables(&formula);
        if (has_condition && Evaluate(&formula, *line.condition) == 0.0) {
            ++i;
            continue;
        }
        const char* command = line.command != nullptr ? line.command : "";
        if (std::strcmp(command, "if") == 0) {
            if (line.arg_count > 0 && EvaluateArgument(&formula, i, 0, frame) != 0.0 &&
                line.jump >= 0) {
                i = line.jump;
                continue;
            }
        } else if (std::strcmp(command, "goto") == 0 && line.jump >= 0) {
            i = line.jump;
            continue;
        } else if (command[0] != '\0' && command[1] == '=') {
            Assign(command[0], line.arg_count > 0 ? EvaluateArgument(&formula, i, 0, frame) : 0.0);
            ++i;
            continue;
        }
        double* values = line.values != nullptr ? line.values : unused_values;
        for (int k = 0; k < kScriptArgCount; ++k) {
            // An empty text evaluates to 0 with nothing else happening.
            values[k] = k < line.arg_count ? EvaluateArgument(&formula, i, k, frame) : 0.0;
        }
        // A line without values has a command no handler is named after.
        if (line.values != nullptr) DispatchCommand(i, filter, frame);
        ++i;
    }
}
