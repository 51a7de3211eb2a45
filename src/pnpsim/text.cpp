#include "text.h"

#include "pnpsim.h"

namespace pnpsim {

std::u16string utf16_from_utf8(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    auto byte = [&](std::size_t at) { return static_cast<unsigned char>(bytes[at]); };
    while (i < n) {
        unsigned char b = byte(i);
        if (b < 0x80) {
            out += static_cast<char16_t>(b);
            ++i;
            continue;
        }
        std::size_t need = 0;
        char32_t c = 0;
        unsigned char lo = 0x80;
        unsigned char hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            c = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            c = b & 0x0F;
            if (b == 0xE0) lo = 0xA0;  // no overlong forms
            if (b == 0xED) hi = 0x9F;  // no surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            c = b & 0x07;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
        } else {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        bool ok = true;
        for (std::size_t k = 0; k < need; ++k, ++j) {
            if (j >= n || byte(j) < lo || byte(j) > hi) {
                ok = false;
                break;
            }
            c = (c << 6) | (byte(j) & 0x3F);
            lo = 0x80;
            hi = 0xBF;
        }
        if (!ok) {
            out += u'\uFFFD';  // the valid prefix is consumed with it
            i = j;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i = j;
    }
    return out;
}

std::string utf8_from_utf16(std::u16string_view w) {
    std::string s;
    for (std::size_t i = 0; i < w.size(); ++i) {
        char32_t c = w[i];
        if (i + 1 < w.size() && IS_SURROGATE_PAIR(w[i], w[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (w[++i] - 0xDC00);
        } else if (IS_HIGH_SURROGATE(w[i]) || IS_LOW_SURROGATE(w[i])) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            s += static_cast<char>(c);
        } else if (c < 0x800) {
            s += static_cast<char>(0xC0 | (c >> 6));
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            s += static_cast<char>(0xE0 | (c >> 12));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            s += static_cast<char>(0xF0 | (c >> 18));
            s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return s;
}

}  // namespace pnpsim

bool IS_HIGH_SURROGATE(WCHAR c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IS_LOW_SURROGATE(WCHAR c) { return c >= 0xDC00 && c <= 0xDFFF; }
bool IS_SURROGATE_PAIR(WCHAR high, WCHAR low) {
    return IS_HIGH_SURROGATE(high) && IS_LOW_SURROGATE(low);
}

namespace {

// One conversion: the checks both make first (a known code page and flags,
// lengths and buffers that make sense), then the size needed when asked
// (size 0), the text when it fits, and a refusal when it does not. A
// length of -1 takes the text to its NUL, the NUL with it.
template <typename In, typename Out, typename Convert>
int convert(UINT code_page, DWORD flags, const In *in, int in_size, Out *out, int out_size,
            bool defaults, Convert text_of) {
    DWORD refused = 0;
    if (code_page != CP_UTF8 || in == nullptr || in_size == 0 || in_size < -1 || out_size < 0 ||
        (out_size > 0 && out == nullptr) || defaults) {
        refused = ERROR_INVALID_PARAMETER;
    } else if (flags != 0) {
        refused = ERROR_INVALID_FLAGS;
    } else {
        auto length = static_cast<std::size_t>(in_size);
        if (in_size == -1) length = std::char_traits<In>::length(in) + 1;
        auto text = text_of(std::basic_string_view<In>(in, length));
        if (out_size == 0 || text.size() <= static_cast<std::size_t>(out_size)) {
            if (out_size != 0) text.copy(out, text.size());
            return static_cast<int>(text.size());
        }
        refused = ERROR_INSUFFICIENT_BUFFER;
    }
    SetLastError(refused);
    return 0;
}

}  // namespace

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, const WCHAR *lpWideCharStr, int cchWideChar,
                        char *lpMultiByteStr, int cbMultiByte, const char *lpDefaultChar,
                        BOOL *lpUsedDefaultChar) {
    // UTF-8 has no default character to stand in for what it cannot hold.
    return convert(CodePage, dwFlags, lpWideCharStr, cchWideChar, lpMultiByteStr, cbMultiByte,
                   lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr,
                   pnpsim::utf8_from_utf16);
}

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, const char *lpMultiByteStr, int cbMultiByte,
                        WCHAR *lpWideCharStr, int cchWideChar) {
    return convert(CodePage, dwFlags, lpMultiByteStr, cbMultiByte, lpWideCharStr, cchWideChar,
                   false, pnpsim::utf16_from_utf8);
}

// The wide C runtime routines the tool uses, for char16_t.

WCHAR *wcscpy(WCHAR *dest, const WCHAR *src) {
    WCHAR *d = dest;
    while ((*d++ = *src++) != 0) {}
    return dest;
}

int _wcsnicmp(const WCHAR *a, const WCHAR *b, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        auto x = static_cast<int>(pnpsim::ascii_case(a[i], false));
        auto y = static_cast<int>(pnpsim::ascii_case(b[i], false));
        if (x != y || x == 0) return x - y;
    }
    return 0;
}

int _wcsicmp(const WCHAR *a, const WCHAR *b) {
    return _wcsnicmp(a, b, static_cast<std::size_t>(-1));
}
