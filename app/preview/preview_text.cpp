#include "preview/preview_text.h"

#include <iconv.h>

#include <cstdio>

namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// The length of the well-formed UTF-8 character at text[at] (as JSON takes
// it: no overlong forms, no surrogates, nothing past U+10FFFF); 0 when none
// starts there.
size_t Utf8Length(const std::string& text, size_t at) {
    unsigned char c = static_cast<unsigned char>(text[at]);
    if (c < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        unsigned char b = static_cast<unsigned char>(text[at + k]);
        if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

// Whether text[from, to) is UTF-8 throughout.
bool IsUtf8(const std::string& text, size_t from, size_t to) {
    while (from < to) {
        size_t length = Utf8Length(text, from);
        if (length == 0 || from + length > to) return false;
        from += length;
    }
    return true;
}

void AppendEscaped(unsigned char byte, std::string* out) {
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
    *out += escaped;
}

// Converts one Shift-JIS character with `cd`; false when it has no Unicode form.
bool Convert(iconv_t cd, const char* bytes, size_t length, std::string* out) {
    if (cd == kNoConverter) return false;
    char buffer[16];
    char* in = const_cast<char*>(bytes);
    size_t in_left = length;
    char* put = buffer;
    size_t put_left = sizeof buffer;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &in, &in_left, &put, &put_left) == static_cast<size_t>(-1) || in_left != 0) {
        return false;
    }
    out->append(buffer, sizeof buffer - put_left);
    return true;
}

// Appends the Shift-JIS character at text[at] (a byte of 0x80 or more) as
// UTF-8, or its first byte escaped; returns the bytes taken.
size_t AppendShiftJis(iconv_t cd, const std::string& text, size_t at, std::string* out) {
    unsigned char c = static_cast<unsigned char>(text[at]);
    bool lead = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    if (lead && at + 1 < text.size()) {
        unsigned char t = static_cast<unsigned char>(text[at + 1]);
        bool trail = (t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFC);
        if (trail && Convert(cd, text.data() + at, 2, out)) return 2;
    }
    bool half_width = c >= 0xA1 && c <= 0xDF;
    if (!half_width || !Convert(cd, text.data() + at, 1, out)) AppendEscaped(c, out);
    return 1;
}

// The end of the run of bytes of 0x80 and more that starts at `at`.
size_t RunEnd(const std::string& text, size_t at) {
    while (at < text.size() && static_cast<unsigned char>(text[at]) >= 0x80)
        ++at;
    return at;
}

}  // namespace

std::string PageText(const std::string& bytes, TextBytes from) {
    if (IsUtf8(bytes, 0, bytes.size())) return bytes;
    iconv_t cd = kNoConverter;
    if (from == TextBytes::kShiftJis) {
        cd = iconv_open("UTF-8", "CP932");
        if (cd == kNoConverter) cd = iconv_open("UTF-8", "SHIFT_JIS");
    }
    std::string out;
    for (size_t i = 0; i < bytes.size();) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        size_t length = Utf8Length(bytes, i);
        if (from == TextBytes::kUtf8 || c < 0x80) {
            if (length > 0) {
                out.append(bytes, i, length);
                i += length;
            } else {
                AppendEscaped(c, &out);
                ++i;
            }
            continue;
        }
        // A run of non-ASCII bytes that follows an ASCII one and is UTF-8
        // throughout is kept as it is.
        size_t end = RunEnd(bytes, i);
        bool run_start = i == 0 || static_cast<unsigned char>(bytes[i - 1]) < 0x80;
        if (run_start && IsUtf8(bytes, i, end)) {
            out.append(bytes, i, end - i);
            i = end;
        } else {
            i += AppendShiftJis(cd, bytes, i, &out);
        }
    }
    if (cd != kNoConverter) iconv_close(cd);
    return out;
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
