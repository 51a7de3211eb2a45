// Both ways out, for any text: the bytes for a file are its UTF-8, the
// units for a console the same text, and no piece handed out either way
// ends inside a character. The UTF-8 expected is written here by the
// definition, not by the converter under test.
#include "device/console_out.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

std::string bytes;
std::u16string units;
bool broken = false;

void keep_bytes(const char *b, std::size_t size) {
    // A piece ends inside a character when its last lead byte has fewer
    // continuation bytes after it than it announces.
    std::size_t lead = size;
    while (lead > 0 && (static_cast<unsigned char>(b[lead - 1]) & 0xC0) == 0x80) --lead;
    if (lead > 0) {
        auto c = static_cast<unsigned char>(b[lead - 1]);
        std::size_t need = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        broken = broken || size - lead != need;
    }
    bytes.append(b, size);
}

void keep_units(const WCHAR *u, std::size_t count) {
    broken = broken || (count > 0 && u[count - 1] >= 0xD800 && u[count - 1] <= 0xDBFF);
    units.append(u, count);
}

void utf8(std::string &out, char32_t c) {
    static const unsigned char lead[] = {0x00, 0xC0, 0xE0, 0xF0};
    int more = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    out += static_cast<char>(lead[more] | (c >> (6 * more)));
    for (int i = more - 1; i >= 0; --i) out += static_cast<char>(0x80 | ((c >> (6 * i)) & 0x3F));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        auto unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (unit != 0) text += unit;
    }
    // Its UTF-8, an unpaired surrogate as U+FFFD.
    std::string expected;
    std::u16string expected_units;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        bool high = c >= 0xD800 && c <= 0xDBFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
            expected_units += text.substr(i - 1, 2);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
            expected_units += u'\uFFFD';
        } else {
            expected_units += static_cast<char16_t>(c);
        }
        utf8(expected, c);
    }
    bytes.clear();
    units.clear();
    broken = false;
    set_output_sink(keep_bytes);
    say_text("%ls", text.c_str());
    set_console_sink(keep_units);
    say_text("%ls", text.c_str());
    set_output_sink(nullptr);
    if (broken || bytes != expected || units != expected_units) std::abort();
    return 0;
}
