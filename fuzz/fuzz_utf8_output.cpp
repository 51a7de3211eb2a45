// Both ways out, for any text: the bytes for a file are the platform's
// UTF-8 for it, the units for a console are the same text, and every piece
// handed out either way is whole (no split sequence or surrogate pair).
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
    const std::string expected = pnpsim::utf8_from_utf16(text);
    if (broken || bytes != expected || units != pnpsim::utf16_from_utf8(expected)) std::abort();
    return 0;
}
