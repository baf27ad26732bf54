// Shift-JIS into code points. The byte structure (lead and trail bytes) is
// ours; each character's value comes from the system's table: iconv's CP932
// on Linux, the code page 932 conversion on Windows.
#include "platform/text_codepage.h"

#include <cstring>

#include "common/shiftjis.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace platform {
namespace {

TextCodePage g_code_page = TextCodePage::kShiftJis;

#ifdef _WIN32

bool g_open;

// Converts one character of `length` bytes; false when the code page has no
// such character.
bool DecodeCharacter(const char* bytes, size_t length, uint32_t* code_point) {
    wchar_t wide[2];
    int n = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, bytes, int(length), wide, 2);
    if (n != 1) return false;
    *code_point = uint32_t(wide[0]);
    return true;
}

#else

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);
iconv_t g_from_cp932 = kNoConverter;  // to UTF-32LE, one character at a time
bool g_open;

bool DecodeCharacter(const char* bytes, size_t length, uint32_t* code_point) {
    unsigned char out[8];
    char* in_ptr = const_cast<char*>(bytes);
    size_t in_left = length;
    char* out_ptr = reinterpret_cast<char*>(out);
    size_t out_left = sizeof out;
    iconv(g_from_cp932, nullptr, nullptr, nullptr, nullptr);
    size_t result = iconv(g_from_cp932, &in_ptr, &in_left, &out_ptr, &out_left);
    if (result == static_cast<size_t>(-1) || in_left != 0 || sizeof out - out_left != 4) {
        return false;
    }
    *code_point =
        uint32_t(out[0]) | uint32_t(out[1]) << 8 | uint32_t(out[2]) << 16 | uint32_t(out[3]) << 24;
    return true;
}

#endif

}  // namespace

bool OpenCodePages() {
#ifndef _WIN32
    if (!g_open) {
        g_from_cp932 = iconv_open("UTF-32LE", "CP932");
        g_open = g_from_cp932 != kNoConverter;
    }
#else
    g_open = true;
#endif
    return g_open;
}

void CloseCodePages() {
#ifndef _WIN32
    if (g_from_cp932 != kNoConverter) iconv_close(g_from_cp932);
    g_from_cp932 = kNoConverter;
#endif
    g_open = false;
}

void SetTextCodePage(TextCodePage code_page) {
    g_code_page = code_page;
}

TextCodePage CurrentTextCodePage() {
    return g_code_page;
}

int32_t DecodeText(const char* text, uint32_t* code_points, int32_t capacity) {
    return g_code_page == TextCodePage::kUtf8 ? DecodeUtf8(text, code_points, capacity)
                                              : DecodeShiftJis(text, code_points, capacity);
}

int32_t DecodeUtf8(const char* text, uint32_t* code_points, int32_t capacity) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    int32_t count = 0;
    size_t i = 0;
    while (p[i] != '\0' && count < capacity) {
        unsigned char b = p[i];
        size_t length = b < 0x80                 ? 1
                        : b >= 0xC2 && b <= 0xDF ? 2
                        : b >= 0xE0 && b <= 0xEF ? 3
                        : b >= 0xF0 && b <= 0xF4 ? 4
                                                 : 0;
        uint32_t c = length == 1   ? b
                     : length == 2 ? b & 0x1Fu
                     : length == 3 ? b & 0x0Fu
                                   : b & 0x07u;
        for (size_t k = 1; k < length; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) {
                length = 0;
                break;
            }
            c = c << 6 | (p[i + k] & 0x3Fu);
        }
        bool minimal = length == 1 || (length == 2 && c >= 0x80) || (length == 3 && c >= 0x800) ||
                       (length == 4 && c >= 0x10000);
        if (length == 0 || !minimal || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            ++i;
            continue;
        }
        if (c >= 0x20 && c != 0x7F) code_points[count++] = c;
        i += length;
    }
    return count;
}

int32_t DecodeShiftJis(const char* text, uint32_t* code_points, int32_t capacity) {
    if (!g_open) return 0;
    int32_t count = 0;
    size_t i = 0;
    while (text[i] != '\0' && count < capacity) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = 1;
        if (IsLeadByte(c)) {
            if (!IsTrailByte(static_cast<unsigned char>(text[i + 1]))) {
                ++i;
                continue;
            }
            length = 2;
        }
        uint32_t code_point = 0;
        if (DecodeCharacter(text + i, length, &code_point) && code_point >= 0x20 &&
            code_point != 0x7F) {
            code_points[count++] = code_point;
        }
        i += length;
    }
    return count;
}

void EncodeUtf8(const uint32_t* code_points, int32_t count, char* out, size_t capacity) {
    size_t n = 0;
    for (int32_t i = 0; i < count; ++i) {
        uint32_t c = code_points[i];
        unsigned char bytes[4];
        size_t length;
        if (c < 0x80) {
            bytes[0] = static_cast<unsigned char>(c);
            length = 1;
        } else if (c < 0x800) {
            bytes[0] = static_cast<unsigned char>(0xC0 | c >> 6);
            bytes[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            length = 2;
        } else if (c < 0x10000) {
            bytes[0] = static_cast<unsigned char>(0xE0 | c >> 12);
            bytes[1] = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            length = 3;
        } else {
            bytes[0] = static_cast<unsigned char>(0xF0 | c >> 18);
            bytes[1] = static_cast<unsigned char>(0x80 | (c >> 12 & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
            bytes[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            length = 4;
        }
        if (n + length >= capacity) break;
        std::memcpy(out + n, bytes, length);
        n += length;
    }
    out[n] = '\0';
}

}  // namespace platform
