#include "script_scan.h"

#include <cctype>
#include <fstream>

bool LineCallsAudioCommand(const std::string& line) {
    if (line.empty() || !std::isalpha(static_cast<unsigned char>(line[0]))) return false;
    std::string name;
    bool quoted = false;
    for (char c : line) {
        if (c == '"') quoted = !quoted;
        if (c == ' ' && !quoted) continue;
        unsigned char u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || c == '_' || c == '-') {
            name += static_cast<char>(std::tolower(u));
            continue;
        }
        return c == '(' && name.size() > 2 && name.compare(0, 2, "a_") == 0;
    }
    return false;
}

bool ScriptHasAudioCommands(const std::string& script_path) {
    std::ifstream in(script_path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (LineCallsAudioCommand(line)) return true;
    }
    return false;
}
