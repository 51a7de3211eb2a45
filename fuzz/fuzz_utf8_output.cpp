// UTF-16 to UTF-8 output: what comes out decodes back to what went in, with
// exactly the unpaired surrogates replaced by U+FFFD.
#include "device/console_out.h"
#include "pnpsim/text.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

std::string out;
void keep(const char *bytes, std::size_t size) { out.append(bytes, size); }

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
    out.clear();
    set_output_sink(keep);
    say_text("%ls", text.c_str());
    set_output_sink(nullptr);
    if (pnpsim::utf16_from_utf8(out) != expected(text)) std::abort();
    return 0;
}
