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
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < w.size() && w[i + 1] >= 0xDC00 &&
            w[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (w[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
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

// The wide C runtime routines the tool uses, for char16_t.

const WCHAR *wcsstr(const WCHAR *haystack, const WCHAR *needle) {
    if (*needle == 0) return haystack;
    for (; *haystack != 0; ++haystack) {
        const WCHAR *h = haystack;
        const WCHAR *n = needle;
        while (*n != 0 && *h == *n) {
            ++h;
            ++n;
        }
        if (*n == 0) return haystack;
    }
    return nullptr;
}

WCHAR *wcsstr(WCHAR *haystack, const WCHAR *needle) {
    return const_cast<WCHAR *>(wcsstr(static_cast<const WCHAR *>(haystack), needle));
}

WCHAR *wcscpy(WCHAR *dest, const WCHAR *src) {
    WCHAR *d = dest;
    while ((*d++ = *src++) != 0) {}
    return dest;
}

std::size_t wcslen(const WCHAR *s) {
    std::size_t n = 0;
    while (s[n] != 0) ++n;
    return n;
}

int _wcsicmp(const WCHAR *a, const WCHAR *b) {
    // As the C runtime does in its default locale: ASCII letters fold to
    // lower case, everything else compares by code unit.
    auto fold = [](WCHAR c) { return c >= u'A' && c <= u'Z' ? static_cast<WCHAR>(c + 32) : c; };
    for (;; ++a, ++b) {
        WCHAR x = fold(*a);
        WCHAR y = fold(*b);
        if (x != y || x == 0) return static_cast<int>(x) - static_cast<int>(y);
    }
}
