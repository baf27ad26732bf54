// Text that came from a script (or anywhere else the program does not control)
// made fit to show on a terminal: converted to UTF-8, the terminal's encoding
// on Linux, from the encoding it was read in, with every control character
// and every byte that is no character written out visibly ("\x1b"), so that
// nothing a script holds can clear the screen, set the window's title or
// show as mojibake. The checker's findings, render's messages and anything
// else that quotes a script use these.
#pragma once

#include <cstddef>
#include <string>

// The length of the well-formed UTF-8 character at text[at] (no overlong
// forms, no surrogates, nothing past U+10FFFF); 0 when none starts there.
size_t Utf8CharLength(const std::string& text, size_t at);

// Shift-JIS (code page 932) bytes as UTF-8. A byte that starts no character
// of the code page (or a lead byte whose trail byte is not one) is written
// as "\xNN", and the conversion goes on after it.
std::string ShiftJisToUtf8Text(const std::string& text);

// UTF-8 as it may be shown: well-formed characters kept, except the control
// characters (C0 but the tab, DEL, and C1), which are written as "\x1b" (C1
// as "\u009b"); bytes that are not well-formed UTF-8 are written as "\xNN".
std::string VisibleText(const std::string& text);

// UTF-8 as it is, control characters included; each byte that is not part
// of a well-formed character written as "\xNN" (file names, for instance).
std::string Utf8WithBytesShown(const std::string& text);

// Shift-JIS with UTF-8 pieces as UTF-8: a script read as Shift-JIS, the
// plug-in's slider names, text of unknown origin (a render's messages).
// Runs of non-ASCII bytes that are well-formed UTF-8 (the host's words and
// names quoted in a script's message) are kept; the rest is read as
// Shift-JIS, bytes of no character written as "\xNN". Control characters
// are kept.
std::string MixedTextToUtf8(const std::string& text);

// Script text as shown: from UTF-8 (`utf8`) or Shift-JIS, made visible.
std::string ShownScriptText(const std::string& text, bool utf8);
