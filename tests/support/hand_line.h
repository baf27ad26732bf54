// A script line built by hand, for calling command handlers directly without
// loading a script: it owns the texts and values the record points to.
#pragma once

#include <string>
#include <vector>

#include "script/script.h"

struct HandLine {
    ScriptLine line{};
    double values[kScriptArgCount] = {};

    HandLine() { line.values = values; }
    HandLine(const HandLine&) = delete;
    HandLine& operator=(const HandLine&) = delete;

    // The command, argument texts (not compiled) and values; the rest empty or 0.
    void Set(const char* command, std::vector<const char*> texts, std::vector<double> numbers) {
        command_ = command;
        texts_.assign(texts.begin(), texts.end());
        args_.clear();
        for (const std::string& text : texts_)
            args_.push_back(ScriptText{text.c_str(), nullptr});
        line.command = command_.c_str();
        line.args = args_.data();
        line.arg_count = int32_t(args_.size());
        for (int k = 0; k < kScriptArgCount; ++k)
            values[k] = k < int(numbers.size()) ? numbers[size_t(k)] : 0.0;
    }

  private:
    std::string command_;
    std::vector<std::string> texts_;
    std::vector<ScriptText> args_;
};
