// Text the preview sends to its page, as valid UTF-8 whatever bytes it came
// from. Every string in the server's JSON answers and events passes through
// here: the script's words (findings, run-time failures, slider names) are
// converted from the encoding the script was read in, file names that are
// not UTF-8 keep their bytes visible ("caf\xe9.mp4"), and no byte ever makes
// the conversion fail. Text that is valid UTF-8 comes back unchanged, so
// converting twice is the same as converting once.
#pragma once

#include <cstddef>
#include <string>

// How the bytes of a text were written.
enum class TextBytes {
    // UTF-8: the host's own words, file names, a script read as UTF-8.
    kUtf8,
    // Shift-JIS with UTF-8 pieces: a script read as Shift-JIS, the plug-in's
    // slider names, and text of unknown origin (a render's messages). Runs
    // of non-ASCII bytes that are valid UTF-8 (the host's words and names
    // quoted in a script's message) are kept; the rest is read as Shift-JIS
    // (code page 932).
    kShiftJis,
};

// `bytes` as valid UTF-8; each byte that is a character in neither reading
// becomes the four characters \xNN (hexadecimal, lower case).
std::string PageText(const std::string& bytes, TextBytes from);

// A script's text, read as UTF-8 (`utf8`) or as Shift-JIS.
inline std::string PageScriptText(const std::string& bytes, bool utf8) {
    return PageText(bytes, utf8 ? TextBytes::kUtf8 : TextBytes::kShiftJis);
}

// A file name as the page shows it: UTF-8 kept, other bytes as \xNN.
inline std::string PageFileName(const std::string& path) {
    return PageText(path, TextBytes::kUtf8);
}

// Where the last `most` bytes of `text` are best cut off: the start of the
// first whole line among them, else the first UTF-8 character's start.
size_t TailStart(const std::string& text, size_t most);
