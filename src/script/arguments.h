// Reading a script line's arguments in a command handler.
#pragma once

#include <cmath>
#include <cstdint>

#include "script/script.h"

// The one conversion of an argument value to a 32-bit integer used by every
// command: truncation toward zero, saturated to the int32 range; NaN gives 0.
inline int32_t ToInt32(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0) return INT32_MAX;
    if (value <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(value);
}

// Rounded down, then converted as above (frame numbers).
inline int32_t FloorToInt32(double value) {
    return ToInt32(std::floor(value));
}

inline const ScriptLine& Line(int32_t line) {
    return g_script.lines[line];
}
inline double ArgValue(int32_t line, int k) {
    return g_script.lines[line].values[k];
}
inline int32_t ArgInt(int32_t line, int k) {
    return ToInt32(ArgValue(line, k));
}
inline int32_t ArgFrame(int32_t line, int k) {
    return FloorToInt32(ArgValue(line, k));
}
// Argument text k; "" for the arguments the line does not have.
inline const char* ArgText(int32_t line, int k) {
    const ScriptLine& record = g_script.lines[line];
    return k < record.arg_count ? record.args[k].text : "";
}
// The line's command; "" when it has none.
inline const char* LineCommand(int32_t line) {
    const char* command = g_script.lines[line].command;
    return command != nullptr ? command : "";
}
