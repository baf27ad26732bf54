// Text that came from a script (or anywhere else the program does not control)
// made fit to show on a terminal: converted to UTF-8, the terminal's encoding
// on Linux, from the encoding it was read in, with every control character
// and every byte that is no character written out visibly ("\x1b"), so that
// nothing a script holds can clear the screen, set the window's title or
// show as mojibake. The checker's findings, render's messages and anything
// else that quotes a script use these.
#pragma once

#include <string>

// Shift-JIS (code page 932) bytes as UTF-8. A byte that starts no character
// of the code page (or a lead byte whose trail byte is not one) is written
// as "\xNN", and the conversion goes on after it.
std::string ShiftJisToUtf8Text(const std::string& text);

// UTF-8 as it may be shown: well-formed characters kept, except the control
// characters (C0 but the tab, DEL, and C1), which are written as "\x1b" (C1
// as "\u009b"); bytes that are not well-formed UTF-8 are written as "\xNN".
std::string VisibleText(const std::string& text);

// Script text as shown: from UTF-8 (`utf8`) or Shift-JIS, made visible.
std::string ShownScriptText(const std::string& text, bool utf8);
