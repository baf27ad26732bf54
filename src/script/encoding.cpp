#include "script/encoding.h"

ScriptEncoding g_script_encoding = ScriptEncoding::kShiftJis;

namespace {

// Length of the well-formed UTF-8 sequence at bytes[i] (1 for ASCII), or 0
// when the bytes there are not UTF-8: overlong forms, surrogates and code
// points above U+10FFFF are refused as the standard says. (The Windows
// build reads Shift-JIS only and has no use for it.)
[[maybe_unused]] size_t WellFormedLength(const unsigned char* p, size_t left) {
    unsigned char b = p[0];
    if (b < 0x80) return 1;
    size_t n;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        if (b == 0xE0) low = 0xA0;
        if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        if (b == 0xF0) low = 0x90;
        if (b == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (left < n || p[1] < low || p[1] > high) return 0;
    for (size_t k = 2; k < n; ++k) {
        if ((p[k] & 0xC0) != 0x80) return 0;
    }
    return n;
}

}  // namespace

ByteOrderMark FindByteOrderMark(const char* bytes, size_t size) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
    if (size >= kUtf8MarkSize && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        return ByteOrderMark::kUtf8;
    }
    if (size >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) {
        return ByteOrderMark::kUtf16;
    }
    return ByteOrderMark::kNone;
}

ScriptEncoding DetectScriptEncoding(const char* bytes, size_t size) {
#ifdef _WIN32
    (void)bytes;
    (void)size;
    return ScriptEncoding::kShiftJis;
#else
    // The mark says UTF-8 whatever follows (bytes that are not are skipped
    // where text is drawn).
    if (FindByteOrderMark(bytes, size) == ByteOrderMark::kUtf8) return ScriptEncoding::kUtf8;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
    bool multibyte = false;
    for (size_t i = 0; i < size;) {
        size_t n = WellFormedLength(p + i, size - i);
        if (n == 0) return ScriptEncoding::kShiftJis;
        multibyte = multibyte || n > 1;
        i += n;
    }
    return multibyte ? ScriptEncoding::kUtf8 : ScriptEncoding::kShiftJis;
#endif
}
