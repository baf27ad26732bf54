#include "preview/preview_text.h"

#include "base/shown_text.h"

std::string PageText(const std::string& bytes, TextBytes from) {
    return from == TextBytes::kUtf8 ? Utf8WithBytesShown(bytes) : MixedTextToUtf8(bytes);
}

size_t TailStart(const std::string& text, size_t most) {
    if (text.size() <= most) return 0;
    size_t cut = text.size() - most;
    if (text[cut - 1] == '\n') return cut;
    size_t line = text.find('\n', cut);
    if (line != std::string::npos && line + 1 < text.size()) return line + 1;
    while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        ++cut;
    return cut;
}
