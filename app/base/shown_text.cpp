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

// The converter from code page 932 to UTF-8 for one text; none where the
// system has neither name.
class ShiftJisConverter {
  public:
    ShiftJisConverter() {
        cd_ = iconv_open("UTF-8", "CP932");
        if (cd_ == kNoConverter) cd_ = iconv_open("UTF-8", "SHIFT_JIS");
    }
    ~ShiftJisConverter() {
        if (cd_ != kNoConverter) iconv_close(cd_);
    }
    ShiftJisConverter(const ShiftJisConverter&) = delete;
    ShiftJisConverter& operator=(const ShiftJisConverter&) = delete;

    // Converts one character of `length` bytes; false when it has no
    // Unicode form (or there is no converter).
    bool Convert(const char* bytes, size_t length, std::string* out) {
        if (cd_ == kNoConverter) return false;
        char buffer[16];
        char* in = const_cast<char*>(bytes);
        size_t in_left = length;
        char* put = buffer;
        size_t put_left = sizeof buffer;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd_, &in, &in_left, &put, &put_left) == static_cast<size_t>(-1) || in_left != 0) {
            return false;
        }
        out->append(buffer, sizeof buffer - put_left);
        return true;
    }

  private:
    iconv_t cd_ = kNoConverter;
};

// Appends the Shift-JIS character at text[at] (a byte of 0x80 or more) as
// UTF-8, or its first byte written out; returns the bytes taken. A trail
// byte may be ASCII ("テ" is 0x83 'e').
size_t AppendShiftJis(ShiftJisConverter* converter, const std::string& text, size_t at,
                      std::string* out) {
    unsigned char c = static_cast<unsigned char>(text[at]);
    bool lead = (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    if (lead && at + 1 < text.size()) {
        unsigned char t = static_cast<unsigned char>(text[at + 1]);
        bool trail = (t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFC);
        if (trail && converter->Convert(text.data() + at, 2, out)) return 2;
    }
    bool half_width = c >= 0xA1 && c <= 0xDF;
    if (!half_width || !converter->Convert(text.data() + at, 1, out)) *out += EscapedByte(c);
    return 1;
}

// Whether text[from, to) is well-formed UTF-8 throughout.
bool IsUtf8(const std::string& text, size_t from, size_t to) {
    while (from < to) {
        size_t length = Utf8CharLength(text, from);
        if (length == 0 || from + length > to) return false;
        from += length;
    }
    return true;
}

// The end of the run of bytes of 0x80 and more that starts at `at`.
size_t RunEnd(const std::string& text, size_t at) {
    while (at < text.size() && static_cast<unsigned char>(text[at]) >= 0x80)
        ++at;
    return at;
}

}  // namespace

size_t Utf8CharLength(const std::string& text, size_t at) {
    uint32_t code_point = 0;
    return DecodeUtf8(reinterpret_cast<const unsigned char*>(text.data()) + at, text.size() - at,
                      &code_point);
}

std::string ShiftJisToUtf8Text(const std::string& text) {
    ShiftJisConverter converter;
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            out += text[i++];
        } else {
            i += AppendShiftJis(&converter, text, i, &out);
        }
    }
    return out;
}

std::string Utf8WithBytesShown(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        size_t length = Utf8CharLength(text, i);
        if (length > 0) {
            out.append(text, i, length);
            i += length;
        } else {
            out += EscapedByte(static_cast<unsigned char>(text[i++]));
        }
    }
    return out;
}

std::string MixedTextToUtf8(const std::string& text) {
    if (IsUtf8(text, 0, text.size())) return text;
    ShiftJisConverter converter;
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            out += text[i++];
            continue;
        }
        // A run of non-ASCII bytes that follows an ASCII one and is UTF-8
        // throughout is kept as it is.
        size_t end = RunEnd(text, i);
        bool run_start = i == 0 || static_cast<unsigned char>(text[i - 1]) < 0x80;
        if (run_start && IsUtf8(text, i, end)) {
            out.append(text, i, end - i);
            i = end;
        } else {
            i += AppendShiftJis(&converter, text, i, &out);
        }
    }
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
