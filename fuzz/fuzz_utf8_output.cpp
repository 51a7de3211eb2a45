// Both ways out, for any text: the UTF-8 bytes for a file decode back to
// what went in, with exactly the unpaired surrogates replaced by U+FFFD;
// the UTF-16 for a console is the same text; and every piece handed out
// either way is whole (no split sequence or surrogate pair).
#include "device/console_out.h"
#include "pnpsim/text.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

std::string bytes;
std::u16string units;
bool broken = false;

void keep_bytes(const char *b, std::size_t size) {
    std::string piece(b, size);
    broken = broken || pnpsim::utf8_from_utf16(pnpsim::utf16_from_utf8(piece)) != piece;
    bytes += piece;
}

void keep_units(const WCHAR *u, std::size_t count) {
    std::u16string piece(u, count);
    broken = broken || pnpsim::utf16_from_utf8(pnpsim::utf8_from_utf16(piece)) != piece;
    units += piece;
}

std::u16string expected(const std::u16string &in) {
    std::u16string e;
    for (std::size_t i = 0; i < in.size(); ++i) {
        char16_t c = in[i];
        bool high = c >= 0xD800 && c <= 0xDBFF;
        if (high && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
            e += c;
            e += in[++i];
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            e += u'\uFFFD';
        } else {
            e += c;
        }
    }
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        auto unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (unit != 0) text += unit;
    }
    bytes.clear();
    units.clear();
    broken = false;
    set_output_sink(keep_bytes);
    say_text("%ls", text.c_str());
    set_console_sink(keep_units);
    say_text("%ls", text.c_str());
    set_output_sink(nullptr);
    if (broken) std::abort();
    if (pnpsim::utf16_from_utf8(bytes) != expected(text)) std::abort();
    if (units != expected(text)) std::abort();
    return 0;
}
