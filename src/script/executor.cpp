// Runs the script line table once per process call.
#include <cstring>

#include "formula/formula.h"
#include "script/dispatch.h"
#include "script/script.h"

double g_user_variables[kVariableLetters];
double g_system_variables[kVariableLetters];

namespace {

// Evaluator slots: A..Z are 0..25, a..z are 32..57.
constexpr uint32_t kSystemSlotBase = 32;

// The value of pi the scripts see as `p`.
constexpr double kScriptPi = 3.14159265358979;

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
    SystemVariable('p') = kScriptPi;
    SystemVariable('s') = line.start;
    SystemVariable('u') = slider(5);
    SystemVariable('v') = slider(6);
    SystemVariable('w') = frame->width;
    SystemVariable('x') = slider(7);
    SystemVariable('y') = slider(8);
    SystemVariable('z') = slider(9);
}

void LoadVariables(CFormula* formula) {
    for (uint32_t k = 0; k < kVariableLetters; ++k) {
        formula->SetVariable(k, g_user_variables[k]);
        formula->SetVariable(kSystemSlotBase + k, g_system_variables[k]);
    }
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
    while (i < g_script.count && executed < kMaxLinesPerRun) {
        ++executed;
        ScriptLine& line = g_script.lines[i];
        bool has_condition = line.condition[0] != '\0';
        if (!has_condition && (frame->frame < line.start || frame->frame > line.end)) {
            ++i;
            continue;
        }
        SetSystemVariables(line, filter, frame);
        LoadVariables(&formula);
        if (has_condition && formula.Calculate(line.condition) == 0.0) {
            ++i;
            continue;
        }
        if (std::strcmp(line.command, "if") == 0) {
            if (formula.Calculate(line.args[0]) != 0.0 && line.jump >= 0) {
                i = line.jump;
                continue;
            }
        } else if (std::strcmp(line.command, "goto") == 0 && line.jump >= 0) {
            i = line.jump;
            continue;
        } else if (line.command[0] != '\0' && line.command[1] == '=') {
            Assign(line.command[0], formula.Calculate(line.args[0]));
            ++i;
            continue;
        }
        for (int k = 0; k < kScriptArgCount; ++k) {
            line.values[k] = formula.Calculate(line.args[k]);
        }
        DispatchCommand(i, filter, frame);
        ++i;
    }
}
