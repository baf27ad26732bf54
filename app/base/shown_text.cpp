#include "base/shown_text.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

std::string Escaped(const char* form, unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, form, value);
    return text;
}

std::string EscapedByte(unsigned char byte) {
    return Escaped("\\x%02x", byte);
}

// The well-formed UTF-8 character at p[0..left): its length (1..4) and code
// point; 0 for a byte that starts none (overlong forms, surrogates, code
// points above U+10FFFF and cut sequences included).
size_t DecodeUtf8(const unsigned char* p, size_t left, uint32_t* code_point) {
    unsigned char b = p[0];
    if (b < 0x80) {
        *code_point = b;
        return 1;
    }
    size_t n = b >= 0xC2 && b <= 0xDF   ? 2
               : b >= 0xE0 && b <= 0xEF ? 3
               : b >= 0xF0 && b <= 0xF4 ? 4
                                        : 0;
    if (n == 0 || left < n) return 0;
    uint32_t c = b & (0x7Fu >> n);
    for (size_t k = 1; k < n; ++k) {
        if ((p[k] & 0xC0) != 0x80) return 0;
        c = c << 6 | (p[k] & 0x3Fu);
    }
    static const uint32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kSmallest[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    *code_point = c;
    return n;
}

bool IsControl(uint32_t c) {
    return (c < 0x20 && c != '\t') || (c >= 0x7F && c <= 0x9F);
}

iconv_t OpenShiftJisConverter() {
    iconv_t converter = iconv_open("UTF-8", "CP932");
    return converter != kNoConverter ? converter : iconv_open("UTF-8", "SHIFT_JIS");
}

}  // namespace

std::string ShiftJisToUtf8Text(const std::string& text) {
    iconv_t converter = OpenShiftJisConverter();
    std::string out;
    if (converter == kNoConverter) {
        // No converter: ASCII as it is, every other byte written out.
        for (char c : text) {
            unsigned char byte = static_cast<unsigned char>(c);
            out += byte < 0x80 ? std::string(1, c) : EscapedByte(byte);
        }
        return out;
    }
    std::vector<char> in(text.begin(), text.end());
    char* from = in.data();
    size_t from_left = in.size();
    char buffer[1024];
    while (from_left > 0) {
        char* to = buffer;
        size_t to_left = sizeof buffer;
        size_t result = iconv(converter, &from, &from_left, &to, &to_left);
        out.append(buffer, sizeof buffer - to_left);
        if (result != static_cast<size_t>(-1) || errno == E2BIG) continue;
        // EILSEQ or EINVAL (a lead byte at the end): the byte is written
        // out, and the conversion starts afresh after it.
        out += EscapedByte(static_cast<unsigned char>(*from));
        ++from;
        --from_left;
        iconv(converter, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(converter);
    return out;
}

std::string VisibleText(const std::string& text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        uint32_t c = 0;
        size_t n = DecodeUtf8(p + i, text.size() - i, &c);
        if (n == 0) {
            out += EscapedByte(p[i]);
            ++i;
            continue;
        }
        if (IsControl(c)) {
            out += c < 0x80 ? Escaped("\\x%02x", c) : Escaped("\\u%04x", c);
        } else {
            out.append(text, i, n);
        }
        i += n;
    }
    return out;
}

std::string ShownScriptText(const std::string& text, bool utf8) {
    return VisibleText(utf8 ? text : ShiftJisToUtf8Text(text));
}
